// flashwick-module bin: what a bin file holds and where it would go, as the program sees it.
//
// The file is validated by the library's own reader (FWLSetBinFile with verification) on the
// module given (or the default module), through "\USB HD" mapped onto the file's folder. Only
// a file that the library accepts is then laid out record by record and section by section.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "flash/flash_ops.h"
#include "flash/platform_controls.h"
#include "host/default_module.h"
#include "host/module_tool.h"
#include "library/library_internal.h"
#include "sim/base/file_stamp.h"
#include "sim/base/files.h"
#include "sim/base/hex.h"
#include "sim/base/utf.h"
#include "sim/module/machine.h"
#include "storage/fs_section.h"

namespace module_tool {
namespace {

namespace fs = std::filesystem;
using sim::Json;

struct FileCloser {
  int fd;
  ~FileCloser() { ::close(fd); }
};

constexpr std::uint32_t kEndRecordLength = 12;
constexpr std::size_t kPartitionRecordSize = 296;
constexpr std::size_t kEntryRecordSize = 560;
constexpr std::uint32_t kDirectoryAttribute = 0x10;

const char* StatusMeaning(FwlStatus status) {
  switch (status) {
    case FWL_ERR_ABORTED:
      return "stopped";
    case FWL_ERR_NOT_INITIALIZED:
      return "the library did not start on this module";
    case FWL_ERR_OPEN_FILE:
      return "the file cannot be opened";
    case FWL_ERR_BAD_FILE:
      return "not a valid bin file";
    case FWL_ERR_FILE_VERSION:
      return "unsupported section version or format";
    case FWL_ERR_NO_MEMORY:
      return "too large for the module's work buffer";
    case FWL_ERR_CHECKSUM:
      return "a record or section checksum differs";
    default:
      return "unexpected status";
  }
}

// The file's bytes, read on demand through a window: an accepted file is laid out from its
// record and section headers alone, so that a large image is not read a second time after the
// library's own pass over it. Bytes that cannot be read (the file shrank meanwhile) read as
// zeros; the caller compares the file's stamp before and after and refuses a changed file.
class Reader {
 public:
  Reader(int fd, std::size_t size) : fd_(fd), size_(size) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  [[nodiscard]] std::size_t Size() const { return size_; }
  [[nodiscard]] bool Has(std::size_t at, std::size_t length) const {
    return at <= size_ && length <= size_ - at;
  }
  [[nodiscard]] std::uint32_t Word(std::size_t at) const {
    return Has(at, 4) ? LoadWord(At(at, 4)) : 0;
  }
  // The bytes [at, at + length), which must lie in the file; valid until the next call.
  [[nodiscard]] const std::uint8_t* At(std::size_t at, std::size_t length) const {
    if (at < windowStart_ || at + length > windowStart_ + windowLength_) {
      Load(at, length);
    }
    return window_.data() + (at - windowStart_);
  }
  // A NUL-terminated UTF-16 string of at most units code units.
  [[nodiscard]] std::string Text(std::size_t at, std::size_t units) const {
    units = std::min(units, at <= size_ ? (size_ - at) / 2 : 0);
    const std::uint8_t* bytes = At(at, 2 * units);
    std::u16string text;
    for (std::size_t i = 0; i < units; ++i) {
      const auto unit = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
      if (unit == 0) {
        break;
      }
      text.push_back(unit);
    }
    return sim::ToUtf8(text);
  }

