#include "sim/module/presets.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// Presets
// ---------------------------------------------------------------------------------------------
bool FindPreset(std::string_view name, std::uint32_t nandChipId, PresetSpec* presetSpec,
                std::string* error) {
  // Main ID registers of the processors; the product number is bits 4 to 9.
  struct Row {
    const char* name;
    std::uint32_t identity;
    std::uint32_t mainId;
    std::uint32_t norSize;
  };
  static constexpr Row kRows[] = {
      {"pxa270-32m", 17, 0x69054117, 0x2000000},
      {"pxa270-64m", 17, 0x69054117, 0x4000000},
      {"pxa320", 2, 0x69056825, 0},
      {"pxa300", 8, 0x69056881, 0},
      {"pxa310", 9, 0x69056891, 0},
  };
  for (const Row& row : kRows) {
    if (name != row.name) {
      continue;
    }
    PresetSpec result;
    result.name = row.name;
    result.identity = row.identity;
    result.mainId = row.mainId;
    result.nor = row.norSize != 0;
    result.norSize = row.norSize;
    if (result.nor && nandChipId != 0) {
      *error = "preset " + std::string(name) + " has NOR flash; --nand-chip does not apply";
      return false;
    }
    result.nandChipId = result.nor ? 0 : (nandChipId != 0 ? nandChipId : 0xF1EC);
    *presetSpec = result;
    return true;
  }
  std::string known;
  for (const Row& row : kRows) {
    known += std::string(known.empty() ? "" : ", ") + row.name;
  }
  *error = "unknown preset \"" + std::string(name) + "\" (known: " + known + ")";
  return false;
}

std::vector<std::string> PresetNames() {
  return {"pxa270-32m", "pxa270-64m", "pxa320", "pxa300", "pxa310"};
}

}  // namespace sim
