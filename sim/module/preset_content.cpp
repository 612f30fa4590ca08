#include "sim/module/preset_content.h"

#include <cstring>

#include "platform/kernel.h"
#include "sim/base/hex.h"
#include "sim/base/utf.h"
#include "sim/hw/cpu.h"
#include "sim/module/boot_flash.h"
#include "sim/os/os_flash.h"
#include "sim/os/registry.h"

namespace sim {
namespace {

constexpr std::uint32_t kRomSignature = 0x43454345;  // "ECEC"
constexpr std::uint32_t kRomHeaderBytes = 84;
constexpr std::uint32_t kTocEntryBytes = 32;
constexpr std::uint32_t kVersionMagicFirst = 0x01234567;
constexpr std::uint32_t kVersionMagicSecond = 0x89ABCDEF;
constexpr std::uint32_t kTrailerMagic = 0x52435353;  // "SSCR"
constexpr std::uint32_t kBootloaderBase = 0x80000000;
constexpr std::uint32_t kOsBase = 0x80000000;
// 13 Mar 2009 10:05:09 UTC as a Windows file time: the bootloader's build time in its table of
// contents and the creation time of the image's ROM files.
constexpr std::uint64_t kBootloaderBuilt = 128814123090000000ull;
constexpr std::uint64_t kRomFilesCreated = 128814123090000000ull;
constexpr const char* kBanner =
    "Microsoft Windows CE Ethernet Bootloader 1.4 for Velmora Kestrin Built Mar  1 2009\r\n";

void PutWord(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::uint32_t GetWord(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void Fill(std::vector<std::uint8_t>& bytes, std::uint32_t seed) {
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    for (std::size_t k = 0; k < 4 && i + k < bytes.size(); ++k) {
      bytes[i + k] = static_cast<std::uint8_t>(state >> (8 * k));
    }
  }
}

std::uint32_t ConfigOffset() {
  ConfigReader reader(CurrentMachine().Config(), "module.json");
  return static_cast<std::uint32_t>(reader.UnsignedOr("layout.configOffset", 0xFFFFFFFF, 0x40000));
}

// Programs bytes at a flash offset through the OS driver view; the blocks must be erased.
bool ProgramFlash(std::uint32_t offset, const std::vector<std::uint8_t>& bytes,
                  std::string* error) {
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    *error = "preset content: the module has no flash";
    return false;
  }
  const ModuleFlashLock lock;
  if (!flash->Program(offset, bytes.data(), static_cast<std::uint32_t>(bytes.size()))) {
    *error = "preset content: programming flash at " + std::to_string(offset) + " failed";
    return false;
  }
  return true;
}

bool WriteRomFile(const char16_t* path, std::string* error) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "preset content: cannot create " + ToUtf8(path);
    return false;
  }
  std::vector<std::uint8_t> bytes(0x2000);
  Fill(bytes, 77);
  DWORD written = 0;
  const FILETIME created{static_cast<DWORD>(kRomFilesCreated),
                         static_cast<DWORD>(kRomFilesCreated >> 32)};
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      SetFileTime(file, &created, &created, &created);
  CloseHandle(file);
  if (!ok) {
    *error = "preset content: cannot write " + ToUtf8(path);
  }
  return ok;
}

class PresetContent : public Component {
 public:
  PresetContent() { RegisterComponent(this); }
  const char* ComponentName() const override { return "content"; }

  bool Create(const PresetSpec& presetSpec, const fs::path& /*directory*/, Json& config,
              std::string* /*error*/) override {
    const PresetLayout layout = LayoutForPreset(presetSpec);
    config["layout"] = {
        {"bootloaderOffset", layout.bootloaderOffset},
        {"bootloaderRecord", layout.bootloaderRecord},
        {"bootloaderLength", layout.bootloaderLength},
        {"configOffset", layout.configOffset},
        {"configUsed", layout.configUsed},
        {"osOffset", layout.osOffset},
        {"osLength", layout.osLength},
        {"osTrailer", layout.osTrailer},
        {"registryOffset", layout.registryOffset},
        {"registryHalf", layout.registryHalf},
    };
    std::vector<std::uint8_t> flashLayout(24, 0);
    PutWord(flashLayout, 0, layout.osOffset);
    PutWord(flashLayout, 4, layout.registryOffset);
    PutWord(flashLayout, 8, layout.registryHalf);
    config["platformItems"] = {{"5", HexBytes(flashLayout)}};
    return true;
  }

