// flashwick-module plan: a dry run of an update of a bin file on this module.
//
// The file is checked by the library's own reader, as bin checks it, and the update's sequence is
// then followed step by step without touching the flash: the erase of every block the image range
// touches (NOR blocks that are already blank cost only the blank check; NAND blocks through the
// bad block table), the records in the order the update writes them (on NAND through the page
// writer, which programs every page once and in order, and the boot area gathered and written
// last with its read-back), the file system sections (driver unload, wait for the unload delay,
// reload, format, restore) and the CPLD stream. Each step is priced with the timings the module's
// chip models use and the program's own waits; nothing is run on a copy. The flash is only read
// (through the OS's view of it, under "OnModuleFlash"), to tell which pages change.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/bin_format.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "flash/platform_controls.h"
#include "host/module_tool.h"
#include "library/library_internal.h"
#include "platform/registry.h"
#include "sim/base/bytes.h"
#include "sim/base/files.h"
#include "sim/base/hex.h"
#include "sim/base/utf.h"
#include "sim/hw/clock.h"
#include "sim/hw/gpio.h"
#include "sim/hw/nand_flash.h"
#include "sim/module/machine.h"
#include "sim/module/preset_content.h"
#include "sim/os/os_flash.h"
#include "storage/fs_section.h"

namespace module_tool {
namespace {

namespace fs = std::filesystem;
using sim::Json;

// ---------------------------------------------------------------------------------------------
// What the program does, as its update code does it
// ---------------------------------------------------------------------------------------------
constexpr std::uint32_t kBootAreaSize = 0x40000;                    // NAND offsets gathered in RAM
constexpr std::uint32_t kBootAreaWritten = 0x3F800;                 // its last 2 KiB stay unwritten
constexpr std::uint32_t kNorWindowBytes = 64;                       // one buffered program
constexpr std::uint64_t kNorErasePollNs = 100 * sim::kMillisecond;  // the driver's erase poll
// The file system driver's reload: the storage manager's unload delay (the registry's
// PNPUnloadDelay, 5000 ms unless set), the margin the program adds and the settle time it
// gives the new driver instance.
constexpr std::uint32_t kDefaultUnloadDelayMs = 5000;
constexpr std::uint64_t kUnloadMarginNs = 100 * sim::kMillisecond;
constexpr std::uint64_t kSettleNs = 500 * sim::kMillisecond;
// The progress window shows a finished phase ("...done.") this long.
constexpr std::uint64_t kDoneLingerNs = 150 * sim::kMillisecond;

// Bus costs of the models: a NOR bus access, a NAND controller register access and a GPIO
// register access.
constexpr std::uint64_t kNorAccessNs = 100;
constexpr std::uint64_t kNandAccessNs = 10;
constexpr std::uint64_t kGpioAccessNs = sim::kGpioAccessNanoseconds;

double Seconds(std::uint64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1e9; }

// One record as the update writes it.
struct Record {
  std::uint32_t offset;      // flash offset of its first byte
  std::uint32_t length;      // bytes
  std::size_t filePosition;  // of its data
};

// The image part's refusal by the update itself (after the reader took the file): the reason.
struct Refusal {
  std::string reason;
  Json where;
};

// The chips' timings the models use.
struct Timings {
  // NOR
  std::uint64_t norEraseNs = 0;
  std::uint64_t norBufferNs = 0;
  std::uint32_t norOsWindowBytes = 64;  // the OS driver's buffered program: both chips' buffers
  bool norPersistentLocks = false;
  std::vector<std::uint32_t> norLockedBlocks;  // block offsets whose lock bit is set
  // NAND
  std::uint64_t nandProgramNs = 0;  // one page: FIFO, transfer, array
  std::uint64_t nandReadNs = 0;     // one page: array, transfer, FIFO
  std::uint64_t nandEraseNs = 0;    // one block
  std::uint32_t nandBlocksPerSelect = 0;
};

Timings ReadTimings() {
  Timings timings;
  sim::Machine& machine = sim::CurrentMachine();
  if (FlashKind == kFlashKindNor) {
    Json info = Json::object();
    if (sim::Component* nor = sim::Machine::FindComponent("nor"); nor != nullptr) {
      nor->Describe(machine, info);
    }
    const Json flash = info.value("flash", Json::object());
    timings.norEraseNs = flash.value("blockEraseMilliseconds", 0ull) * sim::kMillisecond;
    timings.norBufferNs = flash.value("bufferProgramMicroseconds", 0ull) * sim::kMicrosecond;
    timings.norOsWindowBytes = 2 * std::max(flash.value("bufferBytes", 32u), 2u);
    timings.norPersistentLocks = flash.value("lockBits", std::string()).rfind("volatile", 0) != 0 &&
                                 flash.contains("lockBits");
    for (const Json& block : flash.value("lockedBlocks", Json::array())) {
      unsigned long long offset = 0;
      if (block.is_string() && ParseNumber(block.get<std::string>(), &offset)) {
        timings.norLockedBlocks.push_back(static_cast<std::uint32_t>(offset));
      }
    }
  } else if (FlashKind == kFlashKindNand && sim::NandFlash::Current() != nullptr) {
    const sim::NandFlash& nand = *sim::NandFlash::Current();
    const sim::NandChip& chip = nand.Chip();
    const std::uint64_t mhz = sim::NandControllerClockMhz(machine.Identity());
    const std::uint32_t ndtr0 = nand.Ndtr0();
    const std::uint64_t readCyclePs = ((ndtr0 & 7) + 1 + ((ndtr0 >> 3) & 7) + 1) * 1000000 / mhz;
    const std::uint64_t writeCyclePs =
        (((ndtr0 >> 8) & 7) + 1 + ((ndtr0 >> 11) & 7) + 1) * 1000000 / mhz;
    const std::uint64_t pageBytes = sim::kNandPageBytes + sim::kNandSpareBytes;
    const std::uint64_t fifoWords = (sim::kNandPageBytes + sim::kNandEccVisibleSpare) / 4;
    // Command issue: command, address and a few register accesses around each command.
    const std::uint64_t commandNs = 8 * writeCyclePs / 1000 + 12 * kNandAccessNs;
    const std::uint64_t tR =
        std::max<std::uint64_t>(chip.readBusy, ((nand.Ndtr1() >> 16) + 1) * 1000 / mhz);
    timings.nandProgramNs =
        commandNs + fifoWords * kNandAccessNs + pageBytes * writeCyclePs / 1000 + chip.programBusy;
    timings.nandReadNs =
        commandNs + tR + pageBytes * readCyclePs / 1000 + fifoWords * kNandAccessNs;
    timings.nandEraseNs = commandNs + chip.eraseBusy;
    timings.nandBlocksPerSelect = chip.blocks / std::max<std::uint32_t>(chip.chipSelects, 1);
  }
  return timings;
}

// ---------------------------------------------------------------------------------------------
// The plan
// ---------------------------------------------------------------------------------------------
class Planner {
 public:
  Planner(const std::vector<std::uint8_t>& file, const ImageInfo& info)
      : file_(file), info_(info), timings_(ReadTimings()) {}

