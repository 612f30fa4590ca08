#include "sim/base/hex.h"

#include <cstdio>

namespace sim {

bool ParseHexDigits(std::string_view digits, std::uint64_t maximum, std::uint64_t* value) {
  if (digits.empty()) {
    return false;
  }
  std::uint64_t result = 0;
  for (const char c : digits) {
    const int digit = HexDigitValue(c);
    if (digit < 0 || result > (maximum - static_cast<std::uint64_t>(digit)) / 16) {
      return false;
    }
    result = result * 16 + static_cast<std::uint64_t>(digit);
  }
  *value = result;
  return true;
}

bool ParseHexBytes(std::string_view text, std::vector<std::uint8_t>* bytes) {
  if (text.size() % 2 != 0) {
    return false;
  }
  std::vector<std::uint8_t> result;
  result.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigitValue(text[i]);
    const int low = HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    result.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  *bytes = std::move(result);
  return true;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

std::string Hex(std::uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

}  // namespace sim
