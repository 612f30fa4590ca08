// The PXA3xx data flash controller and its NAND chip (see nand_flash.h).
#include "sim/hw/nand_flash.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/base/bytes.h"
#include "sim/base/hex.h"
#include "sim/hw/cpu.h"
#include "sim/hw/nand_flash_internal.h"
#include "sim/os/shared_memory.h"

namespace sim {
namespace {

// A processor access to a controller register takes about one cycle of the 104 MHz
// peripheral bus.
constexpr std::uint64_t kBusAccessNs = 10;

enum EventKind { kEventReady, kEventReadData, kEventWriteData, kEventComplete };

constexpr const char* kImageFile = "flash.img";
constexpr const char* kSpareFile = "nand.oob";
constexpr const char* kWearFile = "nand.wear";
constexpr const char* kProgramsFile = "nand.programs";
constexpr const char* kControllerFile = "nand.controller";

// The five supported chips. Timings are the datasheets' minimum interface timings; busy times
// are the array's typical page read, page program and block erase times.
constexpr NandChip kChips[] = {
    {
        .id = 0xD3EC,
        .idBytes = {0xEC, 0xD3, 0x51, 0x95, 0x58},
        .blocks = 8192,
        .chipSelects = 1,
        .readAddressCycles = 5,
        .eraseAddressCycles = 3,
        .tCH = 5,
        .tCS = 20,
        .tWH = 10,
        .tWP = 12,
        .tRH = 10,
        .tRP = 22,
        .tWHR = 60,
        .tAR = 10,
        .readBusy = 20 * kMicrosecond,
        .programBusy = 200 * kMicrosecond,
        .eraseBusy = 2 * kMillisecond,
        .resetBusy = 5 * kMicrosecond,
        .description = "8 Gbit, 8192 blocks of 128 KiB",
    },
    {
        .id = 0xF1EC,
        .idBytes = {0xEC, 0xF1, 0x00, 0x95, 0x40},
        .blocks = 1024,
        .chipSelects = 1,
        .readAddressCycles = 4,
        .eraseAddressCycles = 2,
        .tCH = 5,
        .tCS = 20,
        .tWH = 10,
        .tWP = 12,
        .tRH = 10,
        .tRP = 22,
        .tWHR = 60,
        .tAR = 10,
        .readBusy = 25 * kMicrosecond,
        .programBusy = 200 * kMicrosecond,
        .eraseBusy = 2 * kMillisecond,
        .resetBusy = 5 * kMicrosecond,
        .description = "1 Gbit, 1024 blocks of 128 KiB",
    },
    {
        .id = 0xDAEC,
        .idBytes = {0xEC, 0xDA, 0x10, 0x95, 0x44},
        .blocks = 2048,
        .chipSelects = 1,
        .readAddressCycles = 5,
        .eraseAddressCycles = 3,
        .tCH = 5,
        .tCS = 20,
        .tWH = 10,
        .tWP = 12,
        .tRH = 10,
        .tRP = 22,
        .tWHR = 60,
        .tAR = 10,
        .readBusy = 25 * kMicrosecond,
        .programBusy = 200 * kMicrosecond,
        .eraseBusy = 2 * kMillisecond,
        .resetBusy = 5 * kMicrosecond,
        .description = "2 Gbit, 2048 blocks of 128 KiB",
    },
    {
        .id = 0xDCEC,
        .idBytes = {0xEC, 0xDC, 0x10, 0x95, 0x54},
        .blocks = 4096,
        .chipSelects = 1,
        .readAddressCycles = 5,
        .eraseAddressCycles = 3,
        .tCH = 5,
        .tCS = 20,
        .tWH = 10,
        .tWP = 12,
        .tRH = 10,
        .tRP = 22,
        .tWHR = 60,
        .tAR = 10,
        .readBusy = 25 * kMicrosecond,
        .programBusy = 200 * kMicrosecond,
        .eraseBusy = 2 * kMillisecond,
        .resetBusy = 5 * kMicrosecond,
        .description = "4 Gbit, 4096 blocks of 128 KiB",
    },
    {
        .id = 0xDCAD,
        .idBytes = {0xAD, 0xDC, 0x10, 0x95, 0x54},
        .blocks = 8192,
        .chipSelects = 2,
        .readAddressCycles = 5,
        .eraseAddressCycles = 3,
        .tCH = 5,
        .tCS = 25,
        .tWH = 10,
        .tWP = 15,
        .tRH = 10,
        .tRP = 25,
        .tWHR = 60,
        .tAR = 15,
        .readBusy = 25 * kMicrosecond,
        .programBusy = 200 * kMicrosecond,
        .eraseBusy = 2 * kMillisecond,
        .resetBusy = 5 * kMicrosecond,
        .description = "2 x 4 Gbit on two chip selects, 8192 blocks of 128 KiB",
    },
};

bool IsNandModule(const Json& config) {
  auto it = config.find("flash");
  if (it == config.end() || !it->is_object()) {
    return false;
  }
  const auto kind = it->find("kind");
  return kind != it->end() && *kind == "nand";
}

// Copies bytes while complementing them (the files hold ~flash byte).
void CopyComplement(std::uint8_t* destination, const std::uint8_t* source, std::size_t bytes) {
  std::size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, source + i, 8);
    word = ~word;
    std::memcpy(destination + i, &word, 8);
  }
  for (; i < bytes; ++i) {
    destination[i] = static_cast<std::uint8_t>(~source[i]);
  }
}

bool AllZero(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    any |= word;
  }
  for (; i < count; ++i) {
    any |= bytes[i];
  }
  return any == 0;
}

