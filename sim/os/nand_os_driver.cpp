// The module OS's NAND flash driver as the virtual module plays it: at boot it sets the data
// flash controller up and publishes the bad block map in shared memory; afterwards it gives the
// OS its logical view of the flash (the bad block map applied, the table page kept out of the
// way) for the storage manager and the OS's own flash calls.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim/base/bytes.h"
#include "sim/hw/nand_flash.h"
#include "sim/hw/nand_flash_internal.h"
#include "sim/os/shared_memory.h"

namespace sim {
namespace {

// Cycles that a timing register field gives for ns at the controller clock: the field holds
// cycles - 1, as the driver computes it (a datasheet minimum rounded up to whole cycles).
std::uint32_t FieldFor(std::uint32_t ns, std::uint32_t mhz, std::uint32_t maximum) {
  if (ns <= 1) {
    return 0;
  }
  const std::uint32_t cycles = (ns * mhz + 999) / 1000 - 1;
  return std::min(cycles, maximum);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The running OS: its flash driver sets the controller up and publishes the bad block map
// ---------------------------------------------------------------------------------------------
void NandFlash::Boot(Machine& /*machine*/) {
  if (!Present() || !osDriverLoaded_) {
    return;
  }
  // The driver sets the controller up under its lock, as every other OS access to the chips.
  const ModuleFlashLock lock;
  OsDriverBoot();
}

void NandFlash::OsDriverBoot() {
  const NandChip& chip = *chip_;
  registers_->ndcr = NDCR_SPARE_EN | NDCR_ECC_EN | 1u << 24 | 4u << 16 | NDCR_RA_START |
                     NDCR_PG_PER_BLK | NDCR_ND_ARB_EN | NDCR_INTERRUPT_MASKS;
  const std::uint32_t mhz = clockMhz_;
  registers_->ndtr0 = FieldFor(chip.tCH, mhz, 7) << 19 | FieldFor(chip.tCS, mhz, 7) << 16 |
                      FieldFor(chip.tWH, mhz, 7) << 11 | FieldFor(chip.tWP, mhz, 7) << 8 |
                      FieldFor(chip.tRH, mhz, 7) << 3 | FieldFor(chip.tRP, mhz, 7);
  registers_->ndtr1 = FieldFor(static_cast<std::uint32_t>(chip.readBusy) + 120, mhz, 0xFFFF) << 16 |
                      FieldFor(chip.tWHR, mhz, 15) << 4 | FieldFor(chip.tAR, mhz, 15);
  std::uint8_t page[kNandPageBytes];
  ReadRawPage(kNandTablePage, page, nullptr);
  ApplyDisturb(kNandTablePage, page);
  if (Get16(page) != kNandTableMagic) {
    return;  // the OS driver finds no table and publishes none
  }
  std::uint8_t* shared = SharedTable(true);
  if (shared == nullptr) {
    return;
  }
  std::vector<std::uint16_t> map = OsBlockMap();
  for (std::uint32_t block = 0; block < map.size(); ++block) {
    Put16(shared + 4 + 2 * block, map[block]);
  }
  Put32(shared, kNandSharedTableMagic);
}

std::uint8_t* NandFlash::SharedTable(bool create) {
  if (sharedTable_ == nullptr) {
    std::error_code code;
    if (!create && !fs::exists(NamedMemoryFile(kNandSharedTableName), code)) {
      return nullptr;
    }
    sharedTable_ =
        static_cast<std::uint8_t*>(OpenNamedMemory(kNandSharedTableName, kNandSharedTableBytes));
  }
  return sharedTable_;
}

std::vector<std::uint16_t> NandFlash::OsBlockMap() {
  std::vector<std::uint16_t> map(BlockCount());
  const std::uint8_t* shared = SharedTable(false);
  if (shared != nullptr && Get32(shared) == kNandSharedTableMagic) {
    for (std::uint32_t block = 0; block < map.size(); ++block) {
      map[block] = Get16(shared + 4 + 2 * block);
    }
    return map;
  }
  for (std::uint32_t block = 0; block < map.size(); ++block) {
    map[block] = static_cast<std::uint16_t>(block);
  }
  std::uint8_t page[kNandPageBytes];
  ReadRawPage(kNandTablePage, page, nullptr);
  ApplyDisturb(kNandTablePage, page);
  if (Get16(page) != kNandTableMagic) {
    return map;
  }
  for (std::uint32_t entry = 0; entry < kNandTableMaxEntries; ++entry) {
    const std::uint16_t logical = Get16(page + 4 + 4 * entry);
    const std::uint16_t replacement = Get16(page + 6 + 4 * entry);
    if (logical == 0xFFFF) {
      break;
    }
    // Entries that name no block of this chip are ignored, as is a replacement by block 0.
    if (logical != 0 && logical < map.size() && replacement != 0 && replacement < map.size()) {
      map[logical] = replacement;
    }
  }
  return map;
}

// ---------------------------------------------------------------------------------------------
// The OS flash driver's view
// ---------------------------------------------------------------------------------------------
bool NandFlash::OsTranslate(const std::vector<std::uint16_t>& map, std::uint32_t logicalPage,
                            std::uint32_t* physicalPage) const {
  // Logical pages 63 to 126 sit one page further on, so that page 63 keeps the table; 127 has
  // no page. Each page moves with the block that holds it.
  if (logicalPage == 127) {
    return false;
  }
  const std::uint32_t shifted =
      logicalPage >= 63 && logicalPage <= 126 ? logicalPage + 1 : logicalPage;
  const std::uint32_t block = shifted / kNandPagesPerBlock;
  if (block >= map.size() || map[block] >= BlockCount()) {
    return false;
  }
  *physicalPage = map[block] * kNandPagesPerBlock + shifted % kNandPagesPerBlock;
  return true;
}

std::uint32_t NandFlash::Size() {
  return Present() ? (BlockCount() - ReservedBlocks()) * kNandBlockBytes : 0;
}

std::uint32_t NandFlash::BlockSize(std::uint32_t /*offset*/) { return kNandBlockBytes; }

bool NandFlash::Read(std::uint32_t offset, void* buffer, std::uint32_t length) {
  if (!Present() || std::uint64_t{offset} + length > Size()) {
    return false;
  }
  const std::vector<std::uint16_t> map = OsBlockMap();
  auto* out = static_cast<std::uint8_t*>(buffer);
  VirtualClock& clock = CurrentMachine().Clock();
  std::uint8_t data[kNandPageBytes];
  std::uint8_t spare[kNandSpareBytes];
  while (length > 0) {
    const std::uint32_t logicalPage = offset / kNandPageBytes;
    const std::uint32_t inPage = offset % kNandPageBytes;
    const std::uint32_t take = std::min(length, kNandPageBytes - inPage);
    std::uint32_t physical = 0;
    if (!OsTranslate(map, logicalPage, &physical)) {
      if (logicalPage != 127) {
        return false;
      }
      std::memset(data, 0xFF, sizeof(data));
    } else if (PageErased(physical)) {
      std::memset(data, 0xFF, sizeof(data));
    } else {
      Sense(physical, data, spare);
      if (NandEccDecode(data, spare) == NandEccResult::kUncorrectable) {
        CurrentMachine().DebugLog("nand: OS driver read of page " + std::to_string(physical) +
                                  " is uncorrectable");
        return false;
      }
      clock.Advance(chip_->readBusy + (kNandPageBytes + kNandSpareBytes) * ReadCyclePs() / 1000);
    }
    std::memcpy(out, data + inPage, take);
    out += take;
    offset += take;
    length -= take;
  }
  return true;
}

bool NandFlash::Program(std::uint32_t offset, const void* buffer, std::uint32_t length) {
  if (!Present() || std::uint64_t{offset} + length > Size()) {
    return false;
  }
  const std::vector<std::uint16_t> map = OsBlockMap();
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  VirtualClock& clock = CurrentMachine().Clock();
  std::uint8_t data[kNandPageBytes];
  std::uint8_t spare[kNandSpareBytes];
  while (length > 0) {
    const std::uint32_t logicalPage = offset / kNandPageBytes;
    const std::uint32_t inPage = offset % kNandPageBytes;
    const std::uint32_t take = std::min(length, kNandPageBytes - inPage);
    std::uint32_t physical = 0;
    if (OsTranslate(map, logicalPage, &physical)) {
      if (!PageErased(physical)) {
        CurrentMachine().DebugLog("nand: OS driver program of page " + std::to_string(physical) +
                                  ", which is not erased");
        return false;
      }
      std::memset(data, 0xFF, sizeof(data));
      std::memcpy(data + inPage, in, take);
      std::memset(spare, 0xFF, sizeof(spare));
      NandEccEncode(data, spare, spare + kNandEccVisibleSpare);
      if (ProgramPage(physical, data, spare, true) == ProgramOutcome::kFailed) {
        return false;
      }
      clock.Advance(chip_->programBusy +
                    (kNandPageBytes + kNandSpareBytes) * WriteCyclePs() / 1000);
    } else if (logicalPage != 127) {
      return false;
    }
    in += take;
    offset += take;
    length -= take;
  }
  return true;
}

bool NandFlash::EraseBlock(std::uint32_t offset) {
  if (!Present() || offset >= Size()) {
    return false;
  }
  const std::vector<std::uint16_t> map = OsBlockMap();
  const std::uint32_t logical = offset / kNandBlockBytes;
  if (map[logical] >= BlockCount()) {
    return false;
  }
  // Block 0 holds the table page: it is saved and written back around the erase.
  std::uint8_t table[kNandPageBytes];
  if (logical == 0) {
    ReadRawPage(kNandTablePage, table, nullptr);
    ApplyDisturb(kNandTablePage, table);
  }
  const bool erased = EraseBlockPhysical(map[logical]);
  if (logical == 0 && erased) {
    std::uint8_t spare[kNandSpareBytes];
    std::memset(spare, 0xFF, sizeof(spare));
    ProgramPage(kNandTablePage, table, spare, false);
  }
  CurrentMachine().Clock().Advance(chip_->eraseBusy);
  return erased;
}

}  // namespace sim