  // Fills the report; false with the refusal when the update would refuse the file.
  bool Run(Json& report, Refusal* refusal) {
    std::size_t afterImage = 0;
    if ((BinContents & BIN_CONTENTS_IMAGE) != 0) {
      if (!Image(report, refusal, &afterImage)) {
        return false;
      }
    }
    const bool fileSystem = (BinContents & BIN_CONTENTS_FILE_SYSTEM) != 0;
    if (fileSystem || (covered_ & REGION_FILE_SYSTEM) != 0) {
      FileSystem(report, afterImage, fileSystem);
    }
    if ((BinContents & BIN_CONTENTS_CPLD) != 0) {
      Cpld(report);
    }
    RegionsOf(records_, report);
    report["steps"] = steps_;
    report["moduleSeconds"] = Seconds(total_);
    return true;
  }

 private:
  void Step(const std::string& what, std::uint64_t nanoseconds, Json detail = Json::object()) {
    detail["step"] = what;
    detail["seconds"] = Seconds(nanoseconds);
    steps_.push_back(detail);
    total_ += nanoseconds;
  }

  std::uint32_t Word(std::size_t at) const {
    return at + 4 <= file_.size() ? LoadWord(file_.data() + at) : 0;
  }

  // The flash as the OS reads it now (erased bytes where it cannot be read).
  std::vector<std::uint8_t> FlashNow(std::uint32_t offset, std::uint32_t length) const {
    std::vector<std::uint8_t> bytes(length, 0xFF);
    sim::OsFlash* flash = sim::CurrentOsFlash();
    if (flash != nullptr && length != 0) {
      const sim::ModuleFlashLock lock;
      (void)flash->Read(offset, bytes.data(), length);
    }
    return bytes;
  }

  // --- the image part ---
  bool InErasedFlash(std::uint64_t start, std::uint64_t end) const {
    if (start == end) {
      return true;
    }
    if (FlashKind == kFlashKindNand && start < kBootAreaSize) {
      if (start < bootStart_ || std::min<std::uint64_t>(end, kBootAreaSize) > bootEnd_) {
        return false;
      }
      start = kBootAreaSize;
      if (end <= start) {
        return true;
      }
    }
    return start >= eraseStart_ && end <= eraseEnd_;
  }

  bool Image(Json& report, Refusal* refusal, std::size_t* afterImage) {
    const std::uint32_t start = CurrentImageRange.start;
    const std::uint32_t length = CurrentImageRange.length;
    covered_ = REGION_ALL_TYPES;
    (void)FWLGetRegionsInRange(&covered_, start, length);
    // The blocks the erase takes: every one the image range touches.
    if (length != 0) {
      const std::uint64_t last = std::uint64_t{start} + length - 1;
      const DWORD firstBlock = std::max<DWORD>(FlashOps.BlockSize(start), 1);
      const DWORD lastBlock = std::max<DWORD>(FlashOps.BlockSize(static_cast<DWORD>(last)), 1);
      eraseStart_ = start - start % firstBlock;
      eraseEnd_ = last - last % lastBlock + lastBlock;
    } else {
      eraseStart_ = eraseEnd_ = start;
    }
    if (FlashKind == kFlashKindNand) {
      // Logical pages 0 to 62 of the boot area lie in block 0, 63 to 126 in block 1.
      constexpr std::uint64_t kSecond = kBootAreaSize / 2;
      const bool first = eraseStart_ < kSecond && eraseEnd_ > 0;
      const bool second = eraseStart_ < kBootAreaSize && eraseEnd_ > kSecond;
      bootStart_ = first ? 0 : (second ? kSecond - 0x800 : kBootAreaSize);
      bootEnd_ = second ? kBootAreaSize : (first ? kSecond - 0x800 : bootStart_);
    }
    // The record headers, walked as the update walks them before it erases.
    std::vector<Record> records;
    std::size_t at = kBinHeaderSize;
    for (std::size_t index = 0;; ++index) {
      const std::uint32_t address = Word(at);
      const std::uint32_t bytes = Word(at + 4);
      const std::uint32_t checksum = Word(at + 8);
      at += kBinRecordHeaderSize;
      if (address == 0 && checksum == 0) {
        break;
      }
      const std::uint64_t offset =
          std::uint64_t{static_cast<std::uint32_t>(address + AddressOffset)};
      const Json where = {
          {"part", "record"},   {"record", index},       {"fileOffset", at - kBinRecordHeaderSize},
          {"address", address}, {"flashOffset", offset}, {"length", bytes}};
      if (offset + bytes > 0xFFFFFFFF || !InErasedFlash(offset, offset + bytes)) {
        *refusal = {"record " + std::to_string(index) + " (flash offset " + sim::Hex(offset, 8) +
                        ", " + std::to_string(bytes) +
                        " bytes) lies outside the blocks the update erases",
                    where};
        return false;
      }
      if (FlashKind == kFlashKindNand && bytes > 0 && offset < kBootAreaSize &&
          offset + bytes > kBootAreaWritten) {
        *refusal = {"record " + std::to_string(index) +
                        " reaches into the boot area's last 2 KiB, which have no page on NAND",
                    where};
        return false;
      }
      records.push_back({static_cast<std::uint32_t>(offset), bytes, at});
      at += bytes;
    }
    *afterImage = at;
    imageEnd_ = at;
    if (FlashKind == kFlashKindNand && !OrderNandRecords(records, refusal)) {
      return false;
    }
    Json image = {{"flashStart", start},
                  {"flashLength", length},
                  {"eraseStart", eraseStart_},
                  {"eraseEnd", eraseEnd_},
                  {"records", records.size()}};
    records_ = records;
    const bool configTouched = (covered_ & REGION_CONFIG_BLOCK) != 0;
    image["keepsBoardData"] = configTouched;
    // The driver is unloaded before the flash is touched.
    if ((BinContents & BIN_CONTENTS_FILE_SYSTEM) != 0 || (covered_ & REGION_FILE_SYSTEM) != 0) {
      Step("unload the file system driver", 0);
      unloadedAt_ = total_;
    }
    // The board data of the config block, asked for before the erase.
    std::vector<std::pair<DWORD, DWORD>> kept;
    if (configTouched) {
      for (const auto& [subCode, size] : kKeptItems) {
        std::uint8_t item[8];
        if (QueryPlatform(subCode, item, size) != 0) {
          kept.emplace_back(subCode, size);
        }
      }
    }
    Erase(image);
    if (FlashKind == kFlashKindNand) {
      NandPrograms(records, image);
    } else {
      NorPrograms(records, image);
    }
    if (!kept.empty()) {
      KeepBoardData(kept, records, image);
    }
    report["image"] = image;
    return true;
  }

