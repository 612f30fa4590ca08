// The presets: realistic modules that one command creates.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// ---------------------------------------------------------------------------------------------
// Presets
// ---------------------------------------------------------------------------------------------
struct PresetSpec {
  std::string name;            // pxa270-32m, pxa270-64m, pxa320, pxa300, pxa310
  std::uint32_t identity = 0;  // processor product number
  std::uint32_t mainId = 0;    // CP15 main ID register
  bool nor = false;
  std::uint32_t norSize = 0;     // bytes, NOR presets
  std::uint32_t nandChipId = 0;  // NAND presets
  std::uint32_t osVersion = 6;
};
// The named preset with an optional NAND chip id (0: the default 0xF1EC); false when unknown.
bool FindPreset(std::string_view name, std::uint32_t nandChipId, PresetSpec* presetSpec,
                std::string* error);
std::vector<std::string> PresetNames();

class Machine;

}  // namespace sim
