// Names as the module's file systems, registry and storage manager compare them: without regard
// to the case of ASCII and Latin-1 letters (a-z and U+00E0-U+00FE but U+00F7 fold to upper
// case); every other unit compares as it is.
#pragma once

#include <string>
#include <string_view>

namespace sim {

// The upper case of one unit, as the module folds it.
constexpr char16_t FoldCase(char16_t unit) {
  if ((unit >= u'a' && unit <= u'z') || (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)) {
    return static_cast<char16_t>(unit - 0x20);
  }
  return unit;
}

// The folded name: equal names give equal keys (a map or set of names keyed so).
std::u16string FoldCase(std::u16string_view name);

// True when the two names are the same but for case.
bool SameName(std::u16string_view left, std::u16string_view right);

// True when name matches pattern, '*' standing for any run of units and '?' for one unit, case
// folded. No rule for dots: a caller that gives "*.*" or a trailing dot a meaning applies it.
bool MatchWildcard(std::u16string_view pattern, std::u16string_view name);

}  // namespace sim