 private:
  // A page: the layout reads headers scattered through the file (one per record of an image),
  // and each look reads no more of the file than that.
  static constexpr std::size_t kWindow = 0x1000;
  void Load(std::size_t at, std::size_t length) const {
    const std::size_t take = std::max(length, std::min(kWindow, size_ - at));
    if (window_.size() < take) {
      window_.resize(take);
    }
    // What a short read leaves unread reads as zeros, as before.
    std::fill(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(take), 0);
    windowStart_ = at;
    windowLength_ = take;
    for (std::size_t done = 0; done < take;) {
      const ssize_t got =
          ::pread(fd_, window_.data() + done, take - done, static_cast<off_t>(at + done));
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        break;
      }
      done += static_cast<std::size_t>(got);
    }
  }
  int fd_;
  std::size_t size_;
  mutable std::vector<std::uint8_t> window_;
  mutable std::size_t windowStart_ = 0;
  mutable std::size_t windowLength_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Laying out an accepted file
// ---------------------------------------------------------------------------------------------
std::size_t DescribeImage(const Reader& file, Json& out) {
  if (!file.Has(0, 15) ||
      std::string(reinterpret_cast<const char*>(file.At(0, 7)), 7) != "B000FF\n") {
    return 0;
  }
  Json image;
  image["start"] = file.Word(7);
  image["length"] = file.Word(11);
  image["addressOffset"] = AddressOffset;
  image["flashStart"] = CurrentImageRange.start;
  Json records = Json::array();
  std::size_t at = 15;
  while (file.Has(at, kEndRecordLength)) {
    const std::uint32_t address = file.Word(at);
    const std::uint32_t length = file.Word(at + 4);
    const std::uint32_t checksum = file.Word(at + 8);
    at += kEndRecordLength;
    if (address == 0 && checksum == 0) {
      image["endRecordLength"] = length;
      break;
    }
    // The library summed every record of the file it accepted (and the file is the same one,
    // see ShowBinFile); a record cut short by the file's end is not valid.
    Json& record = records.emplace_back(Json::object());
    record["address"] = address;
    record["flashOffset"] = address + AddressOffset;
    record["length"] = length;
    record["checksum"] = checksum;
    record["valid"] = file.Has(at, length);
    at += length;
  }
  image["records"] = std::move(records);
  out["image"] = std::move(image);
  return at;
}

// Kind 2: the partitions with their directories and files.
Json DescribePartitions(const Reader& file, std::size_t at, std::size_t end, std::uint32_t count) {
  Json partitions = Json::array();
  for (std::uint32_t index = 0; index < count && file.Has(at, kPartitionRecordSize) && at < end;
       ++index) {
    const std::string volume = file.Text(at + 132, 64);
    Json partition = {{"name", file.Text(at + 4, 32)},
                      {"fileSystem", file.Text(at + 68, 32)},
                      {"volume", volume},
                      {"usedBytes", file.Word(at)},
                      {"sectors", file.Word(at + 264)}};
    at += kPartitionRecordSize;
    std::uint32_t directories = 0;
    std::uint32_t files = 0;
    std::uint64_t contentBytes = 0;
    // Entries follow while their paths lie inside the partition's volume.
    while (file.Has(at, kEntryRecordSize) && at < end &&
           file.Text(at + 40, 260).rfind(volume, 0) == 0 && !volume.empty()) {
      const std::uint32_t attributes = file.Word(at);
      const std::uint32_t size = file.Word(at + 32);
      at += kEntryRecordSize;
      if ((attributes & kDirectoryAttribute) != 0) {
        ++directories;
      } else {
        ++files;
        contentBytes += size;
        at += size;
      }
    }
    partition["directories"] = directories;
    partition["files"] = files;
    partition["contentBytes"] = contentBytes;
    partitions.push_back(partition);
  }
  return partitions;
}

std::size_t DescribeFileSystem(const Reader& file, std::size_t at, Json& out) {
  if (!file.Has(at, kFsSectionHeaderSize) || file.Word(at) != kFsSectionMagic) {
    return at;
  }
  const std::uint32_t headerSize = file.Word(at + 8);
  const std::uint32_t kind = file.Word(at + 12);
  const std::uint32_t dataLength = file.Word(at + 24);
  const std::uint32_t bytesPerSector = file.Word(at + 104 + 184);
  Json section = {{"kind", kind},
                  {"kindName", kind == 2   ? "files"
                               : kind == 3 ? "sectors"
                                           : "unknown"},
                  {"headerSize", headerSize},
                  {"memBase", file.Word(at + 16)},
                  {"memLen", file.Word(at + 20)},
                  {"dataLength", dataLength},
                  {"sectorSize", file.Word(at + 28)},
                  {"blockSize", file.Word(at + 32)},
                  {"formatTfat", (file.Word(at + 36) & 1) != 0},
                  {"folder", file.Text(at + 40, 32)},
                  {"store",
                   {{"name", file.Text(at + 104 + 20, 32)},
                    {"sectors", file.Word(at + 104 + 176)},
                    {"bytesPerSector", bytesPerSector},
                    {"partitions", file.Word(at + 104 + 228)}}}};
  const std::size_t payload = at + headerSize;
  const std::size_t end = payload + dataLength;
  if (kind == 3) {
    Json runs = Json::array();
    for (std::size_t chunk = payload; chunk + 12 <= end && file.Has(chunk, 12);) {
      const std::uint32_t bytes = file.Word(chunk + 4);
      runs.push_back({{"firstSector", file.Word(chunk)},
                      {"sectors", bytesPerSector != 0 ? bytes / bytesPerSector : 0},
                      {"bytes", bytes},
                      {"checksum", file.Word(chunk + 8)}});
      chunk += 12 + static_cast<std::size_t>(bytes);
    }
    section["runs"] = runs;
  } else if (kind == 2) {
    section["partitionList"] =
        DescribePartitions(file, payload + 12, end, file.Word(at + 104 + 228));
  }
  out["fileSystem"] = section;
  return end;
}

void DescribeCpld(const Reader& file, std::size_t at, Json& out) {
  if (!file.Has(at, kCpldSectionHeaderSize) || file.Word(at) != kCpldSectionMagic) {
    return;
  }
  const std::uint32_t headerSize = file.Word(at + 8);
  out["cpld"] = {{"headerSize", headerSize},
                 {"dataSize", file.Word(at + 12)},
                 {"checksum", file.Word(at + headerSize - 4)},
                 {"used", (BinContents & BIN_CONTENTS_CPLD) != 0}};
}

}  // namespace

// "OS Image", as the update and the region dialog name a region.
const char* RegionLabel(DWORD flags) {
  switch (flags & REGION_ALL_TYPES) {
    case REGION_BOOTLOADER:
      return "Bootloader";
    case REGION_CONFIG_BLOCK:
      return "Config Block";
    case REGION_OS_IMAGE:
      return "OS Image";
    case REGION_REGISTRY:
      return "Registry";
    case REGION_FILE_SYSTEM:
      return "File System";
    default:
      return "Region";
  }
}

namespace {

// The module's regions that the file's flash range touches, and the CPLD when it is used.
Json OverwrittenRegions(const ImageInfo& info) {
  Json regions = Json::array();
  const std::uint64_t end = std::uint64_t{info.start} + info.length;
  for (int i = 0; i < kRegionCount && info.start != 0xFFFFFFFF; ++i) {
    const FlashRegion& region = RegionTable[i];
    if ((region.flags & REGION_NOT_PRESENT) != 0 || region.length == 0) {
      continue;
    }
    if (region.start < end && info.start < std::uint64_t{region.start} + region.length) {
      regions.push_back({{"name", RegionLabel(region.flags)},
                         {"start", region.start},
                         {"length", region.length}});
    }
  }
  if ((info.types & REGION_CPLD_FIRMWARE) != 0) {
    regions.push_back({{"name", "CPLD Firmware"}});
  }
  return regions;
}

// ---------------------------------------------------------------------------------------------
// Why and where a refused file fails
// ---------------------------------------------------------------------------------------------
// The file walked as the reader walks it, to the first thing it refuses: the reason in words
// and where it lies (the part, the record or chunk, its file offset, the checksums, the address
// beyond the flash). The reader itself answers only with its status; this is the tool's account
// of it, and it stops at the first fault as the reader does.
class Diagnosis {
 public:
  explicit Diagnosis(const Reader& file) : file_(file) {}