  // The items the update keeps across a rewrite of the config block: the image's HAL stores each
  // by reading the block, erasing it and programming it back, when the block the update wrote
  // carries the config block's marker.
  static constexpr std::pair<DWORD, DWORD> kKeptItems[] = {
      {kPlatformItemBoardData, 8}, {kPlatformItemHardwareVersion, 8}, {kPlatformItemBoardExtra, 4}};

  void KeepBoardData(const std::vector<std::pair<DWORD, DWORD>>& kept,
                     const std::vector<Record>& records, Json& image) {
    sim::OsFlash* flash = sim::CurrentOsFlash();
    // Where the image's HAL keeps the config block (module.json's layout, 0x40000 unless set).
    const Json layout = sim::CurrentMachine().Config().value("layout", Json::object());
    const std::uint32_t base = layout.value("configOffset", 0x40000u);
    if (flash == nullptr || base == 0xFFFFFFFF) {
      return;
    }
    const std::uint32_t blockSize = flash->BlockSize(base);
    // The marker after the update: the record bytes there, or erased flash.
    std::uint8_t marker[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    for (const Record& record : records) {
      for (std::uint32_t i = 0; i < 4; ++i) {
        const std::uint64_t at = std::uint64_t{base} + i;
        if (at >= record.offset && at < std::uint64_t{record.offset} + record.length) {
          marker[i] = file_[record.filePosition + (at - record.offset)];
        }
      }
    }
    const bool rewritten = LoadWord(marker) == sim::kConfigBlockMarker;
    const sim::Json& items = sim::CurrentMachine().Config().value("platformItems", Json::object());
    std::uint64_t nanoseconds = 0;
    std::uint64_t rewrites = 0;
    for (const auto& [subCode, size] : kept) {
      if (!sim::IsConfigBlockItem(subCode) || items.contains(std::to_string(subCode))) {
        continue;  // kept in the module's own settings, not in the flash
      }
      nanoseconds += std::uint64_t{blockSize} / 4 * kNorAccessNs * (FlashKind == kFlashKindNor);
      if (FlashKind == kFlashKindNand) {
        nanoseconds += blockSize / sim::kNandPageBytes * timings_.nandReadNs;
      }
      if (rewritten) {
        nanoseconds += BlockEraseNs() + StoreWriteNs(blockSize);
        ++rewrites;
      }
    }
    image["configBlockRewrites"] = rewrites;
    Step("keep the config block's board data", nanoseconds, {{"rewrites", rewrites}});
  }

  // NAND pages are programmed once and in order: records out of order are written in address
  // order, and two records for the same page are refused.
  bool OrderNandRecords(std::vector<Record>& records, Refusal* refusal) const {
    const std::uint32_t pageSize = FlashOps.PageSize();
    if (pageSize == 0) {
      return true;
    }
    auto paged = [](const Record& record) {
      const std::uint64_t end = std::uint64_t{record.offset} + record.length;
      std::uint64_t begin = record.offset;
      if (begin < kBootAreaSize) {
        begin = std::min<std::uint64_t>(end, kBootAreaSize);
      }
      return std::pair<std::uint64_t, std::uint64_t>{begin, end};
    };
    bool ascending = true;
    std::uint64_t lastPage = 0;
    for (const Record& record : records) {
      const auto [begin, end] = paged(record);
      if (begin < end && ascending) {
        ascending = begin / pageSize >= lastPage;
        lastPage = (end - 1) / pageSize;
      }
    }
    std::vector<Record> sorted = records;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Record& a, const Record& b) { return a.offset < b.offset; });
    std::uint64_t pagedEnd = 0;
    for (const Record& record : sorted) {
      const auto [begin, end] = paged(record);
      if (begin < end) {
        if (begin < pagedEnd) {
          *refusal = {"two records write the same NAND bytes at flash offset " +
                          sim::Hex(begin, 8) + " (a page is programmed once per erase)",
                      {{"part", "record"}, {"flashOffset", begin}}};
          return false;
        }
        pagedEnd = end;
      }
    }
    if (!ascending) {
      records = sorted;
    }
    return true;
  }

