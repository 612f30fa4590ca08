#include "sim/base/crc32.h"

#include <array>

namespace sim {

std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> entries{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t value = i;
      for (int bit = 0; bit < 8; ++bit) {
        value = (value & 1) != 0 ? 0xEDB88320u ^ (value >> 1) : value >> 1;
      }
      entries[i] = value;
    }
    return entries;
  }();
  crc = ~crc;
  for (const std::uint8_t byte : bytes) {
    crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  }
  return ~crc;
}

}  // namespace sim
