#include "sim/base/utf.h"

#include <gtest/gtest.h>

namespace {

struct Utf8Case {
  const char* label;
  std::string utf8;
  bool strictOk;
  std::u16string lenient;  // what the lenient reading gives
};

const Utf8Case kUtf8Cases[] = {
    {"ascii", "Flash Disk", true, u"Flash Disk"},
    {"latin1", "caf\xC3\xA9", true, u"caf\u00e9"},
    {"three bytes", "\xE2\x82\xAC", true, u"\u20ac"},
    {"four bytes", "\xF0\x9F\x98\x80", true, u"\U0001F600"},
    {"stray continuation", "a\x80z", false, u"a\ufffdz"},
    {"overlong slash", "\xC0\xAF", false, u"\ufffd\ufffd"},
    {"overlong three", "\xE0\x80\xAF", false, u"\ufffd\ufffd\ufffd"},
    {"surrogate", "\xED\xA0\x80", false, u"\ufffd\ufffd\ufffd"},
    {"beyond U+10FFFF", "\xF4\x90\x80\x80", false, u"\ufffd\ufffd\ufffd\ufffd"},
    {"truncated", "ab\xE2\x82", false, u"ab\ufffd"},
    {"bad lead", "\xF8z", false, u"\ufffdz"},
};

TEST(Utf, FromUtf8_StrictRefusesWhatTheLenientReadingReplaces) {
  for (const Utf8Case& c : kUtf8Cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(sim::FromUtf8(c.utf8), c.lenient);
    std::u16string strict = u"left over";
    EXPECT_EQ(sim::FromUtf8Strict(c.utf8, &strict), c.strictOk);
    if (c.strictOk) {
      EXPECT_EQ(strict, c.lenient);
      std::string back;
      ASSERT_TRUE(sim::ToUtf8Strict(strict, &back));
      EXPECT_EQ(back, c.utf8);
      EXPECT_EQ(sim::ToUtf8(strict), c.utf8);
    }
  }
}

TEST(Utf, ToUtf8_LoneSurrogates) {
  const std::u16string lone = std::u16string(u"a") + char16_t{0xDC00} + u"b" + char16_t{0xD800};
  EXPECT_EQ(sim::ToUtf8(lone),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  std::string strict;
  EXPECT_FALSE(sim::ToUtf8Strict(lone, &strict));
  EXPECT_EQ(sim::ToUtf8(static_cast<const char16_t*>(nullptr)), "");
}

}  // namespace