  // The regions the update overwrites, and those it erases without writing a record there.
  void RegionsOf(const std::vector<Record>& records, Json& report) const {
    Json overwrites = Json::array();
    Json erasedOnly = Json::array();
    for (int i = 0; i < kRegionCount; ++i) {
      const FlashRegion& region = RegionTable[i];
      if ((region.flags & REGION_NOT_PRESENT) != 0 || region.length == 0 || region.flags == 0) {
        continue;
      }
      const std::uint64_t begin = region.start;
      const std::uint64_t end = begin + region.length;
      const bool restored =
          (region.flags & REGION_FILE_SYSTEM) != 0 && (BinContents & BIN_CONTENTS_FILE_SYSTEM) != 0;
      if (restored) {
        // The file system section's restore writes the region through the store.
        overwrites.push_back({{"name", RegionLabel(region.flags)},
                              {"start", region.start},
                              {"length", region.length},
                              {"restored", true}});
        continue;
      }
      if (end <= eraseStart_ || begin >= eraseEnd_) {
        continue;
      }
      std::uint64_t written = 0;
      for (const Record& record : records) {
        const std::uint64_t from = std::max<std::uint64_t>(begin, record.offset);
        const std::uint64_t to =
            std::min<std::uint64_t>(end, std::uint64_t{record.offset} + record.length);
        written += to > from ? to - from : 0;
      }
      const std::uint64_t erasedFrom = std::max(begin, eraseStart_);
      const std::uint64_t erasedTo = std::min(end, eraseEnd_);
      Json entry = {{"name", RegionLabel(region.flags)},
                    {"start", region.start},
                    {"length", region.length},
                    {"erasedBytes", erasedTo - erasedFrom},
                    {"writtenBytes", written}};
      (written != 0 ? overwrites : erasedOnly).push_back(entry);
    }
    if ((info_.types & REGION_CPLD_FIRMWARE) != 0) {
      overwrites.push_back({{"name", "CPLD Firmware"}});
    }
    report["overwrites"] = overwrites;
    report["erasedWithoutRecord"] = erasedOnly;
  }

  void Erase(Json& image) {
    Json blocks = Json::array();
    std::uint64_t nanoseconds = 0;
    std::uint64_t erased = 0;
    std::uint64_t blank = 0;
    if (FlashKind == kFlashKindNor) {
      // Chips that keep their lock bits clear every block's bit at once, at the first locked
      // block the erase meets (polled every 10 ms); volatile bits unlock block by block at once.
      const auto& locked = timings_.norLockedBlocks;
      if (timings_.norPersistentLocks &&
          std::any_of(locked.begin(), locked.end(), [&](std::uint32_t block) {
            return block >= eraseStart_ && block < eraseEnd_;
          })) {
        nanoseconds += 510 * sim::kMillisecond;
      }
      for (std::uint64_t offset = eraseStart_; offset < eraseEnd_;) {
        const DWORD size = std::max<DWORD>(FlashOps.BlockSize(static_cast<DWORD>(offset)), 4);
        const std::vector<std::uint8_t> now = FlashNow(static_cast<std::uint32_t>(offset), size);
        std::size_t firstUsed = now.size();
        for (std::size_t i = 0; i < now.size(); ++i) {
          if (now[i] != 0xFF) {
            firstUsed = i;
            break;
          }
        }
        // The blank check reads up to the first programmed word; a blank block is not erased.
        // An erase is polled every 100 ms until the chips report ready.
        const std::uint64_t checked = firstUsed == now.size() ? size / 4 : firstUsed / 4 + 1;
        nanoseconds += (checked + 6) * kNorAccessNs;
        const bool isBlank = firstUsed == now.size();
        if (!isBlank) {
          nanoseconds +=
              (timings_.norEraseNs + kNorErasePollNs) / kNorErasePollNs * kNorErasePollNs;
          ++erased;
        } else {
          ++blank;
        }
        blocks.push_back({{"offset", offset}, {"bytes", size}, {"blank", isBlank}});
        offset += size;
      }
      image["eraseBlocks"] = blocks;
      image["blocksErased"] = erased;
      image["blocksAlreadyBlank"] = blank;
      Step("erase", nanoseconds, {{"blocks", erased}, {"blankBlocks", blank}});
      return;
    }
    // NAND: logical blocks through the bad block table.
    std::map<std::uint32_t, std::uint32_t> replaced;
    if (const sim::NandFlash* nand = sim::NandFlash::Current(); nand != nullptr) {
      std::uint8_t table[sim::kNandPageBytes];
      if (nand->ReadRawPage(sim::kNandTablePage, table, nullptr) &&
          sim::Get16(table) == sim::kNandTableMagic) {
        for (std::uint32_t entry = 0; entry < sim::kNandTableMaxEntries; ++entry) {
          const std::uint16_t logical = sim::Get16(table + 4 + 4 * entry);
          if (logical == 0xFFFF) {
            break;
          }
          replaced[logical] = sim::Get16(table + 6 + 4 * entry);
        }
      }
    }
    const std::uint32_t blockSize = std::max<DWORD>(FlashOps.BlockSize(0), 1);
    Json perChip = Json::object();
    Json skipped = Json::array();
    for (std::uint64_t offset = eraseStart_; offset < eraseEnd_; offset += blockSize) {
      const auto logical = static_cast<std::uint32_t>(offset / blockSize);
      std::uint32_t physical = logical;
      if (auto it = replaced.find(logical); it != replaced.end()) {
        skipped.push_back(
            {{"logical", logical}, {"badBlock", logical}, {"replacement", it->second}});
        physical = it->second;
      }
      const std::uint32_t select =
          timings_.nandBlocksPerSelect != 0 ? physical / timings_.nandBlocksPerSelect : 0;
      const std::string chip = "cs" + std::to_string(select);
      perChip[chip] = perChip.value(chip, 0u) + 1;
      blocks.push_back({{"logical", logical}, {"physical", physical}, {"chipSelect", select}});
      nanoseconds += timings_.nandEraseNs;
      ++erased;
    }
    image["eraseBlocks"] = blocks;
    image["blocksErased"] = erased;
    image["blocksPerChip"] = perChip;
    image["badBlocksSkipped"] = skipped;
    // Block 0 holds the bad block table in its last page: the driver reads it before the erase
    // and programs it back after.
    tablePageKept_ = eraseStart_ == 0 && eraseEnd_ > 0;
    image["tablePageKept"] = tablePageKept_;
    if (tablePageKept_) {
      nanoseconds += timings_.nandReadNs + timings_.nandProgramNs;
    }
    Step("erase", nanoseconds, {{"blocks", erased}, {"badBlocksSkipped", skipped.size()}});
  }

