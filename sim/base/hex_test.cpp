#include "sim/base/hex.h"

#include <gtest/gtest.h>

namespace {

TEST(Hex, HexDigitValue_AcceptsBothCasesAndNothingElse) {
  const std::string digits = "0123456789abcdefABCDEF";
  const int values[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                        11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
  for (std::size_t i = 0; i < digits.size(); ++i) {
    EXPECT_EQ(sim::HexDigitValue(digits[i]), values[i]) << digits[i];
  }
  for (const char c : std::string("gG/:@`x \0", 9)) {
    EXPECT_EQ(sim::HexDigitValue(c), -1) << static_cast<int>(c);
  }
}

struct DigitsCase {
  const char* text;
  std::uint64_t maximum;
  bool ok;
  std::uint64_t value;
};

constexpr DigitsCase kDigitsCases[] = {
    {"0", 0xFF, true, 0},
    {"ff", 0xFF, true, 0xFF},
    {"100", 0xFF, false, 0},
    {"0000000000ff", 0xFF, true, 0xFF},  // leading zeros do not overflow
    {"FFFFFFFFFFFFFFFF", UINT64_MAX, true, UINT64_MAX},
    {"10000000000000000", UINT64_MAX, false, 0},
    {"", UINT64_MAX, false, 0},
    {"0x10", UINT64_MAX, false, 0},  // no prefix: the caller strips it
    {"1 ", UINT64_MAX, false, 0},
};

TEST(Hex, ParseHexDigits_RefusesOverflowEmptyAndStrayCharacters) {
  for (const DigitsCase& c : kDigitsCases) {
    std::uint64_t value = 12345;
    EXPECT_EQ(sim::ParseHexDigits(c.text, c.maximum, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 12345u) << c.text << ": a refused text leaves the value";
  }
}

TEST(Hex, Bytes_RoundTripAndRefuseOddOrBadText) {
  const std::vector<std::uint8_t> bytes = {0x00, 0x7F, 0x80, 0xAB, 0xFF};
  EXPECT_EQ(sim::HexBytes(bytes), "007f80abff");
  std::vector<std::uint8_t> read = {1, 2, 3};
  ASSERT_TRUE(sim::ParseHexBytes("007F80abFF", &read));
  EXPECT_EQ(read, bytes);
  ASSERT_TRUE(sim::ParseHexBytes("", &read));
  EXPECT_TRUE(read.empty());
  read = {9};
  EXPECT_FALSE(sim::ParseHexBytes("abc", &read));
  EXPECT_FALSE(sim::ParseHexBytes("0g", &read));
  EXPECT_EQ(read, std::vector<std::uint8_t>{9}) << "a refused text leaves the bytes";
}

TEST(Hex, Hex_PadsToTheDigitsAsked) {
  EXPECT_EQ(sim::Hex(0x1000), "0x1000");
  EXPECT_EQ(sim::Hex(0x1000, 8), "0x00001000");
  EXPECT_EQ(sim::Hex(0xDEADBEEF, 4), "0xDEADBEEF");
  EXPECT_EQ(sim::Hex(UINT64_MAX), "0xFFFFFFFFFFFFFFFF");
}

}  // namespace