std::uint64_t Mix(std::uint64_t value) {
  value ^= value >> 30;
  value *= 0xBF58476D1CE4E5B9ull;
  value ^= value >> 27;
  value *= 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

// ---------------------------------------------------------------------------------------------
// Error correction code: column parity, line parity and a check word over 2088 bytes
// ---------------------------------------------------------------------------------------------
constexpr std::uint32_t kEccCovered = kNandPageBytes + kNandEccVisibleSpare;  // 2088

struct EccParts {
  std::uint8_t column = 0;  // XOR of every covered byte
  std::uint16_t line = 0;   // XOR of the indices of the covered bytes with odd parity
  std::uint32_t check = 0;  // catches the multi-bit errors that parity alone would miscorrect
};

struct XorIndexTable {
  std::uint8_t value[256];
  constexpr XorIndexTable() : value() {
    for (int mask = 0; mask < 256; ++mask) {
      std::uint8_t x = 0;
      for (int bit = 0; bit < 8; ++bit) {
        if ((mask >> bit) & 1) {
          x = static_cast<std::uint8_t>(x ^ bit);
        }
      }
      value[mask] = x;
    }
  }
};
constexpr XorIndexTable kXorIndex;

void EccAccumulate(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t baseIndex,
                   std::uint64_t* columnWord, std::uint32_t* line, std::uint64_t* check) {
  for (std::uint32_t i = 0; i < count; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    *columnWord ^= word;
    // Parity of each byte into bit 0 of the byte, then the eight parities gathered into one
    // byte (the multiplier places bit 8j at bit 56 + j without carries).
    std::uint64_t parity = word ^ (word >> 4);
    parity ^= parity >> 2;
    parity ^= parity >> 1;
    parity &= 0x0101010101010101ull;
    const auto mask = static_cast<std::uint32_t>((parity * 0x0102040810204080ull) >> 56);
    const std::uint32_t index = baseIndex + i;
    *line ^= (std::popcount(mask) & 1 ? index : 0u) ^ kXorIndex.value[mask];
    // One bijective step per word: a change in any one word always reaches the result.
    *check = std::rotl(*check ^ word, 23) * 0x9E3779B97F4A7C15ull;
  }
}

EccParts EccCompute(const std::uint8_t* data, const std::uint8_t* visibleSpare) {
  std::uint64_t columnWord = 0;
  std::uint32_t line = 0;
  std::uint64_t check = 0x6A09E667F3BCC909ull;
  EccAccumulate(data, kNandPageBytes, 0, &columnWord, &line, &check);
  EccAccumulate(visibleSpare, kNandEccVisibleSpare, kNandPageBytes, &columnWord, &line, &check);
  columnWord ^= columnWord >> 32;
  columnWord ^= columnWord >> 16;
  columnWord ^= columnWord >> 8;
  EccParts parts;
  parts.column = static_cast<std::uint8_t>(columnWord);
  parts.line = static_cast<std::uint16_t>(line);
  check = Mix(check);
  parts.check = static_cast<std::uint32_t>(check ^ (check >> 32));
  return parts;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Public helpers
// ---------------------------------------------------------------------------------------------
std::span<const NandChip> NandChips() { return kChips; }

const NandChip* FindNandChip(std::uint32_t id) {
  for (const NandChip& chip : kChips) {
    if (chip.id == id) {
      return &chip;
    }
  }
  return nullptr;
}

std::uint32_t NandControllerClockMhz(std::uint32_t processorIdentity) {
  return processorIdentity == kProcessorPxa300 || processorIdentity == kProcessorPxa310 ? 156 : 104;
}

void NandEccEncode(const std::uint8_t* data, const std::uint8_t* visibleSpare, std::uint8_t* code) {
  const EccParts parts = EccCompute(data, visibleSpare);
  std::memset(code, 0, kNandEccCodeBytes);  // the reserved bytes of a valid code are zero
  code[0] = parts.column;
  Put16(code + 1, parts.line);
  Put32(code + 3, parts.check);
}

NandEccResult NandEccDecode(std::uint8_t* data, std::uint8_t* spare) {
  const std::uint8_t* code = spare + kNandEccVisibleSpare;
  const EccParts parts = EccCompute(data, spare);
  const std::uint8_t storedColumn = code[0];
  const std::uint16_t storedLine = Get16(code + 1);
  const std::uint32_t storedCheck = Get32(code + 3);
  int reservedBits = 0;
  for (std::uint32_t i = 7; i < kNandEccCodeBytes; ++i) {
    reservedBits += std::popcount(static_cast<unsigned>(code[i]));
  }
  const std::uint8_t columnSyndrome = parts.column ^ storedColumn;
  const std::uint16_t lineSyndrome = parts.line ^ storedLine;
  const int codeBits = std::popcount(static_cast<unsigned>(columnSyndrome)) +
                       std::popcount(static_cast<unsigned>(lineSyndrome)) +
                       std::popcount(parts.check ^ storedCheck) + reservedBits;
  if (codeBits == 0) {
    return NandEccResult::kClean;
  }
  if (codeBits == 1) {
    return NandEccResult::kCorrected;  // one bit of the code itself flipped
  }
  if (reservedBits != 0 || std::popcount(static_cast<unsigned>(columnSyndrome)) != 1 ||
      lineSyndrome >= kEccCovered) {
    return NandEccResult::kUncorrectable;
  }
  // One data bit: the line syndrome names its byte, the column syndrome its bit.
  std::uint8_t* byte =
      lineSyndrome < kNandPageBytes ? data + lineSyndrome : spare + (lineSyndrome - kNandPageBytes);
  *byte ^= columnSyndrome;
  if (EccCompute(data, spare).check == storedCheck) {
    return NandEccResult::kCorrected;
  }
  *byte ^= columnSyndrome;
  return NandEccResult::kUncorrectable;
}

// ---------------------------------------------------------------------------------------------
// Model state kept outside the process
// ---------------------------------------------------------------------------------------------
namespace {
constexpr std::uint32_t kControllerMagic = 0x4E444652;  // "RFDN"
// Power-on values: every interface timing at its slowest.
constexpr std::uint32_t kNdtr0PowerOn = 7u << 19 | 7u << 16 | 7u << 11 | 7u << 8 | 7u << 3 | 7u;
constexpr std::uint32_t kNdtr1PowerOn = 0xFFFFu << 16 | 15u << 4 | 15u;
}  // namespace

// ---------------------------------------------------------------------------------------------
// The fault plan kinds of the chip (pages and blocks are physical, across both chip selects)
// ---------------------------------------------------------------------------------------------
namespace {
constexpr FaultField kBadBlockFields[] = {
    {.name = "block", .required = true, .help = "the block every erase and program of fails"}};
constexpr FaultField kWornBlockFields[] = {
    {.name = "block", .required = true, .help = "the worn block"},
    {.name = "erases", .required = true, .help = "erases it survives (counted in nand.wear)"}};
constexpr FaultField kEraseFailFields[] = {
    {.name = "block", .required = true, .help = "the block whose erase fails"}};
constexpr std::string_view kLeavesEveryOtherByte = "every-other-byte";
constexpr std::string_view kLeavesOneStuckBit = "one-stuck-bit";
constexpr std::string_view kProgramFailLeaves[] = {kLeavesEveryOtherByte, kLeavesOneStuckBit};
constexpr FaultField kProgramFailFields[] = {
    {.name = "page", .required = true, .help = "the page whose program fails"},
    {.name = "leaves",
     .type = FaultFieldType::kChoice,
     .help = "what the failed program leaves in the page: every-other-byte (unless given), or "
             "one-stuck-bit (all but one bit programmed: the page reads back corrected)",
     .choices = kProgramFailLeaves}};
constexpr FaultField kBitFlipFields[] = {
    {.name = "page", .required = true, .help = "the page whose data reads with flipped bits"},
    {.name = "bits",
     .maximum = kNandPageBytes * 8,
     .help = "how many bits flip, at places fixed by the page (1 unless given)"},
    {.name = "positions",
     .type = FaultFieldType::kBitList,
     .maximum = kNandPageBytes * 8 - 1,
     .help = "the bits of the page data that flip (in place of bits)"}};
constexpr FaultField kDisturbFields[] = {
    {.name = "page", .help = "the page (any page programmed past the chip's limit unless given)"},
    {.name = "bits",
     .maximum = kNandPageBytes * 8,
     .help = "how many 1 bits of the page data read as 0, at places fixed by the page (1 unless "
             "given)"},
    {.name = "positions",
     .type = FaultFieldType::kBitList,
     .maximum = kNandPageBytes * 8 - 1,
     .help = "the bits of the page data that read as 0 (in place of bits)"}};
constexpr std::string_view kRequests[] = {"command", "data"};
constexpr FaultField kNoRequestFields[] = {
    {.name = "request",
     .type = FaultFieldType::kChoice,
     .help = "the request the controller never raises (command unless given)",
     .choices = kRequests}};
constexpr FaultField kIdFields[] = {
    {.name = "id",
     .required = true,
     .maximum = 0xFFFF,
     .help = "the identifier the chip answers (maker code in the low byte)",
     .hex = true}};
constexpr FaultKind kBadBlock{.name = "nand.bad-block",
                              .help = "a bad block: every erase and program of it fails",
                              .fields = kBadBlockFields};
constexpr FaultKind kWornBlock{.name = "nand.worn-block",
                               .help = "a worn block: its erases fail after a number of them",
                               .fields = kWornBlockFields};
constexpr FaultKind kEraseFail{.name = "nand.erase-fail",
                               .help = "an erase of the block fails (the block keeps its data)",
                               .fields = kEraseFailFields,
                               .counted = true,
                               .defaultCount = 1};
constexpr FaultKind kProgramFail{.name = "nand.program-fail",
                                 .help = "a program of the page fails",
                                 .fields = kProgramFailFields,
                                 .counted = true,
                                 .defaultCount = 1};
constexpr FaultKind kBitFlip{.name = "nand.bit-flip",
                             .help = "reads of the page return bits flipped",
                             .fields = kBitFlipFields,
                             .counted = true,
                             .defaultCount = -1};
constexpr FaultKind kDisturb{
    .name = "nand.disturb",
    .help =
        "a page programmed more often since its erase than the chip allows reads disturbed "
        "bits",
    .fields = kDisturbFields,
    .counted = true,
    .defaultCount = -1};
constexpr FaultKind kNoRequest{.name = "nand.no-request",
                               .help = "the controller never raises the request of a command",
                               .fields = kNoRequestFields,
                               .counted = true,
                               .defaultCount = -1};
constexpr FaultKind kId{
    .name = "nand.id", .help = "the chip answers another identifier", .fields = kIdFields};
constexpr const FaultKind* kFaultKinds[] = {&kBadBlock,    &kWornBlock, &kEraseFail,
                                            &kProgramFail, &kBitFlip,   &kDisturb,
                                            &kNoRequest,   &kId,        &kPowerCutFault};

NandFlash* currentNand = nullptr;
}  // namespace

std::span<const FaultKind* const> NandFlash::FaultKinds() const { return kFaultKinds; }

NandFlash::NandFlash() { RegisterComponent(this); }

NandFlash::~NandFlash() { CloseFiles(); }

NandFlash* NandFlash::Current() { return currentNand; }

// ---------------------------------------------------------------------------------------------
// module.json and files
// ---------------------------------------------------------------------------------------------
bool NandFlash::Create(const PresetSpec& presetSpec, const fs::path& directory, Json& config,
                       std::string* error) {
  if (presetSpec.nor || presetSpec.nandChipId == 0) {
    return true;
  }
  const NandChip* chip = FindNandChip(presetSpec.nandChipId);
  if (chip == nullptr) {
    std::string known;
    for (const NandChip& each : kChips) {
      known += (known.empty() ? "" : ", ") + Hex(each.id, 4);
    }
    *error =
        "NAND chip " + Hex(presetSpec.nandChipId, 4) + " is not supported (known: " + known + ")";
    return false;
  }
  config["flash"] = {
      {"kind", "nand"},         {"chipId", Hex(chip->id, 4)},        {"storage", "complemented"},
      {"osDriverLoaded", true}, {"factoryBadBlocks", Json::array()},
  };
  const std::uint64_t pages = std::uint64_t{chip->blocks} * kNandPagesPerBlock;
  const std::pair<const char*, std::uint64_t> files[] = {
      {kImageFile, pages * kNandPageBytes},
      {kSpareFile, pages * kNandSpareBytes},
      {kWearFile, std::uint64_t{chip->blocks} * 4},
      {kProgramsFile, pages + std::uint64_t{chip->blocks} * 4},
  };
  for (const auto& [name, size] : files) {
    const fs::path file = directory / name;
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
      *error = file.string() + ": cannot create: " + std::strerror(errno);
      if (fd >= 0) {
        ::close(fd);
      }
      return false;
    }
    ::close(fd);
  }
  // The bad block table page with its magic and an empty list, as the factory programming
  // station leaves it (programmed without ECC, spare untouched).
  std::uint8_t page[kNandPageBytes];
  std::memset(page, 0xFF, sizeof(page));
  Put16(page, kNandTableMagic);
  std::uint8_t stored[kNandPageBytes];
  CopyComplement(stored, page, sizeof(page));
  const fs::path image = directory / kImageFile;
  const int fd = ::open(image.c_str(), O_RDWR);
  const bool written =
      fd >= 0 && ::pwrite(fd, stored, sizeof(stored),
                          static_cast<off_t>(std::uint64_t{kNandTablePage} * kNandPageBytes)) ==
                     static_cast<ssize_t>(sizeof(stored));
  if (fd >= 0) {
    ::close(fd);
  }
  if (!written) {
    *error = image.string() + ": cannot write the bad block table page";
    return false;
  }
  // That was the table page's first program since its erase.
  const fs::path programs = directory / kProgramsFile;
  const int programsFd = ::open(programs.c_str(), O_RDWR);
  const std::uint8_t once = 1;
  const bool counted = programsFd >= 0 && ::pwrite(programsFd, &once, 1, kNandTablePage) == 1;
  if (programsFd >= 0) {
    ::close(programsFd);
  }
  if (!counted) {
    *error = programs.string() + ": cannot write the program count of the table page";
    return false;
  }
  return true;
}

void NandFlash::Validate(ConfigReader& reader) {
  const Json* flash = reader.Find("flash");
  if (flash == nullptr || !IsNandModule(reader.Document())) {
    return;
  }
  const std::size_t before = reader.Errors().size();
  const std::uint64_t id = reader.Unsigned("flash.chipId", 0xFFFF);
  const NandChip* chip = FindNandChip(static_cast<std::uint32_t>(id));
  if (reader.Errors().size() == before && chip == nullptr) {
    std::string known;
    for (const NandChip& each : kChips) {
      known += (known.empty() ? "" : ", ") + Hex(each.id, 4);
    }
    reader.Error("flash.chipId", "unsupported NAND chip " + Hex(id, 4) + " (known: " + known + ")");
  }
  if (reader.String("flash.storage") != "complemented" && reader.Errors().size() == before) {
    reader.Error("flash.storage",
                 "must be \"complemented\" (each byte of flash.img and nand.oob "
                 "is the complement of the flash byte)");
  }
  reader.Boolean("flash.osDriverLoaded", true);
  if (const Json* bad = reader.Find("flash.factoryBadBlocks"); bad != nullptr) {
    if (!bad->is_array()) {
      reader.Error("flash.factoryBadBlocks", "must be an array of block numbers");
    } else {
      for (std::size_t i = 0; i < bad->size(); ++i) {
        const std::string path = "flash.factoryBadBlocks." + std::to_string(i);
        std::uint64_t block = 0;
        if (!ParseUnsigned((*bad)[i], &block)) {
          reader.Error(path, "not a block number");
        } else if (chip != nullptr && (block == 0 || block >= chip->blocks)) {
          reader.Error(path, "block " + std::to_string(block) + " is not 1 to " +
                                 std::to_string(chip->blocks - 1) +
                                 " (block 0 is guaranteed good)");
        }
      }
    }
  }
  // The blocks and pages of the fault plan's items lie on this chip.
  if (chip == nullptr) {
    return;
  }
  const std::uint64_t pages = std::uint64_t{chip->blocks} * kNandPagesPerBlock;
  for (const auto& [index, item] : FaultPlan::CheckedItems(reader)) {
    const FaultKind& kind = item->Kind();
    const bool block = &kind == &kBadBlock || &kind == &kWornBlock || &kind == &kEraseFail;
    const bool page = &kind == &kProgramFail || &kind == &kBitFlip || &kind == &kDisturb;
    if (!block && !page) {
      continue;
    }
    const char* field = block ? "block" : "page";
    if (!item->Has(field)) {
      continue;  // optional here: the kind applies to every page
    }
    const std::uint64_t limit = block ? chip->blocks : pages;
    if (item->Unsigned(field) >= limit) {
      reader.Error(FaultPlan::FieldPath(index, field),
                   FaultPlan::ItemLabel(index, kind) + ": " + field + " " +
                       std::to_string(item->Unsigned(field)) + " is not below " +
                       std::to_string(limit) + ", the " + field + "s of chip " + Hex(chip->id, 4));
    }
  }
}

bool NandFlash::CheckFiles(const fs::path& directory, const Json& config, std::string* error) {
  if (!IsNandModule(config)) {
    return true;
  }
  ConfigReader reader(config, "module.json");
  const std::uint64_t id = reader.Unsigned("flash.chipId", 0xFFFF);
  const NandChip* chip = FindNandChip(static_cast<std::uint32_t>(id));
  if (chip == nullptr) {
    *error = "module.json: field \"flash.chipId\": unsupported NAND chip";
    return false;
  }
  const std::uint64_t pages = std::uint64_t{chip->blocks} * kNandPagesPerBlock;
  const std::pair<const char*, std::uint64_t> files[] = {
      {kImageFile, pages * kNandPageBytes},
      {kSpareFile, pages * kNandSpareBytes},
  };
  for (const auto& [name, size] : files) {
    const fs::path file = directory / name;
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      *error = file.string() + ": missing (the NAND " +
               (std::string(name) == kImageFile ? "page data" : "spare areas") +
               " of module.json field \"flash\")";
      return false;
    }
    if (static_cast<std::uint64_t>(info.st_size) != size) {
      *error = file.string() + ": " + std::to_string(info.st_size) + " bytes, but chip " +
               Hex(chip->id, 4) + " needs " + std::to_string(size);
      return false;
    }
  }
  return true;
}