  // Whether the flash's page (window) at offset differs from what the update leaves there.
  bool Differs(std::uint32_t offset, const std::vector<std::uint8_t>& after) const {
    return FlashNow(offset, static_cast<std::uint32_t>(after.size())) != after;
  }

  void NorPrograms(const std::vector<Record>& records, Json& image) {
    // What each 64-byte window holds after the update: erased, then every record programmed.
    std::map<std::uint32_t, std::vector<std::uint8_t>> windows;
    std::uint64_t operations = 0;
    std::uint64_t bytes = 0;
    const std::uint32_t chunkSize = std::max<DWORD>(WorkBufferSize, kNorWindowBytes);
    std::uint64_t nanoseconds = 0;
    for (const Record& record : records) {
      bytes += record.length;
      for (std::uint32_t done = 0; done < record.length;) {
        const std::uint32_t chunk = std::min(record.length - done, chunkSize);
        const std::uint32_t begin = (record.offset + done) & ~3u;
        const std::uint32_t end = (record.offset + done + chunk + 3) & ~3u;
        const std::uint64_t count = (end - 1) / kNorWindowBytes - begin / kNorWindowBytes + 1;
        operations += count;
        nanoseconds += count * timings_.norBufferNs + (end - begin) / 4 * kNorAccessNs +
                       count * 5 * kNorAccessNs;
        done += chunk;
      }
      for (std::uint32_t i = 0; i < record.length; ++i) {
        const std::uint32_t at = record.offset + i;
        auto& window = windows[at - at % kNorWindowBytes];
        if (window.empty()) {
          window.assign(kNorWindowBytes, 0xFF);
        }
        window[at % kNorWindowBytes] &= file_[record.filePosition + i];
      }
    }
    std::uint64_t differ = 0;
    for (const auto& [offset, after] : windows) {
      differ += Differs(offset, after) ? 1 : 0;
    }
    image["programUnit"] = "64-byte write buffer";
    image["bytesProgrammed"] = bytes;
    image["programOperations"] = operations;
    image["unitsProgrammed"] = windows.size();
    image["unitsDiffering"] = differ;
    image["unitsUnchanged"] = windows.size() - differ;
    Step("program", nanoseconds, {{"operations", operations}, {"bytes", bytes}});
  }

  void NandPrograms(const std::vector<Record>& records, Json& image) {
    const std::uint32_t pageSize = FlashOps.PageSize();
    std::vector<std::uint8_t> bootArea(kBootAreaSize, 0xFF);
    bool bootAreaUsed = false;
    // The page writer: pages in the order the update programs them, with their contents.
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> pages;
    std::vector<std::uint8_t> buffer(pageSize, 0xFF);
    constexpr std::uint32_t kNone = 0xFFFFFFFF;
    std::uint32_t buffered = kNone;
    std::uint32_t next = kNone;
    auto emit = [&](const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
      for (std::uint32_t done = 0; done < length; done += pageSize) {
        pages.emplace_back(offset + done,
                           std::vector<std::uint8_t>(data + done, data + done + pageSize));
      }
    };
    std::uint64_t bytes = 0;
    for (const Record& record : records) {
      bytes += record.length;
      const std::uint8_t* data = file_.data() + record.filePosition;
      std::uint32_t offset = record.offset;
      std::uint32_t length = record.length;
      if (offset < kBootAreaSize && length > 0) {
        const std::uint32_t inBoot = std::min(length, kBootAreaSize - offset);
        std::memcpy(bootArea.data() + offset, data, inBoot);
        bootAreaUsed = true;
        offset += inBoot;
        data += inBoot;
        length -= inBoot;
      }
      while (length > 0) {
        const std::uint32_t page = offset - offset % pageSize;
        const std::uint32_t inPage = offset - page;
        if (buffered != kNone && buffered != page) {
          emit(buffer.data(), buffered, pageSize);
          std::fill(buffer.begin(), buffer.end(), 0xFF);
          next = buffered + pageSize;
          buffered = kNone;
        }
        while (next < page) {
          emit(buffer.data(), next, pageSize);
          next += pageSize;
        }
        std::uint32_t placed = 0;
        if (std::uint64_t{inPage} + length < pageSize) {
          buffered = page;
          std::memcpy(buffer.data() + inPage, data, length);
          placed = length;
        } else if (buffered != kNone || inPage != 0) {
          buffered = page;
          placed = pageSize - inPage;
          std::memcpy(buffer.data() + inPage, data, placed);
        } else {
          placed = length - length % pageSize;
          emit(data, offset, placed);
        }
        offset += placed;
        data += placed;
        length -= placed;
        next = offset - offset % pageSize;
      }
    }
    std::uint64_t readBack = 0;
    if (bootAreaUsed) {
      // Written after the last record, the erased part only, then read back.
      const std::uint32_t end =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(bootEnd_, kBootAreaWritten));
      for (auto page = static_cast<std::uint32_t>(bootStart_); page < end; page += pageSize) {
        pages.emplace_back(page, std::vector<std::uint8_t>(bootArea.begin() + page,
                                                           bootArea.begin() + page + pageSize));
        ++readBack;
      }
    }
    if (buffered != kNone) {
      emit(buffer.data(), buffered, pageSize);  // the flush at the end
    }
    std::uint64_t differ = 0;
    for (auto& [offset, after] : pages) {
      if (sim::CurrentMachine().Identity() == kProcessorPxa310 && offset == 0) {
        for (std::uint32_t i = 0; i < 4; ++i) {
          after[kBootMarkerOffset + i] = static_cast<std::uint8_t>(kBootMarker >> (8 * i));
        }
      }
      differ += Differs(offset, after) ? 1 : 0;
    }
    image["programUnit"] = "2048-byte page";
    image["bytesProgrammed"] = bytes;
    // The table page's program is counted with the others; its content is the table it holds.
    image["programOperations"] = pages.size() + (tablePageKept_ ? 1 : 0);
    image["unitsProgrammed"] = pages.size();
    image["unitsDiffering"] = differ;
    image["unitsUnchanged"] = pages.size() - differ;
    image["pagesReadBack"] = readBack;
    image["pagesRead"] = readBack + (tablePageKept_ ? 1 : 0);
    Step("program", pages.size() * timings_.nandProgramNs,
         {{"operations", pages.size()}, {"bytes", bytes}});
    if (readBack != 0) {
      Step("read back the boot area", readBack * timings_.nandReadNs, {{"pages", readBack}});
    }
  }