  // {"detail": "...", "where": {...}}; null when the walk finds nothing (the status alone then
  // says why).
  Json Run() {
    if (file_.Size() == 0) {
      (void)Found("the file is empty", {{"part", "file"}, {"fileOffset", 0}});
      return result_;
    }
    if (!Image()) {
      return result_;
    }
    while (at_ < file_.Size() &&
           (file_.Word(at_) == kFsSectionMagic || file_.Word(at_) == kForeignFsSectionMagic) &&
           file_.Has(at_, kFsSectionHeaderSize)) {
      if (!FileSystemSection()) {
        return result_;
      }
    }
    if (at_ < file_.Size() && file_.Has(at_, kCpldSectionHeaderSize) &&
        file_.Word(at_) == kCpldSectionMagic) {
      (void)CpldSection();
      return result_;
    }
    if (at_ == 0) {
      (void)Found(
          "it starts with neither a bin header (\"B000FF\") nor a file system or CPLD "
          "section",
          {{"part", "file"}, {"fileOffset", 0}});
    }
    return result_;
  }

 private:
  static std::string Hex(std::uint64_t value) { return sim::Hex(value, 8); }

  bool Found(const std::string& detail, Json where) {
    result_ = {{"detail", detail}, {"where", std::move(where)}};
    return false;
  }

