// Deterministic filler for test images: the same bytes for the same seed on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testing_support {

inline std::vector<std::uint8_t> Pattern(std::size_t length, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(length);
  std::uint32_t state = seed * 747796405u + 2891336453u;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

}  // namespace testing_support
