// Hex digits in the module's own files (module.json, the registry files) and in messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The value of one hex digit (0-9, a-f, A-F), or -1 for any other character.
constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// The value of digits, nothing but hex digits (no prefix); false when it is empty, holds
// another character or exceeds maximum.
[[nodiscard]] bool ParseHexDigits(std::string_view digits, std::uint64_t maximum,
                                  std::uint64_t* value);

// Bytes from pairs of hex digits ("00ff1A"); false on an odd length or another character.
[[nodiscard]] bool ParseHexBytes(std::string_view text, std::vector<std::uint8_t>* bytes);
// Bytes as pairs of lower-case hex digits, the form ParseHexBytes reads.
std::string HexBytes(const std::vector<std::uint8_t>& bytes);

// "0x" and upper-case digits, at least digits of them ("0x00001000" for Hex(0x1000, 8)).
std::string Hex(std::uint64_t value, int digits = 0);

}  // namespace sim