  // The reader's checksums, fed in work-buffer pieces as the reader feeds them.
  DWORD Sum(int algorithm, std::size_t at, std::size_t length) const {
    ChecksumSelect(algorithm);
    const std::size_t piece = WorkBufferSize != 0 ? WorkBufferSize : length;
    for (std::size_t done = 0; done < length;) {
      const std::size_t part = std::min(piece, length - done);
      (void)ChecksumUpdate(file_.At(at + done, part), static_cast<DWORD>(part));
      done += part;
    }
    return ChecksumFinish();
  }

  std::string PastTheFlash() const { return "the flash ends at " + Hex(FlashSize); }

  bool Image() {
    if (!file_.Has(0, kBinHeaderSize) ||
        std::string(reinterpret_cast<const char*>(file_.At(0, 7)), 7) != "B000FF\n") {
      return true;  // no image part
    }
    const std::uint32_t start = file_.Word(7);
    const std::uint32_t length = file_.Word(11);
    std::uint64_t offset = 0;
    if ((start >= 0x80000000 && start < 0x9CA00000) ||
        (start >= 0xA0000000 && start < 0xBCA00000)) {
      BYTE layout[24] = {};
      const DWORD osOffset = QueryPlatform(kPlatformItemFlashLayout, layout, sizeof(layout)) >= 4
                                 ? LoadWord(layout)
                                 : 0x80000;
      offset = static_cast<std::uint32_t>(osOffset - start);
    } else if (start >= 0xBCA00000 && start < 0xBFFFFFFF) {
      offset = static_cast<std::uint32_t>(0u - start);
    } else if (start >= 0x4C000000) {
      return Found("the image is linked at " + Hex(start) +
                       ", an address the update does not place in the flash (flash offsets lie "
                       "below 0x4C000000, the OS image's addresses at 0x80000000 or 0xA0000000)",
                   {{"part", "header"}, {"fileOffset", 7}, {"address", start}});
    }
    const std::uint64_t flashStart = static_cast<std::uint32_t>(start + offset);
    if (flashStart + length > FlashSize) {
      return Found("the image is linked at " + Hex(start) + ", which puts it at flash offset " +
                       Hex(flashStart) + " with " + Hex(length) + " bytes: past the flash (" +
                       PastTheFlash() + ")",
                   {{"part", "header"},
                    {"fileOffset", 7},
                    {"address", start},
                    {"flashOffset", flashStart},
                    {"flashBytes", FlashSize}});
    }
    at_ = kBinHeaderSize;
    for (std::size_t record = 0;; ++record) {
      if (!file_.Has(at_, kBinRecordHeaderSize)) {
        return Found("the file ends inside the header of record " + std::to_string(record) +
                         " (no end record)",
                     {{"part", "record"}, {"record", record}, {"fileOffset", at_}});
      }
      const std::uint32_t address = file_.Word(at_);
      const std::uint32_t bytes = file_.Word(at_ + 4);
      const std::uint32_t checksum = file_.Word(at_ + 8);
      Json where = {{"part", "record"},
                    {"record", record},
                    {"fileOffset", at_},
                    {"address", address},
                    {"length", bytes}};
      const std::string name = "record " + std::to_string(record) + " (file offset " + Hex(at_) +
                               ", address " + Hex(address) + ", " + std::to_string(bytes) +
                               " bytes)";
      at_ += kBinRecordHeaderSize;
      if (address == 0 && checksum == 0) {
        return true;
      }
      const std::uint64_t inImage = std::uint64_t{address} - start;
      if (address < start || inImage + bytes > length) {
        return Found(name + " lies outside the image, " + Hex(start) + " to " +
                         Hex(std::uint64_t{start} + length),
                     where);
      }
      if (flashStart + inImage + bytes > FlashSize) {
        where["flashOffset"] = flashStart + inImage;
        return Found(name + " ends at flash offset " + Hex(flashStart + inImage + bytes) +
                         ", past the flash (" + PastTheFlash() + ")",
                     where);
      }
      if (!file_.Has(at_, bytes)) {
        return Found(name + " is cut short: the file holds " + std::to_string(file_.Size() - at_) +
                         " bytes after its header",
                     where);
      }
      const DWORD found = Sum(CHECKSUM_BYTE_SUM, at_, bytes);
      if (found != checksum) {
        where["expected"] = checksum;
        where["found"] = found;
        return Found(name + ": checksum " + Hex(checksum) + " expected, " + Hex(found) + " found",
                     where);
      }
      at_ += bytes;
    }
  }