  // "layout" records where the preset put its content; the module reads the config block's
  // and the flash registry's places from it.
  void Validate(ConfigReader& reader) override {
    const Json* layout = reader.Find("layout");
    if (layout == nullptr) {
      return;
    }
    if (!layout->is_object()) {
      reader.Error("layout", "must be an object of offsets and lengths");
      return;
    }
    reader.Unsigned("layout.configOffset", 0xFFFFFFFF);
    for (const char* field :
         {"layout.bootloaderOffset", "layout.bootloaderLength", "layout.osOffset",
          "layout.osLength", "layout.osTrailer", "layout.registryOffset", "layout.registryHalf",
          "layout.registryUsed"}) {
      reader.UnsignedOr(field, 0xFFFFFFFF, 0);
    }
    reader.Boolean("layout.bootloaderRecord", true);
  }

  bool Populate(Machine& /*machine*/, const PresetSpec& presetSpec, std::string* error) override {
    const PresetLayout layout = LayoutForPreset(presetSpec);
    return WriteBootloader(presetSpec, layout, error) && WriteConfigBlock(layout, error) &&
           WriteOsImage(layout, error) &&
           (CreateDirectoryW(u"\\Windows", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) &&
           WriteRomFile(u"\\Windows\\wince.nls", error);
  }

 private:
  static bool WriteBootloader(const PresetSpec& presetSpec, const PresetLayout& layout,
                              std::string* error) {
    std::vector<std::uint8_t> image =
        BuildRomImage(kBootloaderBase, layout.bootloaderLength, kBootloaderBuilt, 1);
    if (presetSpec.identity == kProcessorPxa310 && layout.bootloaderOffset == 0) {
      // This processor's boot ROM starts only an image that carries "HMIT" at flash offset 4.
      std::memcpy(image.data() + 4, "HMIT", 4);
    }
    if (layout.bootloaderRecord) {
      // The version record sits inside the bootloader, below the config block.
      const std::size_t at = 0x100;
      PutWord(image, at, kVersionMagicFirst);
      PutWord(image, at + 4, 1);   // an image for this module family
      PutWord(image, at + 8, 1);   // major
      PutWord(image, at + 12, 4);  // minor 4, release build
      PutWord(image, at + 16, kVersionMagicSecond);
    } else {
      // An older bootloader: no record, only its banner text.
      // The loader searches its banner from flash offset 0x8000 on.
      std::memcpy(image.data() + 0x9000, kBanner, std::strlen(kBanner));
    }
    return ProgramFlash(layout.bootloaderOffset, image, error);
  }

  static bool WriteConfigBlock(const PresetLayout& layout, std::string* error) {
    std::vector<std::uint8_t> block(layout.configUsed);
    Fill(block, 3);
    PutWord(block, 0, kConfigBlockMarker);
    const std::uint8_t boardData[8] = {0x00, 0x14, 0x2D, 0x01, 0x23, 0x45, 0x00, 0x00};
    std::memcpy(block.data() + 4, boardData, sizeof(boardData));
    const std::uint8_t hardware[8] = {1, 0, 2, 0, 0, 0, 0, 0};  // hardware version 1.2
    std::memcpy(block.data() + 12, hardware, sizeof(hardware));
    PutWord(block, 20, 0x00C0FFEE);
    // No word of the board data may read as erased flash before the block's end.
    for (std::size_t i = 24; i < block.size(); i += 4) {
      if (GetWord(block.data() + i) == 0xFFFFFFFF) {
        PutWord(block, i, 0xFFFFFFFE);
      }
    }
    return ProgramFlash(layout.configOffset, block, error);
  }

  static bool WriteOsImage(const PresetLayout& layout, std::string* error) {
    std::vector<std::uint8_t> image = BuildRomImage(kOsBase, layout.osLength, kRomFilesCreated, 2);
    PutImageVersionRecord(image, kPresetImageVersion);
    // The trailer that follows the image belongs to it: "SSCR", a version, its length.
    std::vector<std::uint8_t> trailer(16 + layout.osTrailer);
    Fill(trailer, 9);
    PutWord(trailer, 0, kTrailerMagic);
    PutWord(trailer, 4, 1);
    PutWord(trailer, 8, layout.osTrailer);
    PutWord(trailer, 12, 0);
    image.insert(image.end(), trailer.begin(), trailer.end());
    return ProgramFlash(layout.osOffset, image, error);
  }
};

PresetContent presetContent;

}  // namespace

PresetLayout LayoutForPreset(const PresetSpec& presetSpec) {
  PresetLayout layout;
  if (presetSpec.name == "pxa270-64m") {
    // The bootloader at 0x8000 (the first 32 KiB left erased), and a larger OS image area.
    layout.bootloaderOffset = 0x8000;
    layout.registryOffset = 0x2800000;
  } else if (presetSpec.name == "pxa300") {
    layout.bootloaderRecord = false;
  }
  return layout;
}

