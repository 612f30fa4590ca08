#include "sim/base/names.h"

#include <gtest/gtest.h>

namespace {

struct FoldExample {
  char16_t unit;
  char16_t folded;
};

// ASCII and Latin-1 letters fold; the division sign, the sharp s, y with diaeresis and every
// other unit stay as they are.
constexpr FoldExample kFoldCases[] = {
    {u'a', u'A'},     {u'z', u'Z'},     {u'A', u'A'}, {u'0', u'0'}, {u'_', u'_'},
    {0xE0, 0xC0},     {0xFE, 0xDE},     {0xF7, 0xF7}, {0xDF, 0xDF}, {0xFF, 0xFF},
    {0x0101, 0x0101}, {0x03B1, 0x03B1}, {u'{', u'{'}, {u'`', u'`'},
};

TEST(Names, FoldCase_FoldsAsciiAndLatin1LettersOnly) {
  for (const FoldExample& c : kFoldCases) {
    EXPECT_EQ(static_cast<int>(sim::FoldCase(c.unit)), static_cast<int>(c.folded))
        << "unit " << static_cast<int>(c.unit);
  }
  EXPECT_EQ(sim::FoldCase(std::u16string_view(u"Flash Disk\u00e9")), u"FLASH DISK\u00c9");
}

TEST(Names, SameName_IgnoresCaseButNotLengthOrOtherUnits) {
  EXPECT_TRUE(sim::SameName(u"\\StoreMgr", u"\\STOREMGR"));
  EXPECT_TRUE(sim::SameName(u"caf\u00e9", u"CAF\u00c9"));
  EXPECT_TRUE(sim::SameName(u"", u""));
  EXPECT_FALSE(sim::SameName(u"Flash", u"Flash "));
  EXPECT_FALSE(sim::SameName(u"\u00ff", u"\u0178"));  // beyond Latin-1: compared as it is
  EXPECT_FALSE(sim::SameName(u"a\u00f7", u"A\u00d7"));
}

struct MatchCase {
  const char16_t* pattern;
  const char16_t* name;
  bool matches;
};

constexpr MatchCase kMatchCases[] = {
    {u"*", u"anything", true},
    {u"*", u"", true},
    {u"*.bin", u"OS.BIN", true},
    {u"*.bin", u"os.bin.old", false},
    {u"*.*", u"README", false},
    {u"?", u"", false},
    {u"?s.b?n", u"os.bin", true},
    {u"a*b*c", u"aXbYbZc", true},
    {u"a*b*c", u"aXbYbZ", false},
    {u"**x", u"abx", true},
    {u"", u"", true},
    {u"", u"a", false},
    {u"\u00e9t\u00e9*", u"\u00c9T\u00c9.txt", true},
};

TEST(Names, MatchWildcard_StarsQuestionMarksAndCase) {
  for (const MatchCase& c : kMatchCases) {
    EXPECT_EQ(sim::MatchWildcard(c.pattern, c.name), c.matches)
        << "pattern " << testing::PrintToString(std::u16string(c.pattern)) << " name "
        << testing::PrintToString(std::u16string(c.name));
  }
}

}  // namespace
