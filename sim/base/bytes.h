// Little-endian fields in byte buffers: the layout of every structure the module's processor
// and its OS keep in flash and memory.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

inline std::uint16_t Get16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}
inline std::uint32_t Get32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
         (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
}
inline std::uint64_t Get64(const std::uint8_t* bytes) {
  return std::uint64_t{Get32(bytes)} | (std::uint64_t{Get32(bytes + 4)} << 32);
}

inline void Put16(std::uint8_t* bytes, std::uint16_t value) {
  bytes[0] = static_cast<std::uint8_t>(value);
  bytes[1] = static_cast<std::uint8_t>(value >> 8);
}
inline void Put32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}
inline void Put64(std::uint8_t* bytes, std::uint64_t value) {
  Put32(bytes, static_cast<std::uint32_t>(value));
  Put32(bytes + 4, static_cast<std::uint32_t>(value >> 32));
}

// Appends a field at the end of out.
inline void Append16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}
inline void Append32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}
inline void Append64(std::vector<std::uint8_t>& out, std::uint64_t value) {
  Append32(out, static_cast<std::uint32_t>(value));
  Append32(out, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace sim