std::vector<std::uint8_t> BuildRomImage(std::uint32_t virtualBase, std::uint32_t length,
                                        std::uint64_t buildTime, std::uint32_t seed) {
  std::vector<std::uint8_t> image(length);
  Fill(image, seed);
  const std::uint32_t headerOffset = (length - kRomHeaderBytes - kTocEntryBytes - 0x40) & ~3u;
  PutWord(image, 0x40, kRomSignature);
  PutWord(image, 0x44, virtualBase + headerOffset);
  PutWord(image, 0x48, headerOffset);
  std::vector<std::uint32_t> header(kRomHeaderBytes / 4, 0);
  header[0] = virtualBase + 0x100000;  // dllfirst
  header[1] = virtualBase + 0x200000;  // dlllast
  header[2] = virtualBase;             // physfirst
  header[3] = virtualBase + length;    // physlast
  header[4] = 1;                       // nummods
  header[5] = 0x80400000;              // ulRAMStart
  header[6] = 0x80400000;              // ulRAMFree
  header[7] = 0x84000000;              // ulRAMEnd
  for (std::size_t i = 0; i < header.size(); ++i) {
    PutWord(image, headerOffset + 4 * i, header[i]);
  }
  const std::uint32_t toc = headerOffset + kRomHeaderBytes;
  PutWord(image, toc, 0x00000007);  // attributes
  PutWord(image, toc + 4, static_cast<std::uint32_t>(buildTime));
  PutWord(image, toc + 8, static_cast<std::uint32_t>(buildTime >> 32));
  PutWord(image, toc + 12, length / 2);  // file size
  PutWord(image, toc + 16, virtualBase + 0x80);
  PutWord(image, toc + 20, 0);
  PutWord(image, toc + 24, 0);
  PutWord(image, toc + 28, virtualBase + 0x1000);
  return image;
}

void PutImageVersionRecord(std::vector<std::uint8_t>& image, const BootImageVersion& version) {
  PutWord(image, kImageVersionRecordOffset, kVersionRecordFirstMagic);
  PutWord(image, kImageVersionRecordOffset + 4, version.id);
  PutWord(image, kImageVersionRecordOffset + 8, version.major);
  PutWord(image, kImageVersionRecordOffset + 12, (version.minor & 0xFFFF) | (version.beta << 16));
  PutWord(image, kImageVersionRecordOffset + 16, kVersionRecordSecondMagic);
}

bool IsConfigBlockItem(std::uint32_t subCode) {
  for (const ConfigBlockItem& item : kConfigBlockItems) {
    if (item.subCode == subCode) {
      return true;
    }
  }
  return false;
}

bool ReadConfigBlockItem(std::uint32_t subCode, std::uint8_t* item, std::uint32_t size) {
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    return false;
  }
  const std::uint32_t base = ConfigOffset();
  const ModuleFlashLock lock;
  std::uint8_t head[24];
  if (!flash->Read(base, head, sizeof(head)) || GetWord(head) != kConfigBlockMarker) {
    return false;
  }
  for (const ConfigBlockItem& entry : kConfigBlockItems) {
    if (entry.subCode == subCode && entry.size == size) {
      std::memcpy(item, head + entry.offset, size);
      return true;
    }
  }
  return false;
}

bool WriteConfigBlockItem(std::uint32_t subCode, const std::uint8_t* item, std::uint32_t size) {
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    return false;
  }
  const std::uint32_t base = ConfigOffset();
  // The image's HAL rewrites the block under the flash driver's lock: a program of another
  // process may be writing the same block.
  const ModuleFlashLock lock;
  const std::uint32_t blockSize = flash->BlockSize(base);
  std::vector<std::uint8_t> block(blockSize);
  const std::uint32_t blockStart = base - base % blockSize;
  if (blockSize == 0 || !flash->Read(blockStart, block.data(), blockSize) ||
      GetWord(block.data() + (base - blockStart)) != kConfigBlockMarker) {
    return false;
  }
  for (const ConfigBlockItem& entry : kConfigBlockItems) {
    if (entry.subCode == subCode && entry.size == size) {
      // Rewrite the block as the image's HAL does: erase, then program it back.
      std::memcpy(block.data() + (base - blockStart) + entry.offset, item, size);
      return flash->EraseBlock(blockStart) && flash->Program(blockStart, block.data(), blockSize);
    }
  }
  return false;
}

}  // namespace sim