  bool FileSystemSection() {
    const std::size_t section = at_;
    Json where = {{"part", "file system section"}, {"fileOffset", section}};
    const std::string name = "the file system section at file offset " + Hex(section);
    if (file_.Word(section) == kForeignFsSectionMagic || file_.Word(section + 4) != 1) {
      where["version"] = file_.Word(section + 4);
      return Found(name + " is of a format or version the reader does not take", where);
    }
    const std::uint32_t headerSize = file_.Word(section + 8);
    if (headerSize < kFsSectionHeaderSize || !file_.Has(section, headerSize)) {
      where["headerSize"] = headerSize;
      return Found(name + " gives a header of " + std::to_string(headerSize) +
                       " bytes, which the file cannot hold or the format does not allow",
                   where);
    }
    const DWORD headerSum = Sum(CHECKSUM_FLETCHER32, section, headerSize - 4);
    const std::uint32_t expected = file_.Word(section + headerSize - 4);
    if (headerSum != expected) {
      where["expected"] = expected;
      where["found"] = headerSum;
      return Found(
          name + ": header checksum " + Hex(expected) + " expected, " + Hex(headerSum) + " found",
          where);
    }
    const std::uint32_t kind = file_.Word(section + 12);
    if (kind != FS_SECTION_FILES && kind != FS_SECTION_SECTORS) {
      where["kind"] = kind;
      return Found(
          name + " is of kind " + std::to_string(kind) + ", which the restore does not know",
          where);
    }
    std::uint64_t start = file_.Word(section + 16);
    std::uint64_t length = file_.Word(section + 20);
    const FlashRegion& fileSystem = RegionTable[FileSystemRegionIndex];
    start = start == 0xFFFFFFFF ? fileSystem.start : start;
    length = length == 0 || length == 0xFFFFFFFF ? fileSystem.length : length;
    if (start + length > FlashSize) {
      where["flashOffset"] = start;
      where["length"] = length;
      return Found(name + " covers flash offsets " + Hex(start) + " to " + Hex(start + length) +
                       ", past the flash (" + PastTheFlash() + ")",
                   where);
    }
    const std::uint32_t dataLength = file_.Word(section + 24);
    at_ = section + headerSize;
    if (!file_.Has(at_, dataLength)) {
      where["dataLength"] = dataLength;
      return Found(name + " announces " + std::to_string(dataLength) + " bytes of data; the file " +
                       "holds " + std::to_string(file_.Size() - at_),
                   where);
    }
    std::size_t remaining = dataLength;
    for (std::size_t chunk = 0; remaining > 0; ++chunk) {
      where = {{"part", "file system chunk"},
               {"section", section},
               {"chunk", chunk},
               {"fileOffset", at_}};
      const std::string chunkName =
          "chunk " + std::to_string(chunk) + " (file offset " + Hex(at_) + ") of " + name;
      if (remaining < 12) {
        return Found(chunkName + " is cut short: its header needs 12 bytes, the section has " +
                         std::to_string(remaining) + " left",
                     where);
      }
      const std::uint32_t bytes = file_.Word(at_ + 4);
      const std::uint32_t checksum = file_.Word(at_ + 8);
      remaining -= 12;
      if (bytes > remaining) {
        where["length"] = bytes;
        return Found(chunkName + " announces " + std::to_string(bytes) +
                         " bytes; the section has " + std::to_string(remaining) + " left",
                     where);
      }
      const DWORD found = Sum(CHECKSUM_FLETCHER32, at_ + 12, bytes);
      if (found != checksum) {
        where["expected"] = checksum;
        where["found"] = found;
        return Found(
            chunkName + ": checksum " + Hex(checksum) + " expected, " + Hex(found) + " found",
            where);
      }
      remaining -= bytes;
      at_ += 12 + bytes;
    }
    return true;
  }

