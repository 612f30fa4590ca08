#include "sim/module/boot_flash.h"

#include <vector>

#include "sim/base/bytes.h"
#include "sim/base/files.h"
#include "sim/base/hex.h"
#include "sim/hw/cpu.h"
#include "sim/os/os_flash.h"

namespace sim {
namespace {

constexpr std::uint32_t kRomSignature = 0x43454345;  // "ECEC"
constexpr std::uint32_t kRomPointerOffset = 0x40;
constexpr std::uint32_t kRomHeaderBytes = 84;
constexpr std::uint32_t kCompressedMagic = 0x504D4F43;  // "COMP"
constexpr std::uint32_t kCompressedHeaderBytes = 20;
constexpr std::uint32_t kSecondBootloaderOffset = 0x8000;
constexpr const char* kBootFile = "boot.json";

// The length of the image at offset when a whole one lies there and ends at or below limit
// (0: none). A ROM image's header must sit where its pointer says, inside the image, and carry
// the image's own first address; a compressed image's data must fit.
std::uint32_t ImageAt(const BootFlashReader& read, std::uint32_t offset, std::uint32_t limit,
                      bool allowCompressed) {
  if (offset >= limit || limit - offset < kRomPointerOffset + 12) {
    return 0;
  }
  const std::uint32_t room = limit - offset;
  std::uint8_t pointer[12];
  if (read(offset + kRomPointerOffset, pointer, sizeof(pointer)) &&
      Get32(pointer) == kRomSignature) {
    const std::uint32_t headerOffset = Get32(pointer + 8);
    if (headerOffset < kRomPointerOffset + 12 || headerOffset > room - kRomHeaderBytes ||
        room < kRomHeaderBytes) {
      return 0;
    }
    std::uint8_t header[kRomHeaderBytes];
    if (!read(offset + headerOffset, header, sizeof(header))) {
      return 0;
    }
    const std::uint32_t first = Get32(header + 8);
    const std::uint32_t last = Get32(header + 12);
    if (Get32(pointer + 4) - headerOffset != first || last <= first) {
      return 0;
    }
    const std::uint32_t length = last - first;
    // The header lies inside the image, and the image inside its room.
    if (length > room || headerOffset + kRomHeaderBytes > length) {
      return 0;
    }
    return length;
  }
  if (!allowCompressed) {
    return 0;
  }
  std::uint8_t head[kCompressedHeaderBytes];
  if (!read(offset, head, sizeof(head)) || Get32(head) != kCompressedMagic) {
    return 0;
  }
  const std::uint64_t length = std::uint64_t{Get32(head + 8)} + kCompressedHeaderBytes;
  return Get32(head + 8) != 0 && length <= room ? static_cast<std::uint32_t>(length) : 0;
}

// The version record in the first bytes of the image: the lowest whole record wins.
bool FindVersionRecord(const BootFlashReader& read, std::uint32_t offset, std::uint32_t length,
                       BootImageVersion* version) {
  const std::uint32_t span = std::min(length, kImageVersionSearchBytes);
  std::vector<std::uint8_t> bytes(span);
  if (span < 20 || !read(offset, bytes.data(), span)) {
    return false;
  }
  for (std::uint32_t at = 0; at + 20 <= span; at += 4) {
    if (Get32(&bytes[at]) == kVersionRecordFirstMagic &&
        Get32(&bytes[at + 16]) == kVersionRecordSecondMagic) {
      version->id = Get32(&bytes[at + 4]);
      version->major = Get32(&bytes[at + 8]);
      const std::uint32_t minor = Get32(&bytes[at + 12]);
      version->minor = minor & 0xFFFF;
      version->beta = minor >> 16;
      return true;
    }
  }
  return false;
}

std::uint32_t LayoutWord(const std::vector<std::uint8_t>& item, std::size_t word,
                         std::uint32_t fallback) {
  return item.size() >= 4 * (word + 1) ? Get32(&item[4 * word]) : fallback;
}

}  // namespace

BootLayout BootLayoutOf(const Json& config) {
  BootLayout layout;
  ConfigReader reader(config, "module.json");
  layout.identity = static_cast<std::uint32_t>(reader.UnsignedOr("processor.identity", 0x3F, 0));
  layout.configOffset =
      static_cast<std::uint32_t>(reader.UnsignedOr("layout.configOffset", 0xFFFFFFFF, 0x40000));
  bool present = false;
  const std::vector<std::uint8_t> item = reader.HexBytes("platformItems.5", &present);
  layout.osOffset = LayoutWord(item, 0, layout.osOffset);
  layout.osEnd = LayoutWord(item, 1, layout.osEnd);
  return layout;
}

BootLook LookAtBootFlash(const BootFlashReader& read, std::uint32_t flashBytes,
                         const BootLayout& layout) {
  BootLook look;
  look.osOffset = layout.osOffset;
  const std::uint32_t bootloaderEnd = std::min(layout.configOffset, flashBytes);
  bool bootloader = false;
  for (const std::uint32_t offset : {0u, kSecondBootloaderOffset}) {
    if (ImageAt(read, offset, bootloaderEnd, false) == 0) {
      continue;
    }
    if (offset == 0 && layout.identity == kProcessorPxa310) {
      // This processor's boot ROM starts only an image that carries "HMIT" at offset 4.
      std::uint8_t mark[4];
      if (!read(4, mark, sizeof(mark)) || mark[0] != 'H' || mark[1] != 'M' || mark[2] != 'I' ||
          mark[3] != 'T') {
        continue;
      }
    }
    bootloader = true;
    look.bootloaderOffset = offset;
    break;
  }
  if (!bootloader) {
    look.outcome = BootOutcome::kNoSignOfLife;
    look.reason = "no bootloader image at flash offset " + Hex(0, 8) + " or " +
                  Hex(kSecondBootloaderOffset, 8);
    return look;
  }
  const std::uint32_t osEnd =
      std::min(layout.osEnd > layout.osOffset ? layout.osEnd : flashBytes, flashBytes);
  look.osBytes = ImageAt(read, layout.osOffset, osEnd, true);
  if (look.osBytes == 0) {
    look.outcome = BootOutcome::kBootloader;
    look.reason = "no OS image at flash offset " + Hex(layout.osOffset, 8);
    return look;
  }
  look.outcome = BootOutcome::kOs;
  look.reason =
      "OS image of " + Hex(look.osBytes, 8) + " bytes at flash offset " + Hex(layout.osOffset, 8);
  look.versionKnown = FindVersionRecord(read, layout.osOffset, look.osBytes, &look.version);
  return look;
}

BootLook LookAtAttachedBootFlash(Machine& machine) {
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    BootLook look;
    look.reason = "the module has no flash";
    return look;
  }
  const ModuleFlashLock lock;
  const std::uint32_t size = flash->Size();
  const BootFlashReader read = [flash, size](std::uint32_t offset, void* buffer,
                                             std::uint32_t length) {
    return std::uint64_t{offset} + length <= size && flash->Read(offset, buffer, length);
  };
  return LookAtBootFlash(read, size, BootLayoutOf(machine.Config()));
}