namespace {
// Opens (creating when asked) and maps a file of exactly size bytes.
void* MapFile(const fs::path& file, std::uint64_t size, bool create, int* fdOut,
              std::string* error) {
  const int fd = ::open(file.c_str(), O_RDWR | (create ? O_CREAT : 0), 0644);
  if (fd < 0) {
    *error = file.string() + ": cannot open: " + std::strerror(errno);
    return nullptr;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || (static_cast<std::uint64_t>(info.st_size) != size &&
                                  (!create || ::ftruncate(fd, static_cast<off_t>(size)) != 0))) {
    *error = file.string() + ": wrong size or cannot be sized";
    ::close(fd);
    return nullptr;
  }
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    *error = file.string() + ": cannot map: " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  *fdOut = fd;
  return address;
}
}  // namespace

bool NandFlash::OpenFiles(const fs::path& directory, std::string* error) {
  const std::uint64_t pages = PageCount();
  imageBytes_ = pages * kNandPageBytes;
  spareFileBytes_ = pages * kNandSpareBytes;
  image_ = static_cast<std::uint8_t*>(
      MapFile(directory / kImageFile, imageBytes_, false, &imageFd_, error));
  if (image_ != nullptr) {
    spare_ = static_cast<std::uint8_t*>(
        MapFile(directory / kSpareFile, spareFileBytes_, false, &spareFd_, error));
  }
  if (spare_ != nullptr) {
    wear_ = static_cast<std::uint32_t*>(
        MapFile(directory / kWearFile, std::uint64_t{BlockCount()} * 4, true, &wearFd_, error));
  }
  if (wear_ != nullptr) {
    programs_ = static_cast<std::uint8_t*>(MapFile(directory / kProgramsFile,
                                                   pages + std::uint64_t{BlockCount()} * 4, true,
                                                   &programsFd_, error));
    outOfOrder_ =
        programs_ != nullptr ? reinterpret_cast<std::uint32_t*>(programs_ + pages) : nullptr;
  }
  if (programs_ != nullptr) {
    registers_ = static_cast<Controller*>(MapFile(directory / "ram" / kControllerFile,
                                                  sizeof(Controller), true, &controllerFd_, error));
  }
  if (registers_ == nullptr) {
    CloseFiles();
    return false;
  }
  if (registers_->magic != kControllerMagic) {
    *registers_ = Controller{kControllerMagic, 0, kNdtr0PowerOn, kNdtr1PowerOn};
  }
  // A command dies with the process that ran it.
  registers_->ndcr &= ~NDCR_ND_RUN;
  return true;
}