  // --- file system sections ---
  std::uint32_t UnloadDelayMs() const {
    DWORD delay = kDefaultUnloadDelayMs;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\StorageManager", 0, KEY_ALL_ACCESS, &key) ==
        ERROR_SUCCESS) {
      DWORD value = 0;
      DWORD size = sizeof(value);
      if (RegQueryValueExW(key, u"PNPUnloadDelay", nullptr, nullptr,
                           reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
          size == sizeof(value)) {
        delay = value;
      }
      (void)RegCloseKey(key);
    }
    return delay;
  }

  // What the OS's store takes to write bytes into erased flash.
  std::uint64_t StoreWriteNs(std::uint64_t bytes) const {
    if (FlashKind == kFlashKindNor) {
      const std::uint64_t windows =
          (bytes + timings_.norOsWindowBytes - 1) / timings_.norOsWindowBytes;
      return windows * timings_.norBufferNs + bytes / 4 * kNorAccessNs;
    }
    const std::uint64_t pages = (bytes + sim::kNandPageBytes - 1) / sim::kNandPageBytes;
    return pages * timings_.nandProgramNs;
  }

  std::uint64_t BlockEraseNs() const {
    return FlashKind == kFlashKindNor ? timings_.norEraseNs : timings_.nandEraseNs;
  }

  void FileSystem(Json& report, std::size_t at, bool sections) {
    if (unloadedAt_ == kNever) {
      Step("unload the file system driver", 0);
      unloadedAt_ = total_;
    }
    Json list = Json::array();
    const std::uint64_t delayNs = UnloadDelayMs() * sim::kMillisecond;
    while (sections && at + kFsSectionHeaderSize <= file_.size() && Word(at) == kFsSectionMagic) {
      const std::uint32_t headerSize = Word(at + 8);
      const std::uint32_t kind = Word(at + 12);
      const std::uint32_t dataLength = Word(at + 24);
      const std::size_t payload = at + headerSize;
      const std::size_t end = payload + dataLength;
      std::uint64_t files = 0;
      std::uint64_t directories = 0;
      std::uint64_t bytes = 0;
      std::uint64_t sectors = 0;
      const std::uint32_t bytesPerSector = Word(at + 104 + 184);
      if (kind == FS_SECTION_SECTORS) {
        for (std::size_t chunk = payload; chunk + 12 <= end;) {
          const std::uint32_t length = Word(chunk + 4);
          bytes += length;
          sectors += bytesPerSector != 0 ? length / bytesPerSector : 0;
          chunk += 12 + std::size_t{length};
        }
      } else if (kind == FS_SECTION_FILES) {
        std::size_t entry = payload + 12;
        const std::uint32_t partitions = Word(at + 104 + 228);
        for (std::uint32_t p = 0; p < partitions && entry + 296 <= end; ++p) {
          std::u16string volume;
          for (std::size_t i = 0; i < 64 && entry + 132 + 2 * i + 1 < end; ++i) {
            const auto unit = static_cast<char16_t>(file_[entry + 132 + 2 * i] |
                                                    (file_[entry + 133 + 2 * i] << 8));
            if (unit == 0) {
              break;
            }
            volume.push_back(unit);
          }
          entry += 296;
          while (!volume.empty() && entry + 560 <= end) {
            std::u16string path;
            for (std::size_t i = 0; i < volume.size(); ++i) {
              path.push_back(static_cast<char16_t>(file_[entry + 40 + 2 * i] |
                                                   (file_[entry + 41 + 2 * i] << 8)));
            }
            if (path != volume) {
              break;
            }
            const std::uint32_t attributes = Word(entry);
            const std::uint32_t size = Word(entry + 32);
            entry += 560;
            if ((attributes & 0x10) != 0) {
              ++directories;
            } else {
              ++files;
              bytes += size;
              entry += size;
            }
          }
        }
      }
      // The driver comes back once the storage manager's unload delay since the unload passed.
      const std::uint64_t elapsed = total_ - unloadedAt_;
      const std::uint64_t wait = elapsed < delayNs ? delayNs - elapsed + kUnloadMarginNs : 0;
      Step("wait for the driver's unload delay", wait);
      Step("reload the file system driver", kSettleNs);
      Step("format the store", BlockEraseNs() + kDoneLingerNs);
      Json section = {{"kind", kind == FS_SECTION_SECTORS ? "sectors" : "files"}, {"bytes", bytes}};
      if (kind == FS_SECTION_SECTORS) {
        section["sectors"] = sectors;
      } else {
        section["files"] = files;
        section["directories"] = directories;
      }
      Step(kind == FS_SECTION_SECTORS ? "restore sectors" : "restore files", StoreWriteNs(bytes),
           section);
      list.push_back(section);
      at = end;
    }
    if (!list.empty()) {
      Step("close the file system stage", kDoneLingerNs);
    }
    report["fileSystem"] = {{"unload", true}, {"sections", list}, {"reload", !list.empty()}};
    cpldAt_ = at;
  }

  // --- CPLD ---
  void Cpld(Json& report) {
    std::size_t at = cpldAt_;
    if (at == 0) {
      at = (BinContents & BIN_CONTENTS_IMAGE) != 0 ? imageEnd_ : 0;
    }
    // The CPLD section follows whatever came before it in the file.
    while (at + 4 <= file_.size() && Word(at) != kCpldSectionMagic) {
      ++at;
    }
    const std::uint32_t headerSize = Word(at + 8);
    const std::uint32_t dataSize = Word(at + 12);
    const std::size_t begin = at + headerSize;
    const std::size_t end = std::min(begin + dataSize, file_.size());
    std::uint64_t waitNs = 0;
    std::uint64_t clocks = 0;
    Walk(begin, end, &waitNs, &clocks);
    // Each clock sets TDI (or TMS), drops and raises TCK and samples TDO: four GPIO accesses.
    const std::uint64_t nanoseconds = waitNs + clocks * 4 * kGpioAccessNs;
    report["cpld"] = {
        {"xsvfBytes", dataSize}, {"clocks", clocks}, {"waitSeconds", Seconds(waitNs)}};
    Step("play the XSVF stream", nanoseconds, {{"bytes", dataSize}});
    Step("close the CPLD stage", 2 * kDoneLingerNs);
  }

