#include "sim/base/names.h"

namespace sim {

std::u16string FoldCase(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& unit : folded) {
    unit = FoldCase(unit);
  }
  return folded;
}

bool SameName(std::u16string_view left, std::u16string_view right) {
  if (left.size() != right.size()) {
    return false;
  }
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (FoldCase(left[i]) != FoldCase(right[i])) {
      return false;
    }
  }
  return true;
}

bool MatchWildcard(std::u16string_view pattern, std::u16string_view name) {
  // Iterative, with one point to return to: the last '*' seen.
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::u16string_view::npos;
  std::size_t resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() &&
               (pattern[p] == u'?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
      ++p;
      ++n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') {
    ++p;
  }
  return p == pattern.size();
}

}  // namespace sim
