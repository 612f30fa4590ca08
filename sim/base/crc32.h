// CRC-32 as the module's stores and its registry region frame their data.
#pragma once

#include <cstdint>
#include <span>

namespace sim {

// CRC-32 (IEEE 802.3, reflected, initial and final value 0xFFFFFFFF); crc continues an earlier
// run over the bytes before these.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

}  // namespace sim