bool LookAtBootFlash(const std::filesystem::path& directory, BootLook* look, std::string* error) {
  if (IsAttached()) {
    std::error_code code;
    if (!std::filesystem::equivalent(CurrentMachine().Directory(), directory, code)) {
      *error = "another module is attached to this process";
      return false;
    }
    *look = LookAtAttachedBootFlash(CurrentMachine());
    return true;
  }
  AttachOptions options;
  options.boot = BootMode::kLookOnly;
  if (!Attach(directory, options, error)) {
    return false;
  }
  *look = LookAtAttachedBootFlash(CurrentMachine());
  Detach();
  return true;
}

const char* BootOutcomeName(BootOutcome outcome) {
  switch (outcome) {
    case BootOutcome::kOs:
      return "os";
    case BootOutcome::kBootloader:
      return "bootloader";
    case BootOutcome::kNoSignOfLife:
      break;
  }
  return "none";
}

std::string BootOutcomeText(const BootLook& look) {
  switch (look.outcome) {
    case BootOutcome::kOs: {
      std::string text = "the OS runs";
      if (look.versionKnown) {
        text += " (image version " + std::to_string(look.version.major) + "." +
                std::to_string(look.version.minor) +
                (look.version.beta != 0 ? " beta build " + std::to_string(look.version.beta) : "") +
                ")";
      }
      return text;
    }
    case BootOutcome::kBootloader:
      return "no OS: the module is back in its bootloader (" + look.reason +
             "); write an OS image with flashwick-module recover --os FILE, then reset";
    case BootOutcome::kNoSignOfLife:
      break;
  }
  return "no sign of life: the module does not start (" + look.reason +
         "); write a bootloader with flashwick-module recover --bootloader FILE, then reset";
}