  bool CpldSection() {
    const std::size_t section = at_;
    Json where = {{"part", "CPLD section"}, {"fileOffset", section}};
    const std::string name = "the CPLD section at file offset " + Hex(section);
    if (file_.Word(section + 4) != 1) {
      where["version"] = file_.Word(section + 4);
      return Found(name + " is of version " + std::to_string(file_.Word(section + 4)) +
                       ", which the reader does not take",
                   where);
    }
    const std::uint32_t headerSize = file_.Word(section + 8);
    const std::uint32_t dataSize = file_.Word(section + 12);
    if (headerSize < kCpldSectionHeaderSize || !file_.Has(section, headerSize)) {
      where["headerSize"] = headerSize;
      return Found(name + " gives a header of " + std::to_string(headerSize) +
                       " bytes, which the file cannot hold or the format does not allow",
                   where);
    }
    const std::size_t data = section + headerSize;
    if (!file_.Has(data, dataSize)) {
      where["dataSize"] = dataSize;
      return Found(name + " announces " + std::to_string(dataSize) + " bytes of XSVF; the file " +
                       "holds " + std::to_string(file_.Size() - data),
                   where);
    }
    const std::uint32_t expected = file_.Word(data - 4);
    const DWORD found = Sum(CHECKSUM_FLETCHER32, data, dataSize);
    if (found != expected) {
      where["expected"] = expected;
      where["found"] = found;
      return Found(name + ": checksum " + Hex(expected) + " expected, " + Hex(found) + " found",
                   where);
    }
    return true;
  }

