// What a new module holds: a bootloader, a config block with the board data, an OS image, the
// flash registry, ROM files and the platform's items. Built images are realistic enough for
// every reader of them: Windows CE ROM headers with a table of contents, the bootloader's
// version record or text banner, the image's trailer and version record. The flash registry is
// written when the new module's registry is complete (sim/os/registry_store.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/module/boot_look.h"
#include "sim/module/machine.h"

namespace sim {

// Flash layout and content choices of one preset.
struct PresetLayout {
  std::uint32_t bootloaderOffset = 0;  // 0, or 0x8000 (the first 32 KiB left erased)
  bool bootloaderRecord = true;        // version record (else the text banner)
  std::uint32_t bootloaderLength = 0x23000;
  std::uint32_t configOffset = 0x40000;
  std::uint32_t configUsed = 0x400;  // board data bytes before the first erased word
  std::uint32_t osOffset = 0x80000;
  std::uint32_t osLength = 0x180000;
  std::uint32_t osTrailer = 0x200;  // bytes behind the "SSCR" trailer header
  std::uint32_t registryOffset = 0x1400000;
  std::uint32_t registryHalf = 0x40000;
};
PresetLayout LayoutForPreset(const PresetSpec& presetSpec);

// A Windows CE ROM image of length bytes linked at virtualBase: "ECEC" at +0x40, the ROMHDR
// near its end (physfirst = virtualBase, physlast = virtualBase + length) followed by one
// TOCentry whose file time is buildTime; the rest deterministic filler from seed.
std::vector<std::uint8_t> BuildRomImage(std::uint32_t virtualBase, std::uint32_t length,
                                        std::uint64_t buildTime, std::uint32_t seed);

// The OS image's version record, which its HAL reports (see boot_flash.h): written at
// kImageVersionRecordOffset of an image built by BuildRomImage (behind the "ECEC" pointer).
inline constexpr std::uint32_t kImageVersionRecordOffset = 0x100;
// The version of the image a new module carries.
inline constexpr BootImageVersion kPresetImageVersion{1, 2, 31, 0};
void PutImageVersionRecord(std::vector<std::uint8_t>& image, const BootImageVersion& version);

// Platform items kept in the config block (sub-codes 0, 8 and 12): where they sit behind the
// block's marker word.
struct ConfigBlockItem {
  std::uint32_t subCode;
  std::uint32_t offset;  // from the config block's start
  std::uint32_t size;
};
inline constexpr ConfigBlockItem kConfigBlockItems[] = {{0, 4, 8}, {8, 12, 8}, {12, 20, 4}};
inline constexpr std::uint32_t kConfigBlockMarker = 0xCF014000;

// The config block's platform item of subCode read from (or written to) the attached module's
// flash, as the image's HAL does. False when the module has no config block with its marker.
bool ReadConfigBlockItem(std::uint32_t subCode, std::uint8_t* item, std::uint32_t size);
bool WriteConfigBlockItem(std::uint32_t subCode, const std::uint8_t* item, std::uint32_t size);
// True for the sub-codes that live in the config block.
bool IsConfigBlockItem(std::uint32_t subCode);

}  // namespace sim
