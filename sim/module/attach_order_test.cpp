#include "sim/module/attach_order.h"

#include <gtest/gtest.h>

#include "sim/module/machine.h"

namespace {

class NamedComponent final : public sim::Component {
 public:
  explicit NamedComponent(const char* name) : name_(name) {}
  const char* ComponentName() const override { return name_; }

 private:
  const char* name_;
};

struct OrderCase {
  const char* label;
  std::vector<const char*> registered;
  std::vector<std::string_view> order;
  std::vector<const char*> expected;  // empty: refused
  const char* message;                // part of the refusal
};

const OrderCase kOrderCases[] = {
    {"in list order whatever the registration",
     {"storage", "rtc", "nand"},
     {"rtc", "nand", "storage"},
     {"rtc", "nand", "storage"},
     ""},
    {"registered but not listed", {"rtc", "gpio"}, {"rtc"}, {}, "\"gpio\" has no place"},
    {"listed twice", {"rtc", "gpio"}, {"rtc", "gpio", "rtc"}, {}, "\"rtc\" is listed twice"},
    {"listed but not registered", {"rtc"}, {"rtc", "gone"}, {}, "\"gone\" is in the attach order"},
    {"registered twice", {"rtc", "rtc"}, {"rtc"}, {}, "\"rtc\" is registered twice"},
};

TEST(AttachOrder, OrderComponents_FollowsTheListOrRefusesWithTheName) {
  for (const OrderCase& c : kOrderCases) {
    SCOPED_TRACE(c.label);
    std::vector<NamedComponent> components(c.registered.begin(), c.registered.end());
    std::vector<sim::Component*> registered;
    for (NamedComponent& component : components) {
      registered.push_back(&component);
    }
    std::vector<sim::Component*> ordered;
    std::string error;
    const bool ok = sim::OrderComponents(registered, c.order, &ordered, &error);
    EXPECT_EQ(ok, !c.expected.empty()) << error;
    if (ok) {
      ASSERT_EQ(ordered.size(), c.expected.size());
      for (std::size_t i = 0; i < ordered.size(); ++i) {
        EXPECT_STREQ(ordered[i]->ComponentName(), c.expected[i]);
      }
    } else {
      EXPECT_NE(error.find(c.message), std::string::npos) << error;
      EXPECT_TRUE(ordered.empty());
    }
  }
}

// Every component the module is built with has exactly its place in the list.
TEST(AttachOrder, BuiltComponents_AreTheListInItsOrder) {
  const std::vector<sim::Component*> components = sim::AllComponents();
  ASSERT_EQ(components.size(), std::size(sim::kAttachOrder));
  for (std::size_t i = 0; i < components.size(); ++i) {
    EXPECT_EQ(components[i]->ComponentName(), sim::kAttachOrder[i]);
  }
}

}  // namespace
