// What a start of the module found in its flash: what runs and why (see boot_flash.h, which
// decides it).
#pragma once

#include <cstdint>
#include <string>

namespace sim {

enum class BootOutcome {
  kOs,            // the OS image runs
  kBootloader,    // the bootloader runs and waits: no OS image to start
  kNoSignOfLife,  // no bootloader: nothing starts
};

struct BootImageVersion {
  std::uint32_t id = 0;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t beta = 0;
};

struct BootLook {
  BootOutcome outcome = BootOutcome::kNoSignOfLife;
  // Why, in a technician's words ("no bootloader image at flash offset 0x00000000 or
  // 0x00008000").
  std::string reason;
  std::uint32_t bootloaderOffset = 0;  // where the bootloader was found
  std::uint32_t osOffset = 0;          // the OS image region's start
  std::uint32_t osBytes = 0;           // the OS image's length when one was found
  // The OS image's version record, when the image carries one.
  bool versionKnown = false;
  BootImageVersion version;
};

}  // namespace sim