void NandFlash::CloseFiles() {
  if (image_ != nullptr) {
    ::munmap(image_, imageBytes_);
  }
  if (spare_ != nullptr) {
    ::munmap(spare_, spareFileBytes_);
  }
  if (wear_ != nullptr && chip_ != nullptr) {
    ::munmap(wear_, std::uint64_t{BlockCount()} * 4);
  }
  if (programs_ != nullptr && chip_ != nullptr) {
    ::munmap(programs_, std::uint64_t{PageCount()} + std::uint64_t{BlockCount()} * 4);
  }
  if (registers_ != nullptr) {
    ::munmap(registers_, sizeof(Controller));
  }
  for (int* fd : {&imageFd_, &spareFd_, &wearFd_, &programsFd_, &controllerFd_}) {
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
  }
  image_ = nullptr;
  spare_ = nullptr;
  wear_ = nullptr;
  programs_ = nullptr;
  outOfOrder_ = nullptr;
  registers_ = nullptr;
}

bool NandFlash::Attach(Machine& machine, std::string* error) {
  // Everything from an earlier attach of this process is forgotten.
  CloseFiles();
  chip_ = nullptr;
  phase_ = Phase::kIdle;
  ndsr_ = 0;
  latched_ = 0;
  eventCount_ = 0;
  pendingAccesses_ = 0;
  registerAccesses_ = 0;
  logging_ = false;
  log_.clear();
  totals_ = NandBusyTotals{};
  sharedTable_ = nullptr;
  factoryBad_.clear();
  badBlockRow_[0] = badBlockRow_[1] = 0;
  if (!IsNandModule(machine.Config())) {
    return true;
  }
  ConfigReader reader(machine.Config(), "module.json");
  const auto id = static_cast<std::uint32_t>(reader.Unsigned("flash.chipId", 0xFFFF));
  chip_ = FindNandChip(id);
  osDriverLoaded_ = reader.Boolean("flash.osDriverLoaded", true);
  if (const Json* bad = reader.Find("flash.factoryBadBlocks"); bad != nullptr && bad->is_array()) {
    for (const Json& block : *bad) {
      std::uint64_t value = 0;
      if (ParseUnsigned(block, &value)) {
        factoryBad_.push_back(static_cast<std::uint32_t>(value));
      }
    }
  }
  if (chip_ == nullptr || !reader.Ok()) {
    *error = reader.Ok() ? "module.json: field \"flash.chipId\": unsupported NAND chip"
                         : reader.Errors().front();
    chip_ = nullptr;
    return false;
  }
  directory_ = machine.Directory();
  clockMhz_ = NandControllerClockMhz(machine.Identity());
  if (!OpenFiles(directory_, error)) {
    chip_ = nullptr;
    return false;
  }
  // A factory bad block carries its marker in the first spare byte of its first page.
  for (std::uint32_t block : factoryBad_) {
    std::uint8_t* marker = spare_ + std::uint64_t{block} * kNandPagesPerBlock * kNandSpareBytes;
    *marker = 0xFF;  // stored complemented: flash byte 0x00
  }
  machine.Bus().Attach(kNandControllerBase, kRegisterWindow, this);
  SetCurrentOsFlash(this);
  currentNand = this;
  return true;
}

