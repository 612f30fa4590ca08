// Names for the cases of parameterised tests, so that a listing reads "pxa320_DCEC" or
// "EraseFails" instead of an index and a dump of the parameter's bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace testing_support {

// Turns text into a case name: letters and digits stay, every other character becomes '_',
// because gtest accepts nothing else in a name ("pxa270-32m" gives "pxa270_32m"). Empty text
// gives "Empty", since gtest refuses an empty name as well.
inline std::string ParamName(std::string_view text) {
  if (text.empty()) {
    return "Empty";
  }
  std::string name(text);
  for (char& c : name) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit) {
      c = '_';
    }
  }
  return name;
}

// A count or size with what it counts: NumberName("Size", 14) gives "Size_14".
inline std::string NumberName(std::string_view what, std::uint64_t value) {
  return ParamName(what) + "_" + std::to_string(value);
}

// An address, offset or code with what it is: HexName("Block", 0x3F) gives "Block_0x3F".
inline std::string HexName(std::string_view what, std::uint64_t value) {
  char digits[24];
  std::snprintf(digits, sizeof(digits), "0x%llX", static_cast<unsigned long long>(value));
  return ParamName(what) + "_" + digits;
}

// A module: its preset, and the NAND chip that replaces the preset's own when there is one
// ("pxa320", "pxa320_DCEC").
inline std::string ModuleName(std::string_view preset, std::uint32_t nandChip = 0) {
  std::string name = ParamName(preset);
  if (nandChip != 0) {
    char chip[16];
    std::snprintf(chip, sizeof(chip), "_%04X", static_cast<unsigned>(nandChip));
    name += chip;
  }
  return name;
}

// Name generator for a table of cases that carry their own name in a `name` member.
struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return ParamName(info.param.name);
  }
};

// Name generator for a parameter that is a preset's name ("pxa270-32m" gives "pxa270_32m").
struct PresetName {
  template <typename Preset>
  std::string operator()(const ::testing::TestParamInfo<Preset>& info) const {
    return ParamName(info.param);
  }
};

}  // namespace testing_support
