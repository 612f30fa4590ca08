#include "sim/module/presets.h"

#include <algorithm>
#include <iterator>

#include "sim/hw/cpu.h"

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
      {.name = "pxa270-32m",
       .identity = kProcessorPxa27x,
       .mainId = 0x69054117,
       .norSize = 0x2000000},
      {.name = "pxa270-64m",
       .identity = kProcessorPxa27x,
       .mainId = 0x69054117,
       .norSize = 0x4000000},
      {.name = "pxa320", .identity = kProcessorPxa320, .mainId = 0x69056825, .norSize = 0},
      {.name = "pxa300", .identity = kProcessorPxa300, .mainId = 0x69056881, .norSize = 0},
      {.name = "pxa310", .identity = kProcessorPxa310, .mainId = 0x69056891, .norSize = 0},
  };
  static_assert(std::all_of(std::begin(kRows), std::end(kRows), [](const Row& row) {
    return ProcessorIdentityOf(row.mainId) == row.identity;
  }));
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