  // The stream's shifts and waits, as the player takes them.
  void Walk(std::size_t at, std::size_t end, std::uint64_t* waitNs, std::uint64_t* clocks) const {
    auto number = [&](std::size_t bytes) {
      std::uint64_t value = 0;
      for (std::size_t i = 0; i < bytes && at < end; ++i) {
        value = (value << 8) | file_[at++];
      }
      return value;
    };
    auto wait = [&](std::uint64_t microseconds) {
      *waitNs += (microseconds > 999 ? microseconds / 1000 : 1) * sim::kMillisecond;
    };
    std::uint64_t sdrBits = 0;
    std::uint64_t runTest = 0;
    auto shift = [&](std::uint64_t bits, bool waits) {
      *clocks += bits + 8;  // the bits and the walk through the TAP states
      if (waits && runTest != 0) {
        wait(runTest);
      }
    };
    while (at < end) {
      const std::uint8_t command = file_[at++];
      const std::uint64_t sdrBytes = (sdrBits + 7) / 8;
      switch (command) {
        case 0:  // complete
          return;
        case 1:
          at += sdrBytes;
          break;
        case 2:
        case 21: {
          const std::uint64_t bits = number(command == 2 ? 1 : 2);
          at += (bits + 7) / 8;
          shift(bits, true);
          break;
        }
        case 3:
          at += sdrBytes;
          shift(sdrBits, true);
          break;
        case 4:
          runTest = number(4);
          break;
        case 7:
        case 18:
        case 19:
        case 20:
          at += 1;
          break;
        case 8:
          sdrBits = number(4);
          break;
        case 9:
          at += 2 * sdrBytes;
          shift(sdrBits, true);
          break;
        case 10:
          at += 2 * sdrBytes;
          break;
        case 12:
        case 13:
        case 14:
          at += sdrBytes;
          shift(sdrBits, false);
          break;
        case 15:
        case 16:
        case 17:
          at += 2 * sdrBytes;
          shift(sdrBits, false);
          break;
        case 22:
          while (at < end && file_[at++] != 0) {
          }
          break;
        case 23:
          at += 2;
          wait(number(4));
          *clocks += 8;
          break;
        default:
          return;  // a command the estimate does not price (the player refuses it too)
      }
    }
  }