  const Reader& file_;
  std::size_t at_ = 0;
  Json result_ = Json::object();
};

// ---------------------------------------------------------------------------------------------
// Text output
// ---------------------------------------------------------------------------------------------
std::string Number(const Json& value) { return sim::Hex(value.get<std::uint32_t>(), 8); }

void PrintText(const Json& report) {
  std::printf("file              %s (%s bytes)\n", report["file"].get<std::string>().c_str(),
              report["size"].dump().c_str());
  std::printf("holds             %s\n", report["holds"].get<std::string>().c_str());
  std::printf("flash range       %s, %s bytes\n", Number(report["flashStart"]).c_str(),
              Number(report["flashLength"]).c_str());
  std::printf("data bytes        %s\n", report["dataBytes"].dump().c_str());
  if (report.contains("image")) {
    const Json& image = report["image"];
    std::printf("image start       %s\n", Number(image["start"]).c_str());
    std::printf("image length      %s\n", Number(image["length"]).c_str());
    std::printf("address offset    %s (image at flash offset %s)\n",
                Number(image["addressOffset"]).c_str(), Number(image["flashStart"]).c_str());
    std::printf("records           %zu\n", image["records"].size());
    std::printf("  %-10s  %-10s  %-10s  %-10s  %s\n", "address", "flash", "length", "checksum",
                "valid");
    for (const Json& record : image["records"]) {
      std::printf("  %s  %s  %s  %s  %s\n", Number(record["address"]).c_str(),
                  Number(record["flashOffset"]).c_str(), Number(record["length"]).c_str(),
                  Number(record["checksum"]).c_str(), record["valid"].get<bool>() ? "yes" : "NO");
    }
  }
  if (report.contains("fileSystem")) {
    const Json& section = report["fileSystem"];
    std::printf("file system       kind %s (%s), header %s bytes, data %s bytes\n",
                section["kind"].dump().c_str(), section["kindName"].get<std::string>().c_str(),
                section["headerSize"].dump().c_str(), section["dataLength"].dump().c_str());
    std::printf("  flash           base %s, length %s\n", Number(section["memBase"]).c_str(),
                Number(section["memLen"]).c_str());
    std::printf("  geometry        sector %s, block %s, folder \"%s\"%s\n",
                Number(section["sectorSize"]).c_str(), Number(section["blockSize"]).c_str(),
                section["folder"].get<std::string>().c_str(),
                section["formatTfat"].get<bool>() ? ", TFAT" : "");
    const Json& store = section["store"];
    std::printf("  store           \"%s\", %s sectors of %s bytes, %s partitions\n",
                store["name"].get<std::string>().c_str(), store["sectors"].dump().c_str(),
                store["bytesPerSector"].dump().c_str(), store["partitions"].dump().c_str());
    if (section.contains("runs")) {
      for (const Json& run : section["runs"]) {
        std::printf("  run             sector %s, %s sectors (%s bytes)\n",
                    run["firstSector"].dump().c_str(), run["sectors"].dump().c_str(),
                    run["bytes"].dump().c_str());
      }
    }
    if (section.contains("partitionList")) {
      for (const Json& partition : section["partitionList"]) {
        std::printf("  partition       \"%s\" (%s) at \"%s\": %s directories, %s files, %s bytes\n",
                    partition["name"].get<std::string>().c_str(),
                    partition["fileSystem"].get<std::string>().c_str(),
                    partition["volume"].get<std::string>().c_str(),
                    partition["directories"].dump().c_str(), partition["files"].dump().c_str(),
                    partition["contentBytes"].dump().c_str());
      }
    }
  }
  if (report.contains("cpld")) {
    const Json& cpld = report["cpld"];
    std::printf("cpld              %s bytes of XSVF, checksum %s%s\n",
                cpld["dataSize"].dump().c_str(), Number(cpld["checksum"]).c_str(),
                cpld["used"].get<bool>() ? "" : " (not used: this module has no CPLD)");
  }
  std::printf("overwrites        ");
  if (report["overwrites"].empty()) {
    std::printf("nothing");
  }
  bool first = true;
  for (const Json& region : report["overwrites"]) {
    std::printf("%s%s", first ? "" : ", ", region["name"].get<std::string>().c_str());
    first = false;
  }
  std::printf("\n");
}

std::string Holds(DWORD types) {
  std::string text;
  const std::pair<DWORD, const char*> kinds[] = {{REGION_OS_IMAGE, "image"},
                                                 {REGION_FILE_SYSTEM, "file system"},
                                                 {REGION_CPLD_FIRMWARE, "CPLD firmware"}};
  for (const auto& [bit, name] : kinds) {
    if ((types & bit) != 0) {
      text += (text.empty() ? "" : ", ") + std::string(name);
    }
  }
  return text.empty() ? "nothing for this module" : text;
}

// ---------------------------------------------------------------------------------------------
// The command
// ---------------------------------------------------------------------------------------------
bool AttachFor(const Arguments& arguments, const fs::path& folder) {
  std::string error;
  fs::path module = arguments.Get("module");
  if (module.empty() && !default_module::EnsureDefaultModule("flashwick-module", &module, &error)) {
    Fail(error);
    return false;
  }
  sim::AttachOptions options;
  options.usbFolder = folder;
  if (!sim::Attach(module, options, &error)) {
    Fail(error);
    return false;
  }
  return true;
}

// A refused file: one line on standard error, or the object on standard output with --json.
int Refuse(const Arguments& arguments, Json report, const std::string& status,
           const std::string& reason) {
  if (arguments.Has("json")) {
    report["accepted"] = false;
    report["status"] = status;
    report["reason"] = reason;
    PrintJson(report);
  } else {
    // The library accepted a file that the update then refuses: its status says nothing.
    std::string why = status == "FWL_OK" ? reason : status + " (" + reason + ")";
    if (report.contains("detail")) {
      why += ": " + report["detail"].get<std::string>();
    }
    std::fprintf(stderr, "flashwick-module: %s: refused: %s\n",
                 report["file"].get<std::string>().c_str(), why.c_str());
  }
  return 1;
}

int ShowBinFile(const Arguments& arguments) {
  if (arguments.positional.size() != 1 ||
      (arguments.Has("module") && arguments.Get("module").empty())) {
    return Fail("usage: bin FILE [--module DIR] [--json]");
  }
  std::error_code code;
  const fs::path file = fs::absolute(arguments.positional[0], code);
  if (code || !fs::is_regular_file(file, code)) {
    return Fail(arguments.positional[0] + ": no such file");
  }
  // Read where it is, not copied: the library reads the file once to check it, the layout
  // below reads only its headers.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat fileStatus {};
  if (fd < 0 || ::fstat(fd, &fileStatus) != 0) {
    if (fd >= 0) {
      ::close(fd);
    }
    return Fail(file.string() + ": cannot read");
  }
  const FileCloser closer{fd};
  const sim::FileStamp before = sim::StampOf(file);
  const Reader reader(fd, static_cast<std::size_t>(fileStatus.st_size));
  if (!AttachFor(arguments, file.parent_path())) {
    return 2;
  }
  const FwlStatus init = FWLInit();
  if (init != FWL_OK) {
    sim::Detach();
    return Fail("the library did not start on this module: " +
                std::string(FwlStatusName(init) != nullptr ? FwlStatusName(init) : "?"));
  }
  const std::u16string path = u"\\USB HD\\" + sim::FromUtf8(file.filename().string());
  ImageInfo info{};
  const FwlStatus status = FWLSetBinFile(path.c_str(), &info, nullptr, 1);
  if (status != FWL_OK) {
    (void)FWLCloseBinFile();
    FreeWorkBuffer();
    // Where the reader stopped, while the module's flash and platform items can be asked.
    Json report = {{"file", file.string()}, {"size", reader.Size()}};
    if (status == FWL_ERR_BAD_FILE || status == FWL_ERR_CHECKSUM ||
        status == FWL_ERR_FILE_VERSION) {
      report.update(Diagnosis(reader).Run());
    }
    sim::Detach();
    if (sim::StampOf(file) != before) {
      return Fail(file.string() + ": changed while it was read; check it again");
    }
    const char* name = FwlStatusName(status);
    return Refuse(arguments, report, name != nullptr ? name : std::to_string(status),
                  StatusMeaning(status));
  }
  Json report = {
      {"file", file.string()},    {"size", reader.Size()},      {"accepted", true},
      {"status", "FWL_OK"},       {"types", info.types},        {"holds", Holds(info.types)},
      {"flashStart", info.start}, {"flashLength", info.length}, {"dataBytes", info.dataBytes}};
  std::size_t at = DescribeImage(reader, report);
  at = DescribeFileSystem(reader, at, report);
  DescribeCpld(reader, at, report);
  report["overwrites"] = OverwrittenRegions(info);
  // The update's own checks after validation: a file with nothing for this hardware is refused
  // with a message, and so is one whose range covers a region the module does not list.
  std::string refusal;
  if (info.types == 0) {
    refusal = "it holds no update data for this module's hardware";
    report.update(Diagnosis(reader).Run());
  } else {
    // The regions as the library's start scanned them a moment ago, in this attach.
    DWORD overlap = REGION_ALL_TYPES;
    if (FWLGetRegionsInRange(&overlap, info.start, info.length) == FWL_ERR_RANGE) {
      refusal = "its flash range covers a region of an unknown kind";
    }
  }
  (void)FWLCloseBinFile();
  FreeWorkBuffer();
  sim::Detach();
  if (sim::StampOf(file) != before) {
    // What was checked and what was laid out may be two different files.
    return Fail(file.string() + ": changed while it was read; check it again");
  }
  if (!refusal.empty()) {
    if (!arguments.Has("json")) {
      PrintText(report);
    }
    return Refuse(arguments, report, "FWL_OK", refusal);
  }
  if (arguments.Has("json")) {
    PrintJson(report);
  } else {
    PrintText(report);
  }
  return 0;
}

}  // namespace

Json DiagnoseRefusedBinFile(const std::filesystem::path& file, FwlStatus status) {
  if (status != FWL_ERR_BAD_FILE && status != FWL_ERR_CHECKSUM && status != FWL_ERR_FILE_VERSION) {
    return Json::object();
  }
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat fileStatus {};
  if (fd < 0 || ::fstat(fd, &fileStatus) != 0) {
    if (fd >= 0) {
      ::close(fd);
    }
    return Json::object();
  }
  const FileCloser closer{fd};
  return Diagnosis(Reader(fd, static_cast<std::size_t>(fileStatus.st_size))).Run();
}

const char* BinStatusMeaning(FwlStatus status) { return StatusMeaning(status); }

int RefuseBinFile(const Arguments& arguments, Json report, const std::string& status,
                  const std::string& reason) {
  return Refuse(arguments, std::move(report), status, reason);
}

namespace {

void BinHelp(std::FILE* out) {
  std::fprintf(out,
               "The file is checked by the program's own reader on the module (the default\n"
               "module unless --module is given), as the update would check it. Exit status:\n"
               "0 the update would take the file, 1 it would refuse it (the reason is printed;\n"
               "with --json the object says \"accepted\": false), 2 the check could not run.\n");
}

const ModuleCommandRegistrar kBin({"bin",
                                   "bin FILE [--module DIR] [--json]",
                                   "validate a bin file and show what it holds and overwrites",
                                   {"module"},
                                   ShowBinFile,
                                   BinHelp});

}  // namespace
}  // namespace module_tool
