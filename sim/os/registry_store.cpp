#include "sim/os/registry_store.h"

#include <vector>

#include "sim/base/bytes.h"
#include "sim/base/crc32.h"
#include "sim/base/hex.h"
#include "sim/os/os_flash.h"

namespace sim {
namespace {

constexpr std::uint32_t kMarker = 0x01234567;
constexpr std::uint32_t kHeaderBytes = 8;
// Text length word and CRC: the least a copy's L can be.
constexpr std::uint32_t kFramingBytes = 8;

// The whole copy in the half at offset, or false.
bool ReadHalf(OsFlash& flash, std::uint32_t offset, std::uint32_t half, std::string* text) {
  std::uint8_t header[kHeaderBytes];
  if (!flash.Read(offset, header, sizeof(header)) || Get32(header) != kMarker) {
    return false;
  }
  const std::uint32_t length = Get32(header + 4);
  if (length < kFramingBytes || length > half - kHeaderBytes || length % 4 != 0) {
    return false;
  }
  std::vector<std::uint8_t> body(length);
  if (!flash.Read(offset + kHeaderBytes, body.data(), length)) {
    return false;
  }
  const std::uint32_t textBytes = Get32(body.data());
  if (textBytes > length - kFramingBytes ||
      Crc32(std::span<const std::uint8_t>(body.data(), length - 4)) !=
          Get32(body.data() + length - 4)) {
    return false;
  }
  text->assign(reinterpret_cast<const char*>(body.data() + 4), textBytes);
  return true;
}

bool EraseHalf(OsFlash& flash, std::uint32_t offset, std::uint32_t half, std::string* error) {
  std::uint32_t at = offset;
  while (at < offset + half) {
    const std::uint32_t block = flash.BlockSize(at);
    if (block == 0 || at % block != 0 || at + block > offset + half) {
      *error = "the flash registry half at " + Hex(offset, 8) + " is not made of whole blocks";
      return false;
    }
    if (!flash.EraseBlock(at)) {
      *error = "erasing the flash registry block at " + Hex(at, 8) + " failed";
      return false;
    }
    at += block;
  }
  return true;
}

OsFlash* AreaFlash(const RegistryArea& area, std::string* error) {
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    *error = "the module has no flash";
    return nullptr;
  }
  if (area.half == 0 || std::uint64_t{area.start} + 2ull * area.half > flash->Size()) {
    *error = "the flash registry region " + Hex(area.start, 8) + " is not inside the flash";
    return nullptr;
  }
  return flash;
}

}  // namespace

RegistryArea RegistryAreaOf(const Json& config) {
  RegistryArea area;
  ConfigReader reader(config, "module.json");
  bool present = false;
  const std::vector<std::uint8_t> item = reader.HexBytes("platformItems.5", &present);
  if (item.size() >= 12) {
    area.start = Get32(&item[4]);
    area.half = Get32(&item[8]);
  }
  return area;
}

std::string StoredRegistryBytes(const std::string& text) {
  const std::uint32_t padded = static_cast<std::uint32_t>((text.size() + 3) / 4 * 4);
  const std::uint32_t length = padded + kFramingBytes;
  std::vector<std::uint8_t> bytes(kHeaderBytes + length, 0);
  Put32(&bytes[0], kMarker);
  Put32(&bytes[4], length);
  Put32(&bytes[8], static_cast<std::uint32_t>(text.size()));
  std::copy(text.begin(), text.end(), bytes.begin() + 12);
  Put32(&bytes[kHeaderBytes + length - 4],
        Crc32(std::span<const std::uint8_t>(&bytes[kHeaderBytes], length - 4)));
  return std::string(bytes.begin(), bytes.end());
}

bool ReadStoredRegistry(std::string* text, std::string* where) {
  const RegistryArea area = RegistryAreaOf(CurrentMachine().Config());
  OsFlash* flash = AreaFlash(area, where);
  if (flash == nullptr) {
    return false;
  }
  const ModuleFlashLock lock;
  if (ReadHalf(*flash, area.start, area.half, text)) {
    *where = "first half";
    return true;
  }
  if (ReadHalf(*flash, area.start + area.half, area.half, text)) {
    *where = "second half";
    return true;
  }
  *where = "the flash registry region holds no whole registry";
  return false;
}

bool WriteStoredRegistry(const std::string& text, std::string* error) {
  const RegistryArea area = RegistryAreaOf(CurrentMachine().Config());
  OsFlash* flash = AreaFlash(area, error);
  if (flash == nullptr) {
    return false;
  }
  const std::string bytes = StoredRegistryBytes(text);
  if (bytes.size() > area.half) {
    *error = "the registry (" + std::to_string(bytes.size()) +
             " bytes) does not fit a half of the flash registry region (" +
             std::to_string(area.half) + " bytes)";
    return false;
  }
  const ModuleFlashLock lock;
  // The second half first: while the first is rewritten, the second holds the new copy whole.
  for (const std::uint32_t offset : {area.start + area.half, area.start}) {
    if (!EraseHalf(*flash, offset, area.half, error)) {
      return false;
    }
    if (!flash->Program(offset, bytes.data(), static_cast<std::uint32_t>(bytes.size()))) {
      *error = "programming the flash registry at " + Hex(offset, 8) + " failed";
      return false;
    }
  }
  return true;
}

bool EraseStoredRegistry(std::string* error) {
  const RegistryArea area = RegistryAreaOf(CurrentMachine().Config());
  OsFlash* flash = AreaFlash(area, error);
  if (flash == nullptr) {
    return false;
  }
  const ModuleFlashLock lock;
  return EraseHalf(*flash, area.start, area.half, error) &&
         EraseHalf(*flash, area.start + area.half, area.half, error);
}

}  // namespace sim