  static constexpr std::uint64_t kNever = ~std::uint64_t{0};
  const std::vector<std::uint8_t>& file_;
  ImageInfo info_;
  Timings timings_;
  DWORD covered_ = 0;
  std::uint64_t eraseStart_ = 0;
  std::uint64_t eraseEnd_ = 0;
  std::uint64_t bootStart_ = 0;
  std::uint64_t bootEnd_ = 0;
  bool tablePageKept_ = false;
  std::vector<Record> records_;
  std::uint64_t unloadedAt_ = kNever;
  std::size_t imageEnd_ = 0;
  std::size_t cpldAt_ = 0;
  Json steps_ = Json::array();
  std::uint64_t total_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Text output
// ---------------------------------------------------------------------------------------------
std::string Names(const Json& regions) {
  std::string text;
  for (const Json& region : regions) {
    text += (text.empty() ? "" : ", ") + region["name"].get<std::string>();
  }
  return text.empty() ? "nothing" : text;
}

void PrintText(const Json& report) {
  std::printf("plan for         %s\n", report["file"].get<std::string>().c_str());
  std::printf("module           %s\n", report["module"].get<std::string>().c_str());
  std::printf("overwrites       %s\n", Names(report["overwrites"]).c_str());
  if (!report["erasedWithoutRecord"].empty()) {
    std::printf("erases only      %s (erased, no record writes there)\n",
                Names(report["erasedWithoutRecord"]).c_str());
  }
  if (report.contains("image")) {
    const Json& image = report["image"];
    std::printf("erase            %s to %s: %s blocks",
                sim::Hex(image["eraseStart"].get<std::uint64_t>(), 8).c_str(),
                sim::Hex(image["eraseEnd"].get<std::uint64_t>(), 8).c_str(),
                image["blocksErased"].dump().c_str());
    if (image.contains("blocksAlreadyBlank")) {
      std::printf(" (%s already blank, only checked)", image["blocksAlreadyBlank"].dump().c_str());
    }
    if (image.contains("blocksPerChip")) {
      std::string chips;
      for (const auto& [chip, count] : image["blocksPerChip"].items()) {
        chips += (chips.empty() ? "" : ", ") + chip + " " + count.dump();
      }
      std::printf(" (%s)", chips.c_str());
    }
    std::printf("\n");
    for (const Json& bad : image.value("badBlocksSkipped", Json::array())) {
      std::printf("  bad block      logical %s goes to block %s\n", bad["logical"].dump().c_str(),
                  bad["replacement"].dump().c_str());
    }
    std::printf("program          %s bytes in %s programs of a %s%s\n",
                image["bytesProgrammed"].dump().c_str(), image["programOperations"].dump().c_str(),
                image["programUnit"].get<std::string>().c_str(),
                image.value("tablePageKept", false) ? " (one of them the table page)" : "");
    std::printf(
        "  changes        %s of the %s the file writes (%s hold that already and are "
        "programmed anyway)\n",
        image["unitsDiffering"].dump().c_str(), image["unitsProgrammed"].dump().c_str(),
        image["unitsUnchanged"].dump().c_str());
    if (image.value("tablePageKept", false)) {
      std::printf(
          "  table page     the bad block table page is read before block 0 is erased and "
          "programmed back after\n");
    }
    if (image.value("pagesReadBack", 0u) != 0) {
      std::printf("  read back      %s boot area pages\n", image["pagesReadBack"].dump().c_str());
    }
  }
  if (report.contains("fileSystem")) {
    const Json& fileSystem = report["fileSystem"];
    std::printf("file system      unload the driver");
    for (const Json& section : fileSystem["sections"]) {
      if (section["kind"] == "files") {
        std::printf(", format, restore %s files (%s bytes)", section["files"].dump().c_str(),
                    section["bytes"].dump().c_str());
      } else {
        std::printf(", format, restore %s sectors (%s bytes)", section["sectors"].dump().c_str(),
                    section["bytes"].dump().c_str());
      }
    }
    std::printf("%s\n",
                fileSystem["reload"].get<bool>() ? ", reload" : " (no section: it stays unloaded)");
  }
  if (report.contains("cpld")) {
    std::printf("cpld             play %s bytes of XSVF\n",
                report["cpld"]["xsvfBytes"].dump().c_str());
  }
  if (!report["faultPlanItems"].empty()) {
    std::string kinds;
    for (const Json& kind : report["faultPlanItems"]) {
      kinds += (kinds.empty() ? "" : ", ") + kind.get<std::string>();
    }
    std::printf(
        "faults           the module's fault plan holds %zu items (%s): this plan assumes "
        "none fires\n",
        report["faultPlanItems"].size(), kinds.c_str());
  }
  std::printf("module time      %.3f s (estimated)\n", report["moduleSeconds"].get<double>());
  for (const Json& step : report["steps"]) {
    std::printf("  %-36s %9.3f s\n", step["step"].get<std::string>().c_str(),
                step["seconds"].get<double>());
  }
}

// ---------------------------------------------------------------------------------------------
// The command
// ---------------------------------------------------------------------------------------------
int PlanUpdate(const Arguments& arguments) {
  if (arguments.positional.empty() || arguments.positional.size() > 2) {
    return Fail("usage: plan [DIR] FILE [--json]");
  }
  const std::string fileArgument = arguments.positional.back();
  std::error_code code;
  const fs::path file = fs::absolute(fileArgument, code);
  if (code || !fs::is_regular_file(file, code)) {
    return Fail(fileArgument + ": no such file");
  }
  std::vector<std::uint8_t> bytes;
  if (!sim::ReadWholeFile(file, &bytes)) {
    return Fail(file.string() + ": cannot read");
  }
  Arguments moduleArguments;
  if (arguments.positional.size() == 2) {
    moduleArguments.positional.push_back(arguments.positional[0]);
  }
  const fs::path module = ModuleDirectoryArgument(moduleArguments);
  sim::AttachOptions options;
  options.usbFolder = file.parent_path();
  std::string error;
  if (!sim::Attach(module, options, &error)) {
    return Fail(error);
  }
  struct DetachOnReturn {
    ~DetachOnReturn() {
      (void)FWLCloseBinFile();
      FreeWorkBuffer();
      sim::Detach();
    }
  } detach;
  // A dry run meets no fault: the module's fault plan is for the update. Reading the flash here
  // would fire its items (a bit flip on every read) and spend their counts before the update
  // runs. The plan is set aside in this process only; module.json keeps it.
  const Json faults = sim::CurrentMachine().Config().value("faults", Json::object());
  sim::CurrentMachine().Faults().Load(Json::object());
  if (const int refused = FailUnlessFlashFree(); refused != 0) {
    return refused;
  }
  const FwlStatus init = FWLInit();
  if (init != FWL_OK) {
    const char* name = FwlStatusName(init);
    return Fail(std::string("the library did not start on this module: ") +
                (name != nullptr ? name : "?"));
  }
  const std::u16string path = u"\\USB HD\\" + sim::FromUtf8(file.filename().string());
  ImageInfo info{};
  Json report = {{"file", file.string()}, {"module", module.string()}, {"size", bytes.size()}};
  const FwlStatus status = FWLSetBinFile(path.c_str(), &info, nullptr, 1);
  if (status != FWL_OK) {
    report.update(DiagnoseRefusedBinFile(file, status));
    const char* name = FwlStatusName(status);
    return RefuseBinFile(arguments, report, name != nullptr ? name : std::to_string(status),
                         BinStatusMeaning(status));
  }
  if (info.types == 0) {
    report.update(DiagnoseRefusedBinFile(file, FWL_ERR_BAD_FILE));
    return RefuseBinFile(arguments, report, "FWL_OK",
                         "it holds no update data for this module's hardware");
  }
  (void)FWLScanRegions(REGION_ALL_TYPES);
  DWORD overlap = REGION_ALL_TYPES;
  if (FWLGetRegionsInRange(&overlap, info.start, info.length) == FWL_ERR_RANGE) {
    return RefuseBinFile(arguments, report, "FWL_OK",
                         "its flash range covers a region of an unknown kind");
  }
  if (WorkBufferSize == 0 && AllocWorkBuffer() != FWL_OK) {
    return Fail("the module's work buffer cannot be allocated");
  }
  Planner planner(bytes, info);
  Refusal refusal;
  if (!planner.Run(report, &refusal)) {
    report["detail"] = refusal.reason;
    report["where"] = refusal.where;
    return RefuseBinFile(arguments, report, "FWL_ERR_BAD_FILE",
                         "the update refuses it before it changes anything");
  }
  report["accepted"] = true;
  Json kinds = Json::array();
  for (const Json& item : faults.value("items", Json::array())) {
    kinds.push_back(item.value("kind", std::string("?")));
  }
  report["faultPlanItems"] = kinds;
  if (arguments.Has("json")) {
    PrintJson(report);
  } else {
    PrintText(report);
  }
  return 0;
}

void PlanHelp(std::FILE* out) {
  std::fprintf(out,
               "A dry run: nothing on the module changes. The file is checked as the update\n"
               "checks it (a refused file is reported as bin reports it, exit status 1); then\n"
               "the update's steps are listed: the regions it overwrites and those it only\n"
               "erases, the erase blocks (per chip select on NAND, bad blocks replaced), the\n"
               "bytes and program operations, how many programmed pages differ from what the\n"
               "flash holds now, the file system and CPLD steps, and the module time the\n"
               "update takes, estimated from the chips' timings. DIR defaults to the default\n"
               "module.\n");
}

const ModuleCommandRegistrar kPlan({"plan",
                                    "plan [DIR] FILE [--json]",
                                    "show what an update of FILE would do and how long it takes",
                                    {},
                                    PlanUpdate,
                                    PlanHelp});

}  // namespace
}  // namespace module_tool