Json BootLookJson(const BootLook& look) {
  Json json = {{"outcome", BootOutcomeName(look.outcome)},
               {"reason", look.reason},
               {"text", BootOutcomeText(look)}};
  if (look.outcome != BootOutcome::kNoSignOfLife) {
    json["bootloaderOffset"] = Hex(look.bootloaderOffset, 8);
  }
  if (look.outcome == BootOutcome::kOs) {
    json["osOffset"] = Hex(look.osOffset, 8);
    json["osBytes"] = Hex(look.osBytes, 8);
    json["imageVersion"] = look.versionKnown ? Json{{"id", look.version.id},
                                                    {"major", look.version.major},
                                                    {"minor", look.version.minor},
                                                    {"beta", look.version.beta}}
                                             : Json(nullptr);
  }
  return json;
}

bool SaveBootLook(const std::filesystem::path& ramDirectory, const BootLook& look,
                  std::string* error) {
  return WriteWholeFile(ramDirectory / kBootFile, BootLookJson(look).dump(2) + "\n", error);
}

bool LoadBootLook(const std::filesystem::path& ramDirectory, BootLook* look) {
  std::string text;
  if (!ReadWholeFile(ramDirectory / kBootFile, &text)) {
    return false;
  }
  const Json json = Json::parse(text, nullptr, false);
  if (!json.is_object()) {
    return false;
  }
  BootLook loaded;
  const std::string outcome = json.value("outcome", "");
  if (outcome == "os") {
    loaded.outcome = BootOutcome::kOs;
  } else if (outcome == "bootloader") {
    loaded.outcome = BootOutcome::kBootloader;
  } else if (outcome == "none") {
    loaded.outcome = BootOutcome::kNoSignOfLife;
  } else {
    return false;
  }
  loaded.reason = json.value("reason", "");
  ConfigReader reader(json, "boot.json");
  loaded.bootloaderOffset =
      static_cast<std::uint32_t>(reader.UnsignedOr("bootloaderOffset", 0xFFFFFFFF, 0));
  loaded.osOffset = static_cast<std::uint32_t>(reader.UnsignedOr("osOffset", 0xFFFFFFFF, 0));
  loaded.osBytes = static_cast<std::uint32_t>(reader.UnsignedOr("osBytes", 0xFFFFFFFF, 0));
  if (const Json* version = reader.Find("imageVersion");
      version != nullptr && version->is_object()) {
    loaded.versionKnown = true;
    loaded.version.id = static_cast<std::uint32_t>(reader.UnsignedOr("imageVersion.id", ~0u, 0));
    loaded.version.major =
        static_cast<std::uint32_t>(reader.UnsignedOr("imageVersion.major", ~0u, 0));
    loaded.version.minor =
        static_cast<std::uint32_t>(reader.UnsignedOr("imageVersion.minor", 0xFFFF, 0));
    loaded.version.beta =
        static_cast<std::uint32_t>(reader.UnsignedOr("imageVersion.beta", 0xFFFF, 0));
  }
  if (!reader.Ok()) {
    return false;
  }
  *look = loaded;
  return true;
}

}  // namespace sim
