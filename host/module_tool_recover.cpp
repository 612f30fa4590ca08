// flashwick-module recover: the technician's ways back when the flash no longer starts, outside
// the program: a bootloader written as a JTAG flash programmer writes it, an OS image written as
// the bootloader's download does (only when a bootloader runs to download it). Either erases the
// region and programs the image with the module's flash (NAND through the OS's bad block map),
// reads it back, and asks for a reset, which starts what the flash now holds.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/module_tool.h"
#include "sim/base/bytes.h"
#include "sim/base/files.h"
#include "sim/base/hex.h"
#include "sim/hw/clock.h"
#include "sim/module/boot_flash.h"
#include "sim/module/fault_plan.h"
#include "sim/module/machine.h"
#include "sim/os/os_flash.h"

namespace module_tool {
namespace {

namespace fs = std::filesystem;
using sim::Json;

constexpr std::uint8_t kBinSignature[7] = {'B', '0', '0', '0', 'F', 'F', '\n'};
constexpr std::uint32_t kBinHeaderBytes = 15;
constexpr std::uint32_t kRecordHeaderBytes = 12;

// The target region's flash range and the image laid out over it (0xFF where the file gives
// nothing).
struct Placement {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::vector<std::uint8_t> bytes;  // from start; as long as the last byte the file gives
};

// Lays a file out over the region [start, end). A bin file's records go to flash offsets by their
// address as the bootloader places them: addresses below 0x4C000000 are flash offsets, an image
// linked at 0x80000000.. or 0xA0000000.. starts at the OS image region, one at 0xBCA00000.. at
// flash offset 0; records outside the region are left out. Any other file is the raw image from
// the region's start (as a flash programmer writes a .nb0). False with the reason when the file
// is damaged or gives nothing for the region.
bool Place(const std::vector<std::uint8_t>& file, std::uint32_t osOffset, Placement* placement,
           std::string* error) {
  const std::uint32_t room = placement->end - placement->start;
  if (file.size() < kBinHeaderBytes ||
      !std::equal(std::begin(kBinSignature), std::end(kBinSignature), file.begin())) {
    if (file.empty() || file.size() > room) {
      *error = file.empty()
                   ? "the file is empty"
                   : "the file (" + std::to_string(file.size()) +
                         " bytes) is larger than the region (" + std::to_string(room) + " bytes)";
      return false;
    }
    placement->bytes = file;
    return true;
  }
  const std::uint32_t imageStart = sim::Get32(&file[7]);
  std::uint64_t base = 0;  // flash offset of address 0 of the records, modulo 2^32
  if (imageStart < 0x4C000000) {
    base = 0;
  } else if ((imageStart >= 0x80000000 && imageStart < 0x9CA00000) ||
             (imageStart >= 0xA0000000 && imageStart < 0xBCA00000)) {
    base = std::uint64_t{osOffset} - imageStart;
  } else if (imageStart >= 0xBCA00000 && imageStart < 0xBFFFFFFF) {
    base = 0x100000000ull - imageStart;
  } else {
    *error = "the bin file's image start " + sim::Hex(imageStart, 8) + " is no place in the flash";
    return false;
  }
  std::size_t at = kBinHeaderBytes;
  bool gave = false;
  while (true) {
    if (file.size() - at < kRecordHeaderBytes) {
      *error = "the bin file ends inside its records (no end record)";
      return false;
    }
    const std::uint32_t address = sim::Get32(&file[at]);
    const std::uint32_t length = sim::Get32(&file[at + 4]);
    const std::uint32_t checksum = sim::Get32(&file[at + 8]);
    at += kRecordHeaderBytes;
    if (address == 0 && checksum == 0) {
      break;
    }
    if (file.size() - at < length) {
      *error = "the bin file's record at " + sim::Hex(address, 8) + " is cut short";
      return false;
    }
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) {
      sum += file[at + i];
    }
    if (sum != checksum) {
      *error = "the bin file's record at " + sim::Hex(address, 8) + " fails its checksum";
      return false;
    }
    const std::uint64_t offset = (base + address) & 0xFFFFFFFFull;
    for (std::uint32_t i = 0; i < length; ++i) {
      const std::uint64_t byte = offset + i;
      if (byte < placement->start || byte >= placement->end) {
        continue;
      }
      const std::size_t index = static_cast<std::size_t>(byte - placement->start);
      if (placement->bytes.size() <= index) {
        placement->bytes.resize(index + 1, 0xFF);
      }
      placement->bytes[index] = file[at + i];
      gave = true;
    }
    at += length;
  }
  if (!gave) {
    *error = "the bin file holds nothing for the flash from " + sim::Hex(placement->start, 8) +
             " to " + sim::Hex(placement->end, 8);
    return false;
  }
  return true;
}

// Erases the blocks of [start, end) and programs the bytes from start, then reads them back.
bool WriteRegion(sim::OsFlash& flash, const Placement& placement, std::uint32_t* erasedBlocks,
                 std::string* error) {
  const sim::ModuleFlashLock lock;
  std::uint32_t at = placement.start;
  while (at < placement.end) {
    const std::uint32_t block = flash.BlockSize(at);
    if (block == 0 || at % block != 0) {
      *error = "the region does not start at an erase block (" + sim::Hex(at, 8) + ")";
      return false;
    }
    if (!flash.EraseBlock(at)) {
      *error = "erasing the block at " + sim::Hex(at, 8) + " failed";
      return false;
    }
    ++*erasedBlocks;
    at += block;
  }
  // Programmed in pieces of 64 KiB, so that a failure names where it happened.
  constexpr std::uint32_t kPiece = 0x10000;
  const auto total = static_cast<std::uint32_t>(placement.bytes.size());
  std::vector<std::uint8_t> back(kPiece);
  for (std::uint32_t done = 0; done < total; done += kPiece) {
    const std::uint32_t piece = std::min(kPiece, total - done);
    const std::uint8_t* data = placement.bytes.data() + done;
    bool blank = true;
    for (std::uint32_t i = 0; i < piece && blank; ++i) {
      blank = data[i] == 0xFF;
    }
    if (!blank && !flash.Program(placement.start + done, data, piece)) {
      *error = "programming at " + sim::Hex(placement.start + done, 8) + " failed";
      return false;
    }
    if (!flash.Read(placement.start + done, back.data(), piece) ||
        !std::equal(data, data + piece, back.begin())) {
      *error = "the flash at " + sim::Hex(placement.start + done, 8) +
               " does not read back what was programmed";
      return false;
    }
  }
  return true;
}

int Recover(const Arguments& arguments) {
  const bool bootloader = arguments.Has("bootloader");
  if (bootloader == arguments.Has("os")) {
    return Fail("recover: give one of --bootloader FILE or --os FILE");
  }
  const fs::path file = arguments.Get(bootloader ? "bootloader" : "os");
  std::string text;
  if (!sim::ReadWholeFile(file, &text)) {
    return Fail("recover: " + file.string() + ": cannot read");
  }
  const std::vector<std::uint8_t> bytes(text.begin(), text.end());
  const fs::path directory = ModuleDirectoryArgument(arguments);
  if (const std::string processes = AttachedProcessesText(directory); !processes.empty()) {
    return Fail("recover: refused: " + processes +
                " is running on the module; let it end first (nothing was written)");
  }
  // The technician's tool drives the flash itself: nothing of the module's OS is started.
  sim::AttachOptions options;
  options.boot = sim::BootMode::kLookOnly;
  std::string error;
  static fs::path poweredModule;
  poweredModule = directory;
  sim::FaultPlan::SetPowerLostHandler([](const std::string& what) {
    std::fprintf(stderr,
                 "flashwick-module: recover: power cut during the %s: the flash holds what the "
                 "cut left\n",
                 what.c_str());
    std::string ignored;
    (void)sim::ResetModuleAfterPowerCut(poweredModule, &ignored);
    std::fflush(nullptr);
    std::_Exit(1);
  });
  if (!sim::Attach(directory, options, &error)) {
    return Fail(error);
  }
  sim::Machine& machine = sim::CurrentMachine();
  if (!sim::OtherAttachedProcesses(directory).empty()) {
    sim::Detach();
    return Fail("recover: refused: a program started on the module meanwhile (nothing written)");
  }
  if (LookAtFlashLock() != FlashLockState::kFree) {
    sim::Detach();
    return Fail(std::string("recover: ") + kFlashLockHeldText);
  }
  sim::OsFlash* flash = sim::CurrentOsFlash();
  if (flash == nullptr) {
    sim::Detach();
    return Fail("recover: the module has no flash");
  }
  const sim::BootLayout layout = sim::BootLayoutOf(machine.Config());
  const sim::BootLook before = sim::LookAtAttachedBootFlash(machine);
  if (!bootloader && before.outcome == sim::BootOutcome::kNoSignOfLife) {
    sim::Detach();
    return Fail("recover: refused: the module has no bootloader to download an OS image with (" +
                before.reason + "); write a bootloader first with --bootloader FILE");
  }
  Placement placement;
  placement.start = bootloader ? 0 : layout.osOffset;
  placement.end =
      bootloader
          ? std::min(layout.configOffset, flash->Size())
          : std::min(layout.osEnd > layout.osOffset ? layout.osEnd : flash->Size(), flash->Size());
  if (placement.end <= placement.start) {
    sim::Detach();
    return Fail("recover: the module's layout leaves no room for the region");
  }
  if (!Place(bytes, layout.osOffset, &placement, &error)) {
    sim::Detach();
    return Fail("recover: " + file.string() + ": " + error + " (nothing was written)");
  }
  const std::uint64_t started = machine.Clock().Now();
  std::uint32_t erasedBlocks = 0;
  const bool written = WriteRegion(*flash, placement, &erasedBlocks, &error);
  const sim::BootLook after = sim::LookAtAttachedBootFlash(machine);
  const double seconds = static_cast<double>(machine.Clock().Now() - started) /
                         static_cast<double>(1000 * sim::kMillisecond);
  sim::Detach();
  const char* via = bootloader ? "JTAG flash programmer" : "bootloader download";
  const std::string region = bootloader ? "Bootloader" : "OS Image";
  const std::string next =
      "reset the module to start what its flash now holds: flashwick-module reset " +
      directory.string();
  Json result = {{"module", directory.string()},
                 {"region", region},
                 {"via", via},
                 {"file", file.string()},
                 {"start", sim::Hex(placement.start, 8)},
                 {"end", sim::Hex(placement.end, 8)},
                 {"bytesWritten", written ? placement.bytes.size() : 0},
                 {"erasedBlocks", erasedBlocks},
                 {"moduleSeconds", seconds},
                 {"written", written},
                 {"nextStart", sim::BootLookJson(after)}};
  if (!written) {
    result["error"] = error;
  } else {
    result["next"] = next;
  }
  if (arguments.Has("json")) {
    std::printf("%s\n", result.dump(2).c_str());
  } else if (written) {
    std::printf(
        "recover: %s written through the %s: %zu bytes from %s, %u blocks erased "
        "(%.3f s of module time)\n",
        region.c_str(), via, placement.bytes.size(), sim::Hex(placement.start, 8).c_str(),
        erasedBlocks, seconds);
    std::printf("at the next start: %s\n%s\n", sim::BootOutcomeText(after).c_str(), next.c_str());
  }
  if (!written) {
    std::fprintf(stderr, "flashwick-module: recover: writing the %s failed: %s\n", region.c_str(),
                 error.c_str());
    return 1;
  }
  return 0;
}

void RecoverHelp(std::FILE* out) {
  std::fprintf(
      out,
      "Writes an image into the flash as a technician's tools do, outside the program:\n"
      "  --bootloader FILE  as a JTAG flash programmer: the bootloader region (flash offset 0 up\n"
      "                     to the config block) is erased and FILE programmed into it\n"
      "  --os FILE          as the bootloader's download (needs a bootloader in the flash):\n"
      "                     the OS image region is erased and FILE programmed into it\n"
      "FILE is a host file: a .bin image file (its records go where their addresses say; those\n"
      "outside the region are left out, a record that fails its checksum refuses the file) or\n"
      "the raw image as it lies in the flash from the region's start. Refused while a program\n"
      "runs on the module. Then reset the module (flashwick-module reset) to start it.\n");
}

const ModuleCommandRegistrar kRecover({"recover",
                                       "recover [DIR] [--bootloader FILE] [--os FILE] [--json]",
                                       "write a bootloader or an OS image into the flash as a "
                                       "JTAG programmer or the bootloader's download would",
                                       {"bootloader", "os"},
                                       Recover,
                                       RecoverHelp});

}  // namespace
}  // namespace module_tool