void NandFlash::Detach(Machine& /*machine*/) {
  if (currentNand == this) {
    currentNand = nullptr;
  }
  if (CurrentOsFlash() == this) {
    SetCurrentOsFlash(nullptr);
  }
  if (chip_ != nullptr && pendingAccesses_ != 0 && IsAttached()) {
    FlushBusTime();
  }
  CloseFiles();
  sharedTable_ = nullptr;
  chip_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// The chip's array
// ---------------------------------------------------------------------------------------------
bool NandFlash::ReadRawPage(std::uint32_t page, std::uint8_t* data, std::uint8_t* spare) const {
  if (!Present() || page >= PageCount()) {
    return false;
  }
  if (data != nullptr) {
    CopyComplement(data, image_ + std::uint64_t{page} * kNandPageBytes, kNandPageBytes);
  }
  if (spare != nullptr) {
    CopyComplement(spare, spare_ + std::uint64_t{page} * kNandSpareBytes, kNandSpareBytes);
  }
  return true;
}

bool NandFlash::WriteRawPage(std::uint32_t page, const std::uint8_t* data,
                             const std::uint8_t* spare) {
  if (!Present() || page >= PageCount()) {
    return false;
  }
  if (data != nullptr) {
    CopyComplement(image_ + std::uint64_t{page} * kNandPageBytes, data, kNandPageBytes);
  }
  if (spare != nullptr) {
    CopyComplement(spare_ + std::uint64_t{page} * kNandSpareBytes, spare, kNandSpareBytes);
  }
  return true;
}

bool NandFlash::WriteEccPage(std::uint32_t page, const std::uint8_t* data,
                             const std::uint8_t* visibleSpare) {
  std::uint8_t spare[kNandSpareBytes];
  std::memset(spare, 0xFF, sizeof(spare));
  if (visibleSpare != nullptr) {
    std::memcpy(spare, visibleSpare, kNandEccVisibleSpare);
  }
  NandEccEncode(data, spare, spare + kNandEccVisibleSpare);
  return WriteRawPage(page, data, spare);
}

bool NandFlash::EraseRawBlock(std::uint32_t block) {
  if (!Present() || block >= BlockCount()) {
    return false;
  }
  CommitErase(block);
  return true;
}

bool NandFlash::PageErased(std::uint32_t page) const {
  if (!Present() || page >= PageCount()) {
    return false;
  }
  return AllZero(image_ + std::uint64_t{page} * kNandPageBytes, kNandPageBytes) &&
         AllZero(spare_ + std::uint64_t{page} * kNandSpareBytes, kNandSpareBytes);
}

std::vector<FileExtent> NandFlash::DataExtents() const {
  if (!Present()) {
    return {{0, ~std::uint64_t{0}}};  // nothing known: anything may hold data
  }
  return FileDataExtents(imageFd_, imageBytes_);
}

std::uint32_t* NandFlash::WearCounter(std::uint32_t block) const { return wear_ + block; }

std::uint32_t NandFlash::EraseCount(std::uint32_t block) const {
  return Present() && block < BlockCount() ? *WearCounter(block) : 0;
}

std::uint32_t NandFlash::ProgramCount(std::uint32_t page) const {
  return Present() && page < PageCount() ? programs_[page] : 0;
}

std::uint32_t NandFlash::OutOfOrderPrograms(std::uint32_t block) const {
  return Present() && block < BlockCount() ? outOfOrder_[block] : 0;
}

void NandFlash::CountProgram(std::uint32_t page) {
  const std::uint32_t block = page / kNandPagesPerBlock;
  const std::uint32_t first = block * kNandPagesPerBlock;
  bool higherProgrammed = false;
  for (std::uint32_t later = page + 1; later < first + kNandPagesPerBlock; ++later) {
    higherProgrammed = higherProgrammed || programs_[later] != 0;
  }
  if (higherProgrammed && outOfOrder_[block] != 0xFFFFFFFF) {
    if (++outOfOrder_[block] == 1) {
      CurrentMachine().DebugLog("nand: page " + std::to_string(page) + " of block " +
                                std::to_string(block) +
                                " programmed after a higher page of the block since its erase "
                                "(the chip wants its pages in order)");
    }
  }
  if (programs_[page] != 0xFF) {
    ++programs_[page];
  }
  if (programs_[page] > kNandPartialPrograms) {
    CurrentMachine().DebugLog(
        "nand: page " + std::to_string(page) + " programmed " + std::to_string(programs_[page]) +
        (programs_[page] == 0xFF ? " or more" : "") + " times since its erase; the chip allows " +
        std::to_string(kNandPartialPrograms));
  }
}

void NandFlash::Sense(std::uint32_t page, std::uint8_t* data, std::uint8_t* spare) {
  ReadRawPage(page, data, spare);
  ApplyDisturb(page, data);
  ApplyBitFlips(page, data);
}

void NandFlash::CommitErase(std::uint32_t block) {
  // Erased flash is 0xFF, stored as 0: give the ranges back to the file system as holes.
  const std::uint64_t dataOffset = std::uint64_t{block} * kNandBlockBytes;
  const std::uint64_t spareOffset = std::uint64_t{block} * kNandPagesPerBlock * kNandSpareBytes;
  constexpr std::uint64_t kSpareBlockBytes = kNandPagesPerBlock * kNandSpareBytes;
  if (::fallocate(imageFd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(dataOffset), kNandBlockBytes) != 0) {
    std::memset(image_ + dataOffset, 0, kNandBlockBytes);
  }
  if (::fallocate(spareFd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(spareOffset), kSpareBlockBytes) != 0) {
    std::memset(spare_ + spareOffset, 0, kSpareBlockBytes);
  }
  std::memset(programs_ + std::uint64_t{block} * kNandPagesPerBlock, 0, kNandPagesPerBlock);
  outOfOrder_[block] = 0;
}

bool NandFlash::BlockAlwaysFails(std::uint32_t block, const std::string& what) {
  if (std::find(factoryBad_.begin(), factoryBad_.end(), block) != factoryBad_.end()) {
    return true;
  }
  return CurrentMachine().Faults().Fire(
             kBadBlock, [&](const FaultItem& item) { return item.Unsigned("block") == block; },
             [&] { return what; }) != nullptr;
}

bool NandFlash::EraseBlockPhysical(std::uint32_t block) {
  FaultPlan& plan = CurrentMachine().Faults();
  const std::string what = "erase of block " + std::to_string(block);
  if (const FaultPlan::Power power = plan.FlashOperation([&] { return what; });
      power != FaultPlan::Power::kOn) {
    if (power == FaultPlan::Power::kFailing) {
      plan.PowerLost();
    }
    return true;  // without power the block keeps what it held
  }
  if (BlockAlwaysFails(block, what)) {
    return false;
  }
  if (plan.Fire(
          kEraseFail, [&](const FaultItem& item) { return item.Unsigned("block") == block; },
          [&] { return what; }) != nullptr) {
    return false;
  }
  const std::uint32_t erases = *WearCounter(block);
  if (plan.Fire(
          kWornBlock,
          [&](const FaultItem& item) {
            return item.Unsigned("block") == block && erases >= item.Unsigned("erases");
          },
          [&] { return what + " after " + std::to_string(erases) + " erases"; }) != nullptr) {
    return false;
  }
  CommitErase(block);
  ++*WearCounter(block);
  return true;
}

NandFlash::ProgramOutcome NandFlash::ProgramPage(std::uint32_t page, const std::uint8_t* data,
                                                 const std::uint8_t* spare, bool eccOn) {
  std::uint8_t* storedData = image_ + std::uint64_t{page} * kNandPageBytes;
  std::uint8_t* storedSpare = spare_ + std::uint64_t{page} * kNandSpareBytes;
  const FaultPlan::Power power = CurrentMachine().Faults().FlashOperation(
      [&] { return "program of page " + std::to_string(page); });
  if (power == FaultPlan::Power::kOff) {
    return ProgramOutcome::kDone;  // without power nothing reaches the array
  }
  if (!PageErased(page)) {
    if (eccOn) {
      ControllerFault("page " + std::to_string(page) +
                      " programmed a second time since its erase with ECC on (the second code "
                      "would be ANDed into the first one)");
    }
    // A partial program without ECC may only clear bits; 0xFF leaves a byte alone.
    for (std::uint32_t i = 0; i < kNandPageBytes + kNandSpareBytes; ++i) {
      const std::uint8_t wanted = i < kNandPageBytes ? data[i] : spare[i - kNandPageBytes];
      const std::uint8_t stored = static_cast<std::uint8_t>(
          ~(i < kNandPageBytes ? storedData[i] : storedSpare[i - kNandPageBytes]));
      if (wanted != 0xFF && (stored & wanted) != wanted) {
        ControllerFault("page " + std::to_string(page) + " programmed again at byte " +
                        std::to_string(i) + ": " + Hex(wanted, 2) + " over " + Hex(stored, 2) +
                        " would need a 0 bit to become 1 (erase the block first)");
      }
    }
  }
  CountProgram(page);
  const bool badBlock =
      BlockAlwaysFails(page / kNandPagesPerBlock, "program of page " + std::to_string(page));
  const FaultPlan::ItemRef failure =
      badBlock
          ? nullptr
          : CurrentMachine().Faults().Fire(
                kProgramFail, [&](const FaultItem& item) { return item.Unsigned("page") == page; },
                [&] { return "program of page " + std::to_string(page); });
  const bool failed = badBlock || failure != nullptr;
  const bool oneStuckBit = failure != nullptr && power != FaultPlan::Power::kFailing &&
                           failure->String("leaves", kLeavesEveryOtherByte) == kLeavesOneStuckBit;
  // Programming clears the bits that are 0 in the new data: file byte |= ~new byte. An aborted
  // program (or one cut short by the power) reaches only every other byte; a page with one
  // stuck bit keeps the first bit the program should have cleared.
  std::uint32_t stuckByte = kNandPageBytes + kNandSpareBytes;  // none
  std::uint8_t stuckMask = 0;
  if (oneStuckBit) {
    for (std::uint32_t i = 0; i < kNandPageBytes + kNandSpareBytes && stuckMask == 0; ++i) {
      const std::uint8_t stored =
          i < kNandPageBytes ? storedData[i] : storedSpare[i - kNandPageBytes];
      const std::uint8_t wanted = i < kNandPageBytes ? data[i] : spare[i - kNandPageBytes];
      const auto cleared = static_cast<std::uint8_t>(~wanted & ~stored);
      if (cleared != 0) {
        stuckByte = i;
        stuckMask = static_cast<std::uint8_t>(cleared & -cleared);
      }
    }
  }
  const std::uint32_t step =
      (failed && !oneStuckBit) || power == FaultPlan::Power::kFailing ? 2 : 1;
  for (std::uint32_t i = 0; i < kNandPageBytes; i += step) {
    storedData[i] |= static_cast<std::uint8_t>(~data[i] & (i == stuckByte ? ~stuckMask : 0xFF));
  }
  for (std::uint32_t i = 0; i < kNandSpareBytes; i += step) {
    storedSpare[i] |= static_cast<std::uint8_t>(
        ~spare[i] & (i + kNandPageBytes == stuckByte ? ~stuckMask : 0xFF));
  }
  if (power == FaultPlan::Power::kFailing) {
    CurrentMachine().Faults().PowerLost();
  }
  return failed ? ProgramOutcome::kFailed : ProgramOutcome::kDone;
}

// ---------------------------------------------------------------------------------------------
// Fault plan
// ---------------------------------------------------------------------------------------------
void NandFlash::ApplyBitFlips(std::uint32_t page, std::uint8_t* data) {
  const std::vector<FaultPlan::ItemRef> items = CurrentMachine().Faults().FireEach(
      kBitFlip, [&](const FaultItem& item) { return item.Unsigned("page") == page; },
      [&] { return "read of page " + std::to_string(page); });
  for (const FaultPlan::ItemRef& item : items) {
    std::vector<std::uint32_t> positions;
    if (item->Has("positions")) {
      const auto given = item->Numbers("positions");
      positions.assign(given.begin(), given.end());
    } else {
      const auto bits = static_cast<std::uint32_t>(item->Unsigned("bits", 1));
      // Distinct bit positions, the same for every run of the plan.
      for (std::uint64_t k = 0; positions.size() < bits; ++k) {
        const auto bit = static_cast<std::uint32_t>(Mix(page * 0x9E3779B97F4A7C15ull + k) %
                                                    (kNandPageBytes * 8));
        if (std::find(positions.begin(), positions.end(), bit) == positions.end()) {
          positions.push_back(bit);
        }
      }
    }
    for (std::uint32_t bit : positions) {
      data[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
  }
}

void NandFlash::ApplyDisturb(std::uint32_t page, std::uint8_t* data) {
  if (programs_[page] <= kNandPartialPrograms) {
    return;
  }
  FaultPlan& plan = CurrentMachine().Faults();
  if (!plan.Holds(kDisturb)) {
    return;
  }
  const std::uint32_t programs = programs_[page];
  const std::vector<FaultPlan::ItemRef> items = plan.FireEach(
      kDisturb,
      [&](const FaultItem& item) { return !item.Has("page") || item.Unsigned("page") == page; },
      [&] {
        return "read of page " + std::to_string(page) + ", programmed " + std::to_string(programs) +
               " times since its erase";
      });
  for (const FaultPlan::ItemRef& item : items) {
    if (item->Has("positions")) {
      for (std::uint32_t bit : item->Numbers("positions")) {
        data[bit / 8] &= static_cast<std::uint8_t>(~(1u << (bit % 8)));
      }
      continue;
    }
    // Distinct 1 bits, the same for every run of the plan: a disturbed cell reads programmed.
    std::uint32_t ones = 0;
    for (std::uint32_t i = 0; i < kNandPageBytes; ++i) {
      ones += static_cast<std::uint32_t>(std::popcount(static_cast<unsigned>(data[i])));
    }
    auto bits =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(item->Unsigned("bits", 1), ones));
    for (std::uint64_t k = 0; bits > 0; ++k) {
      const auto bit =
          static_cast<std::uint32_t>(Mix(page * 0xD1B54A32D192ED03ull + k) % (kNandPageBytes * 8));
      const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
      if ((data[bit / 8] & mask) != 0) {
        data[bit / 8] &= static_cast<std::uint8_t>(~mask);
        --bits;
      }
    }
  }
}

bool NandFlash::TakeNoRequest(bool dataRequest) {
  const std::string_view request = dataRequest ? "data" : "command";
  return CurrentMachine().Faults().Fire(
             kNoRequest,
             [&](const FaultItem& item) { return item.String("request", "command") == request; },
             [&] {
               return std::string(request) + " request of command " + Hex(commandWords_[0], 8);
             }) != nullptr;
}

std::array<std::uint8_t, 5> NandFlash::Identifier() {
  std::array<std::uint8_t, 5> idBytes = chip_->idBytes;
  if (const FaultPlan::ItemRef item = CurrentMachine().Faults().Fire(
          kId, [](const FaultItem&) { return true; }, [] { return std::string("READ ID"); })) {
    const std::uint64_t id = item->Unsigned("id");
    idBytes[0] = static_cast<std::uint8_t>(id);
    idBytes[1] = static_cast<std::uint8_t>(id >> 8);
  }
  return idBytes;
}

// ---------------------------------------------------------------------------------------------
// Controller: timing
// ---------------------------------------------------------------------------------------------
std::uint32_t NandFlash::Ndcr() const { return registers_ != nullptr ? registers_->ndcr : 0; }
std::uint32_t NandFlash::Ndtr0() const { return registers_ != nullptr ? registers_->ndtr0 : 0; }
std::uint32_t NandFlash::Ndtr1() const { return registers_ != nullptr ? registers_->ndtr1 : 0; }

std::uint64_t NandFlash::CycleNs(std::uint32_t cycles) const {
  return std::uint64_t{cycles} * 1000 / clockMhz_;
}

// Picoseconds per byte over the chip interface: a read strobe is tRP + tRH, a write strobe
// tWP + tWH, each field counting cycles - 1.
std::uint64_t NandFlash::ReadCyclePs() const {
  const std::uint32_t ndtr0 = registers_->ndtr0;
  return std::uint64_t{((ndtr0 & 7) + 1) + (((ndtr0 >> 3) & 7) + 1)} * 1000000 / clockMhz_;
}

std::uint64_t NandFlash::WriteCyclePs() const {
  const std::uint32_t ndtr0 = registers_->ndtr0;
  return std::uint64_t{(((ndtr0 >> 8) & 7) + 1) + (((ndtr0 >> 11) & 7) + 1)} * 1000000 / clockMhz_;
}

void NandFlash::CheckTimings() const {
  const std::uint32_t ndtr0 = registers_->ndtr0;
  const std::uint32_t ndtr1 = registers_->ndtr1;
  struct Field {
    const char* name;
    const char* reg;
    std::uint32_t field;
    std::uint32_t minimum;
  };
  const Field fields[] = {
      {"tCH", "NDTR0CS0", (ndtr0 >> 19) & 7, chip_->tCH},
      {"tCS", "NDTR0CS0", (ndtr0 >> 16) & 7, chip_->tCS},
      {"tWH", "NDTR0CS0", (ndtr0 >> 11) & 7, chip_->tWH},
      {"tWP", "NDTR0CS0", (ndtr0 >> 8) & 7, chip_->tWP},
      {"tRH", "NDTR0CS0", (ndtr0 >> 3) & 7, chip_->tRH},
      {"tRP", "NDTR0CS0", ndtr0 & 7, chip_->tRP},
      {"tWHR", "NDTR1CS0", (ndtr1 >> 4) & 15, chip_->tWHR},
      {"tAR", "NDTR1CS0", ndtr1 & 15, chip_->tAR},
  };
  for (const Field& field : fields) {
    if ((field.field + 1) * 1000 < field.minimum * clockMhz_) {
      ControllerFault(std::string(field.reg) + " gives " + field.name + " " +
                      std::to_string(field.field + 1) + " cycles at " + std::to_string(clockMhz_) +
                      " MHz, shorter than the chip's " + std::to_string(field.minimum) + " ns");
    }
  }
}

std::uint32_t NandFlash::SpareShown(std::uint32_t ndcr) const {
  if ((ndcr & NDCR_SPARE_EN) == 0) {
    return 0;
  }
  const bool large = (ndcr & NDCR_PAGE_SZ) != 0;
  if ((ndcr & NDCR_ECC_EN) != 0) {
    return large ? kNandEccVisibleSpare : 8;
  }
  return large ? kNandSpareBytes : 16;
}

void NandFlash::ControllerFault(const std::string& what) const {
  Fault("data flash controller: " + what);
}

// ---------------------------------------------------------------------------------------------
// Controller: registers
// ---------------------------------------------------------------------------------------------
void NandFlash::FlushBusTime() {
  if (pendingAccesses_ == 0) {
    return;
  }
  const std::uint64_t ns = pendingAccesses_ * kBusAccessNs;
  pendingAccesses_ = 0;
  totals_.busNs += ns;
  CurrentMachine().Clock().Advance(ns);
}

void NandFlash::ScheduleEvent(std::uint64_t at, int kind) {
  std::uint32_t i = eventCount_;
  while (i > 0 && events_[i - 1].at > at) {
    events_[i] = events_[i - 1];
    --i;
  }
  events_[i] = Event{at, kind};
  ++eventCount_;
}

// Applies the events that are due. waitForNext: the processor is polling the status register,
// so time runs on to the next event (the polling loop would have spun that long).
void NandFlash::Settle(bool waitForNext) {
  if (eventCount_ == 0) {
    return;
  }
  VirtualClock& clock = CurrentMachine().Clock();
  std::uint64_t now = clock.Now();
  if (events_[0].at > now) {
    if (!waitForNext) {
      return;
    }
    clock.AdvanceTo(events_[0].at);
    now = std::max(clock.Now(), events_[0].at);
  }
  while (eventCount_ > 0 && events_[0].at <= now) {
    const Event event = events_[0];
    for (std::uint32_t i = 1; i < eventCount_; ++i) {
      events_[i - 1] = events_[i];
    }
    --eventCount_;
    switch (event.kind) {
      case kEventReady:
        ndsr_ |= NDSR_RDY;
        break;
      case kEventReadData:
        ndsr_ |= NDSR_RDDREQ | pendingStatus_;
        pendingStatus_ = 0;
        phase_ = Phase::kReadData;
        break;
      case kEventWriteData:
        ndsr_ |= NDSR_WRDREQ;
        phase_ = Phase::kWriteData;
        break;
      case kEventComplete:
        Complete(completionBits_);
        break;
      default:
        break;
    }
  }
}

void NandFlash::TakeInterrupts() {
  if (!osDriverLoaded_) {
    return;
  }
  const std::uint32_t taken = ndsr_ & ~registers_->ndcr & NDCR_INTERRUPT_MASKS;
  if (taken == 0) {
    return;
  }
  // The OS driver's interrupt handler acknowledges what it is given, as for a command of its
  // own: the bits are gone before the processor's next read of NDSR.
  ndsr_ &= ~taken;
  if (!interruptLogged_) {
    interruptLogged_ = true;
    CurrentMachine().DebugLog("nand: the OS driver's interrupt handler took NDSR bits " +
                              Hex(taken, 3) + " (NDCR " + Hex(registers_->ndcr, 8) +
                              " leaves them unmasked)");
  }
}

void NandFlash::Complete(std::uint32_t statusBits) {
  ndsr_ |= statusBits;
  registers_->ndcr &= ~NDCR_ND_RUN;
  phase_ = Phase::kIdle;
  eventCount_ = 0;
  if (logging_ && !log_.empty()) {
    log_.back().dataBytes = position_;
  }
}

std::uint32_t NandFlash::Read32(std::uint32_t offset) {
  ++registerAccesses_;
  ++pendingAccesses_;
  if (offset == NDDB) [[likely]] {
    if (phase_ != Phase::kReadData) [[unlikely]] {
      Settle(false);
      if (phase_ != Phase::kReadData) {
        ControllerFault("NDDB read without a read data request");
      }
    }
    std::uint32_t word;
    std::memcpy(&word, buffer_.data() + position_, 4);
    position_ += 4;
    if (position_ >= transferBytes_) {
      FinishDataPhase();
    }
    return word;
  }
  switch (offset) {
    case NDSR:
      FlushBusTime();
      Settle(true);
      TakeInterrupts();
      return ndsr_;
    case NDCR:
      Settle(false);
      return registers_->ndcr;
    case NDTR0CS0:
      return registers_->ndtr0;
    case NDTR1CS0:
      return registers_->ndtr1;
    case NDPCR:
      return 0;
    case NDBDR0:
      return badBlockRow_[0];
    case NDBDR1:
      return badBlockRow_[1];
    case NDCB0:
      return commandWords_[0];
    case NDCB1:
      return commandWords_[1];
    case NDCB2:
      return commandWords_[2];
    default:
      ControllerFault("read of undefined register offset " + Hex(offset, 3));
  }
}

void NandFlash::Write32(std::uint32_t offset, std::uint32_t value) {
  ++registerAccesses_;
  ++pendingAccesses_;
  if (offset == NDDB) [[likely]] {
    if (phase_ != Phase::kWriteData) [[unlikely]] {
      Settle(false);
      if (phase_ != Phase::kWriteData) {
        ControllerFault("NDDB write without a write data request");
      }
    }
    std::memcpy(buffer_.data() + position_, &value, 4);
    position_ += 4;
    if (position_ >= transferBytes_) {
      FinishDataPhase();
    }
    return;
  }
  switch (offset) {
    case NDCR:
      WriteControl(value);
      return;
    case NDTR0CS0:
      registers_->ndtr0 = value & 0x003FFFFF;
      return;
    case NDTR1CS0:
      registers_->ndtr1 = value & 0xFFFF00FF;
      return;
    case NDSR:
      Settle(false);
      ndsr_ &= ~(value & 0xFFF);
      return;
    case NDCB0:
      LatchCommandWord(value);
      return;
    default:
      ControllerFault("write of " + Hex(value, 8) + " to " +
                      (offset == NDCB1 || offset == NDCB2
                           ? std::string("NDCB1/NDCB2 (every command word goes to NDCB0)")
                           : "undefined or read-only register offset " + Hex(offset, 3)));
  }
}

void NandFlash::WriteControl(std::uint32_t value) {
  FlushBusTime();
  Settle(false);
  const bool run = (value & NDCR_ND_RUN) != 0;
  if (!run) {
    // Clearing ND_RUN stops whatever command was in progress.
    phase_ = Phase::kIdle;
    eventCount_ = 0;
    latched_ = 0;
    registers_->ndcr = value;
    return;
  }
  if (phase_ != Phase::kIdle && !(phase_ == Phase::kAwaitingCommand && latched_ == 0)) {
    ControllerFault("ND_RUN set while a command is in progress (finish it, or clear ND_RUN)");
  }
  registers_->ndcr = value;
  runNdcr_ = value;
  interruptLogged_ = false;
  phase_ = Phase::kAwaitingCommand;
  latched_ = 0;
  commandRequested_ = !TakeNoRequest(false);
  if (commandRequested_) {
    ndsr_ |= NDSR_WRCMDREQ;
  }
}

void NandFlash::LatchCommandWord(std::uint32_t value) {
  if (phase_ != Phase::kAwaitingCommand || !commandRequested_) {
    ControllerFault("NDCB0 written without a write command request");
  }
  commandWords_[latched_++] = value;
  if (latched_ == 3) {
    latched_ = 0;
    StartCommand();
  }
}

void NandFlash::StartCommand() {
  FlushBusTime();
  const std::uint32_t command = commandWords_[0];
  const std::uint32_t address1 = commandWords_[1];
  const std::uint32_t address2 = commandWords_[2];
  const std::uint32_t ndcr = runNdcr_;
  const std::uint32_t cmd1 = command & NDCB0_CMD1;
  const std::uint32_t cmd2 = (command & NDCB0_CMD2) >> 8;
  const std::uint32_t cycles = (command >> NDCB0_ADDR_CYC_SHIFT) & 7;
  const bool doubleByte = (command & NDCB0_DBC) != 0;
  type_ = static_cast<int>((command >> NDCB0_CMD_TYPE_SHIFT) & 7);
  chipSelect_ = (command & NDCB0_CSEL) != 0 ? 1 : 0;
  autoStatus_ = (command & NDCB0_AUTO_RS) != 0;
  if ((command & (NDCB0_RESERVED | NDCB0_NC)) != 0) {
    ControllerFault("command word " + Hex(command, 8) +
                    " uses bits that this module's image "
                    "never sets (chained or DMA commands)");
  }
  if ((ndcr & NDCR_DMA_EN) != 0) {
    ControllerFault("DMA_EN set: data would move by DMA while the processor polls NDDB");
  }
  if (chipSelect_ >= chip_->chipSelects) {
    ControllerFault("command on chip select 1, which has no chip on this module");
  }
  CheckTimings();
  eccOn_ = (ndcr & NDCR_ECC_EN) != 0;
  position_ = 0;
  transferBytes_ = 0;
  pendingStatus_ = 0;
  eventCount_ = 0;
  phase_ = Phase::kWaiting;
  const std::uint32_t cmdDone = chipSelect_ != 0 ? NDSR_CS1_CMDD : NDSR_CS0_CMDD;
  const std::uint32_t pageDone = chipSelect_ != 0 ? NDSR_CS1_PAGED : NDSR_CS0_PAGED;
  const std::uint32_t badBlock = chipSelect_ != 0 ? NDSR_CS1_BBD : NDSR_CS0_BBD;
  const std::uint32_t pagesPerSelect = PageCount() / chip_->chipSelects;
  const std::uint64_t now = CurrentMachine().Clock().Now();
  // Command and address bytes go out one write strobe each.
  const std::uint64_t issued = now + (1 + cycles + (doubleByte ? 1 : 0)) * WriteCyclePs() / 1000;
  const bool dataStuck = type_ != kTypeErase && type_ != kTypeReset && TakeNoRequest(true);

  auto requireDataConfiguration = [&]() {
    if ((ndcr & NDCR_PAGE_SZ) != 1u << 24 || (ndcr & NDCR_PG_PER_BLK) == 0 ||
        (ndcr & NDCR_RA_START) == 0) {
      ControllerFault("NDCR " + Hex(ndcr, 8) +
                      " does not describe the chip (2048-byte pages, 64 pages per block, row "
                      "address from the third cycle)");
    }
  };
  auto pageAddress = [&]() -> std::uint32_t {
    if (cycles != chip_->readAddressCycles) {
      ControllerFault(std::to_string(cycles) + " address cycles; the chip takes " +
                      std::to_string(chip_->readAddressCycles) + " for a page");
    }
    if ((address1 & 0xFFFF) != 0) {
      ControllerFault("column address " + Hex(address1 & 0xFFFF, 4) +
                      ": pages are transferred whole from column 0");
    }
    std::uint32_t row = address1 >> 16;
    if (cycles == 5) {
      row |= (address2 & 0xFF) << 16;
    }
    if (row >= pagesPerSelect) {
      ControllerFault("row address " + Hex(row) + " lies beyond the chip");
    }
    return row;
  };
  auto requireCommand = [&](std::uint32_t first, std::uint32_t second, const char* name) {
    if (cmd1 != first || cmd2 != second || doubleByte != (second != 0)) {
      ControllerFault(std::string(name) + " command with bytes " + Hex(cmd1, 2) + "/" +
                      Hex(cmd2, 2) + (doubleByte ? " (double byte)" : "") + "; the chip takes " +
                      Hex(first, 2) + (second != 0 ? "/" + Hex(second, 2) : std::string()));
    }
  };

  NandCommandRecord record{ndcr, command, address1, address2, 0, chipSelect_, 0};
  switch (type_) {
    case kTypeRead: {
      if (cmd1 == 0x90) {
        // READ ID issued as a read: the chip repeats its identifier bytes for as long as the
        // controller strobes, and the controller reads a page of the configured size.
        if (cycles != 1 || (address1 & 0xFF) != 0) {
          ControllerFault("READ ID needs one address cycle of 0x00");
        }
        const std::uint32_t pageBytes = (ndcr & NDCR_PAGE_SZ) != 0 ? kNandPageBytes : 512;
        transferBytes_ = pageBytes + SpareShown(ndcr);
        const std::array<std::uint8_t, 5> idBytes = Identifier();
        for (std::uint32_t i = 0; i < transferBytes_; ++i) {
          buffer_[i] = idBytes[i % idBytes.size()];
        }
        if (!dataStuck) {
          ScheduleEvent(issued + transferBytes_ * ReadCyclePs() / 1000, kEventReadData);
        }
        completionBits_ = cmdDone | pageDone;
        break;
      }
      requireCommand(0x00, 0x30, "read");
      requireDataConfiguration();
      row_ = pageAddress();
      record.page = row_;
      const std::uint32_t page = chipSelect_ * pagesPerSelect + row_;
      std::uint8_t spare[kNandSpareBytes];
      Sense(page, buffer_.data(), spare);
      if (eccOn_) {
        switch (NandEccDecode(buffer_.data(), spare)) {
          case NandEccResult::kCorrected:
            pendingStatus_ = NDSR_CORERR;
            break;
          case NandEccResult::kUncorrectable:
            pendingStatus_ = NDSR_UNCERR;
            break;
          default:
            break;
        }
      }
      const std::uint32_t shown = SpareShown(ndcr);
      std::memcpy(buffer_.data() + kNandPageBytes, spare, shown);
      transferBytes_ = kNandPageBytes + shown;
      const std::uint64_t waitNs =
          std::max(chip_->readBusy, CycleNs((registers_->ndtr1 >> 16) + 1));
      const std::uint64_t transferNs = (kNandPageBytes + kNandSpareBytes) * ReadCyclePs() / 1000;
      ScheduleEvent(issued + waitNs, kEventReady);
      if (!dataStuck) {
        ScheduleEvent(issued + waitNs + transferNs, kEventReadData);
      }
      ++totals_.reads;
      totals_.arrayNs += waitNs;
      totals_.transferNs += transferNs;
      completionBits_ = cmdDone | pageDone;
      break;
    }
    case kTypeProgram: {
      requireCommand(0x80, 0x10, "program");
      requireDataConfiguration();
      row_ = pageAddress();
      record.page = row_;
      transferBytes_ = kNandPageBytes + SpareShown(ndcr);
      if (!dataStuck) {
        ScheduleEvent(issued, kEventWriteData);
      }
      break;
    }
    case kTypeErase: {
      requireCommand(0x60, 0xD0, "erase");
      if (cycles != chip_->eraseAddressCycles) {
        ControllerFault(std::to_string(cycles) + " address cycles; the chip takes " +
                        std::to_string(chip_->eraseAddressCycles) + " for an erase");
      }
      const std::uint32_t row = address1 & ((1u << (8 * cycles)) - 1);
      if (row != address1 || address2 != 0) {
        ControllerFault("erase address " + Hex(address1, 8) + "/" + Hex(address2, 8) +
                        " has bits beyond its " + std::to_string(cycles) + " row cycles");
      }
      if (row >= pagesPerSelect) {
        ControllerFault("row address " + Hex(row) + " lies beyond the chip");
      }
      row_ = row;
      record.page = row;
      const std::uint32_t block = (chipSelect_ * pagesPerSelect + row) / kNandPagesPerBlock;
      const bool erased = EraseBlockPhysical(block);
      completionBits_ = NDSR_RDY | cmdDone;
      if (!erased && autoStatus_) {
        completionBits_ |= badBlock;
        badBlockRow_[chipSelect_] = row;
      }
      ScheduleEvent(issued + chip_->eraseBusy, kEventComplete);
      ++totals_.erases;
      totals_.arrayNs += chip_->eraseBusy;
      break;
    }
    case kTypeReadId: {
      requireCommand(0x90, 0x00, "read identifier");
      if (cycles != 1 || (address1 & 0xFF) != 0) {
        ControllerFault("READ ID needs one address cycle of 0x00");
      }
      // The controller latches RD_ID_CNT identifier bytes into an 8-byte buffer.
      const std::uint32_t count = (ndcr & NDCR_RD_ID_CNT) >> 16;
      transferBytes_ = 8;
      const std::array<std::uint8_t, 5> idBytes = Identifier();
      for (std::uint32_t i = 0; i < 8; ++i) {
        buffer_[i] = i < count && i < idBytes.size() ? idBytes[i] : 0;
      }
      if (!dataStuck) {
        ScheduleEvent(
            issued + CycleNs(((registers_->ndtr1 >> 4) & 15) + 1) + count * ReadCyclePs() / 1000,
            kEventReadData);
      }
      completionBits_ = cmdDone;
      break;
    }
    case kTypeReset: {
      requireCommand(0xFF, 0x00, "reset");
      if (cycles != 0) {
        ControllerFault("RESET takes no address cycles");
      }
      completionBits_ = NDSR_RDY | cmdDone;
      ScheduleEvent(issued + chip_->resetBusy, kEventComplete);
      totals_.arrayNs += chip_->resetBusy;
      break;
    }
    default:
      ControllerFault("command type " + std::to_string(type_) + " is not used by this module");
  }
  if (logging_) {
    log_.push_back(record);
  }
}

void NandFlash::FinishDataPhase() {
  FlushBusTime();
  if (type_ != kTypeProgram) {
    Complete(completionBits_);
    return;
  }
  // The FIFO holds the page: it goes over the chip interface, then the array programs it.
  phase_ = Phase::kWaiting;
  const std::uint32_t shown = SpareShown(runNdcr_);
  std::uint8_t spare[kNandSpareBytes];
  std::memset(spare, 0xFF, sizeof(spare));
  std::memcpy(spare, buffer_.data() + kNandPageBytes, shown);
  if (eccOn_) {
    NandEccEncode(buffer_.data(), spare, spare + kNandEccVisibleSpare);
  }
  const std::uint32_t pagesPerSelect = PageCount() / chip_->chipSelects;
  const std::uint32_t page = chipSelect_ * pagesPerSelect + row_;
  const bool failed = ProgramPage(page, buffer_.data(), spare, eccOn_) == ProgramOutcome::kFailed;
  const std::uint32_t cmdDone = chipSelect_ != 0 ? NDSR_CS1_CMDD : NDSR_CS0_CMDD;
  const std::uint32_t pageDone = chipSelect_ != 0 ? NDSR_CS1_PAGED : NDSR_CS0_PAGED;
  completionBits_ = NDSR_RDY | cmdDone | pageDone;
  if (failed && autoStatus_) {
    completionBits_ |= chipSelect_ != 0 ? NDSR_CS1_BBD : NDSR_CS0_BBD;
    badBlockRow_[chipSelect_] = row_;
  }
  const std::uint64_t transferNs = (kNandPageBytes + kNandSpareBytes) * WriteCyclePs() / 1000;
  ScheduleEvent(CurrentMachine().Clock().Now() + transferNs + chip_->programBusy, kEventComplete);
  ++totals_.programs;
  totals_.arrayNs += chip_->programBusy;
  totals_.transferNs += transferNs;
  if (logging_ && !log_.empty()) {
    log_.back().dataBytes = position_;
  }
}

void NandFlash::StartCommandLog() {
  logging_ = true;
  log_.clear();
}

NandBusyTotals NandFlash::Totals() const { return totals_; }

// ---------------------------------------------------------------------------------------------
// flashwick-module info
// ---------------------------------------------------------------------------------------------
void NandFlash::Describe(Machine& /*machine*/, Json& info) {
  if (!Present()) {
    return;
  }
  std::uint8_t table[kNandPageBytes];
  ReadRawPage(kNandTablePage, table, nullptr);
  Json entries = Json::array();
  if (Get16(table) == kNandTableMagic) {
    for (std::uint32_t entry = 0; entry < kNandTableMaxEntries; ++entry) {
      const std::uint16_t logical = Get16(table + 4 + 4 * entry);
      if (logical == 0xFFFF) {
        break;
      }
      entries.push_back({{"logical", logical}, {"replacement", Get16(table + 6 + 4 * entry)}});
    }
  }
  const std::uint8_t* shared = SharedTable(false);
  std::string sharedState = "not created";
  if (shared != nullptr) {
    sharedState = Get32(shared) == kNandSharedTableMagic ? "loaded (\"BBMT\")" : "empty";
  }
  std::uint32_t mostErased = 0;
  for (std::uint32_t block = 0; block < BlockCount(); ++block) {
    if (EraseCount(block) > EraseCount(mostErased)) {
      mostErased = block;
    }
  }
  // Pages past the chip's partial-program limit and blocks programmed out of page order since
  // their erase: the first few of each by number, and how many there are.
  constexpr std::size_t kListed = 16;
  Json pastLimit = Json::array();
  Json outOfOrder = Json::array();
  std::uint64_t pagesPastLimit = 0;
  std::uint64_t blocksOutOfOrder = 0;
  for (std::uint32_t page = 0; page < PageCount(); ++page) {
    if (programs_[page] > kNandPartialPrograms && ++pagesPastLimit <= kListed) {
      pastLimit.push_back({{"page", page}, {"programs", programs_[page]}});
    }
  }
  for (std::uint32_t block = 0; block < BlockCount(); ++block) {
    if (outOfOrder_[block] != 0 && ++blocksOutOfOrder <= kListed) {
      outOfOrder.push_back({{"block", block}, {"programs", outOfOrder_[block]}});
    }
  }
  struct stat imageInfo {};
  ::fstat(imageFd_, &imageInfo);
  info["flash"] = {
      {"kind", "nand"},
      {"chipId", Hex(chip_->id, 4)},
      {"chip", chip_->description},
      {"blocks", BlockCount()},
      {"chipSelects", chip_->chipSelects},
      {"pageBytes", kNandPageBytes},
      {"spareBytes", kNandSpareBytes},
      {"reservedBlocks", ReservedBlocks()},
      {"usableBytes", Hex(Size())},
      {"storage", "complemented"},
      {"osDriverLoaded", osDriverLoaded_},
      {"controller",
       {{"NDCR", Hex(Ndcr(), 8)},
        {"NDTR0CS0", Hex(Ndtr0(), 8)},
        {"NDTR1CS0", Hex(Ndtr1(), 8)},
        {"clockMHz", clockMhz_}}},
      {"tablePage", Get16(table) == kNandTableMagic ? "valid" : "no magic"},
      {"relocations", entries},
      {"sharedTable", sharedState},
      {"factoryBadBlocks", factoryBad_},
      {"mostErasedBlock", {{"block", mostErased}, {"erases", EraseCount(mostErased)}}},
      {"programsSinceErase",
       {{"partialProgramLimit", kNandPartialPrograms},
        {"tablePagePrograms", programs_[kNandTablePage]},
        {"pagesPastLimit", pagesPastLimit},
        {"pagesPastLimitFirst", pastLimit},
        {"blocksOutOfOrder", blocksOutOfOrder},
        {"blocksOutOfOrderFirst", outOfOrder}}},
      {"imageBytesOnDisk", static_cast<std::uint64_t>(imageInfo.st_blocks) * 512},
  };
}

namespace {
NandFlash nandFlash;
}  // namespace

}  // namespace sim
