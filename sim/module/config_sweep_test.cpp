// Every field of module.json given a value of another type: the module is refused with one line
// that names the file, or it attaches, runs and detaches. Nothing may throw or end the process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

// JSON pointers to every value of a document (the root excepted).
void CollectPaths(const sim::Json& value, const sim::Json::json_pointer& at,
                  std::vector<sim::Json::json_pointer>* paths) {
  if (value.is_object()) {
    for (const auto& [key, child] : value.items()) {
      paths->push_back(at / key);
      CollectPaths(child, at / key, paths);
    }
  } else if (value.is_array()) {
    for (std::size_t i = 0; i < value.size(); ++i) {
      paths->push_back(at / i);
      CollectPaths(value[i], at / i, paths);
    }
  }
}

// Values of every JSON type, and numbers and texts that only look like what a field holds.
const sim::Json& Replacements() {
  static const sim::Json values = sim::Json::array({
      512,
      -1,
      1.5,
      "text",
      true,
      nullptr,
      sim::Json::array({1}),
      sim::Json::object({{"kind", 512}}),
  });
  return values;
}

class ConfigSweepTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ConfigSweepTest, AnyValueOfAnyField_RefusedInOneLineOrRuns) {
  testing_support::TemporaryModule module(GetParam());
  const std::filesystem::path file = module.Directory() / "module.json";
  sim::Json original;
  std::string error;
  ASSERT_TRUE(sim::LoadModuleConfig(module.Directory(), &original, &error)) << error;
  std::vector<sim::Json::json_pointer> paths;
  CollectPaths(original, sim::Json::json_pointer(), &paths);
  int refused = 0;
  int attached = 0;
  for (const sim::Json::json_pointer& path : paths) {
    for (const sim::Json& replacement : Replacements()) {
      sim::Json config = original;
      config[path] = replacement;
      SCOPED_TRACE(path.to_string() + " = " + replacement.dump());
      ASSERT_TRUE(sim::WriteWholeFile(file, config.dump(2), &error));
      try {
        sim::Json loaded;
        if (!sim::LoadModuleConfig(module.Directory(), &loaded, &error)) {
          ++refused;
          EXPECT_EQ(error.find('\n'), std::string::npos) << error;
          EXPECT_NE(error.find(module.Directory().string()), std::string::npos) << error;
          EXPECT_FALSE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error));
          continue;
        }
        if (!sim::Attach(module.Directory(), sim::AttachOptions{}, &error)) {
          EXPECT_EQ(error.find('\n'), std::string::npos) << error;
          continue;
        }
        ++attached;
        sim::Json info;
        for (sim::Component* component : sim::AllComponents()) {
          component->Describe(sim::CurrentMachine(), info);
        }
        sim::Detach();
        ASSERT_TRUE(sim::ResetModule(module.Directory(), &error)) << error;
      } catch (const std::exception& exception) {
        ADD_FAILURE() << "threw: " << exception.what();
        sim::Detach();
      }
    }
  }
  // Then the fields of a fault plan holding every kind; a plan is only loaded here (attaching
  // with every fault at once would start a module that fails everywhere).
  sim::Json planned = original;
  planned["faults"]["items"] = faults::OneItemOfEachKind();
  std::vector<sim::Json::json_pointer> itemPaths;
  CollectPaths(planned["faults"], sim::Json::json_pointer("/faults"), &itemPaths);
  for (const sim::Json::json_pointer& path : itemPaths) {
    for (const sim::Json& replacement : Replacements()) {
      sim::Json config = planned;
      config[path] = replacement;
      SCOPED_TRACE(path.to_string() + " = " + replacement.dump());
      ASSERT_TRUE(sim::WriteWholeFile(file, config.dump(2), &error));
      try {
        sim::Json loaded;
        if (!sim::LoadModuleConfig(module.Directory(), &loaded, &error)) {
          ++refused;
          EXPECT_EQ(error.find('\n'), std::string::npos) << error;
          EXPECT_NE(error.find("field \"faults"), std::string::npos) << error;
        }
      } catch (const std::exception& exception) {
        ADD_FAILURE() << "threw: " << exception.what();
      }
    }
  }
  ASSERT_TRUE(sim::WriteWholeFile(file, original.dump(2), &error));
  // Both outcomes occur: the sweep reaches the models, not only the first check.
  EXPECT_GT(refused, 0);
  EXPECT_GT(attached, 0);
}

INSTANTIATE_TEST_SUITE_P(Presets, ConfigSweepTest, ::testing::Values("pxa320", "pxa270-32m"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             c = c == '-' ? '_' : c;
                           }
                           return name;
                         });

}  // namespace
