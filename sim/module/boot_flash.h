// What the module starts from its flash, decided as its boot chain decides it.
//
// At power-up the processor's boot ROM starts the bootloader it finds at the start of the flash
// (a Windows CE ROM image at flash offset 0, or at 0x8000 behind an erased first 32 KiB; the
// PXA31x boot ROM also wants "HMIT" at offset 4 of an image at 0). Without one the module shows
// no sign of life. The bootloader then starts the OS image at the start of the OS image region
// (platform item 5, word 0) if a whole image lies there: a ROM image whose header is where its
// "ECEC" pointer says and whose length fits the region, or a compressed image whose data fit it.
// Without one the module stays in its bootloader. Otherwise the OS starts, and the version its
// HAL reports is the version record built into that image (the same framing as the
// bootloader's: 0x01234567, ID, major, minor and beta build, 0x89ABCDEF, in its first 4 KiB).
//
// The decision reads the flash as the boot chain does: NOR as it is mapped, NAND through the
// bad block table page that the OS driver and the program share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "sim/module/boot_look.h"
#include "sim/module/machine.h"

namespace sim {

// Where the boot chain looks, from module.json.
struct BootLayout {
  std::uint32_t identity = 0;            // processor identity
  std::uint32_t configOffset = 0x40000;  // the bootloader ends below the config block
  std::uint32_t osOffset = 0x80000;
  std::uint32_t osEnd = 0x1400000;  // the registry region's start
};
BootLayout BootLayoutOf(const Json& config);

// Reads length bytes of the flash's logical byte space at offset; false when it cannot.
using BootFlashReader = std::function<bool(std::uint32_t, void*, std::uint32_t)>;

// The decision over any view of the flash of flashBytes bytes.
BootLook LookAtBootFlash(const BootFlashReader& read, std::uint32_t flashBytes,
                         const BootLayout& layout);
// The decision for the attached module, through the OS's view of its flash under
// "OnModuleFlash".
BootLook LookAtAttachedBootFlash(Machine& machine);
// The decision for a module directory without starting its OS: uses the attached module when it
// is that one, else attaches the directory without booting it for the look. False (with the
// reason) when the module cannot be read, or another module is attached to this process.
bool LookAtBootFlash(const std::filesystem::path& directory, BootLook* look, std::string* error);

// "os", "bootloader" or "none".
const char* BootOutcomeName(BootOutcome outcome);
// One plain sentence of what a technician sees ("the module shows no sign of life: ...").
std::string BootOutcomeText(const BootLook& look);

// The record of the module's last start, kept in ram/boot.json while the module runs.
bool SaveBootLook(const std::filesystem::path& ramDirectory, const BootLook& look,
                  std::string* error);
bool LoadBootLook(const std::filesystem::path& ramDirectory, BootLook* look);
Json BootLookJson(const BootLook& look);

// The version record framing inside images.
inline constexpr std::uint32_t kVersionRecordFirstMagic = 0x01234567;
inline constexpr std::uint32_t kVersionRecordSecondMagic = 0x89ABCDEF;
inline constexpr std::uint32_t kImageVersionSearchBytes = 0x1000;

}  // namespace sim
