// The dual-chip NOR flash model (see nor_flash.h).
#include "sim/hw/nor_flash.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

#include "sim/base/hex.h"
#include "sim/module/machine.h"
#include "sim/os/os_flash.h"

namespace sim {
namespace {

// ---------------------------------------------------------------------------------------------
// Chip facts
// ---------------------------------------------------------------------------------------------
// Status register, the low byte of each chip's half.
constexpr std::uint8_t SR_READY = 0x80;          // write state machine ready
constexpr std::uint8_t SR_ERASE_ERROR = 0x20;    // erase failed (with SR.4: bad command sequence)
constexpr std::uint8_t SR_PROGRAM_ERROR = 0x10;  // program failed (with SR.5: bad sequence)
constexpr std::uint8_t SR_BLOCK_LOCKED = 0x02;   // program or erase aimed at a locked block
constexpr std::uint8_t SR_SEQUENCE_ERROR = SR_ERASE_ERROR | SR_PROGRAM_ERROR;
constexpr std::uint8_t SR_CLEARABLE = 0x7F;  // what clear status resets (ready is the chip's own)

// Commands (low byte of a half; the high byte of a command is zero on the x16 bus).
constexpr std::uint16_t CMD_READ_ARRAY = 0x00FF;              // reads return the array
constexpr std::uint16_t CMD_READ_IDENTIFIER = 0x0090;         // maker, device, lock status
constexpr std::uint16_t CMD_CFI_QUERY = 0x0098;               // the query table
constexpr std::uint16_t CMD_READ_STATUS = 0x0070;             // reads return the status register
constexpr std::uint16_t CMD_CLEAR_STATUS = 0x0050;            // clears the sticky error bits
constexpr std::uint16_t CMD_LOCK_SETUP = 0x0060;              // then lock, unlock or lock-down
constexpr std::uint16_t CMD_ERASE_SETUP = 0x0020;             // then confirm: block erase
constexpr std::uint16_t CMD_WORD_PROGRAM = 0x0040;            // then one data word
constexpr std::uint16_t CMD_WORD_PROGRAM_ALTERNATE = 0x0010;  // the same, older code
constexpr std::uint16_t CMD_BUFFERED_PROGRAM = 0x00E8;        // then count - 1, data, confirm
constexpr std::uint16_t CMD_CONFIRM = 0x00D0;     // erase, buffer program and unlock confirm
constexpr std::uint16_t CMD_LOCK_BLOCK = 0x0001;  // lock confirm
constexpr std::uint16_t CMD_LOCK_DOWN = 0x002F;   // lock-down confirm (until power-up)

constexpr std::uint16_t kManufacturerCode = 0x0089;  // the chips' maker

// Identifier mode: word offsets from a block's start.
constexpr std::uint32_t ID_MANUFACTURER = 0;  // maker code
constexpr std::uint32_t ID_DEVICE = 1;        // device code
constexpr std::uint32_t ID_LOCK_STATUS = 2;   // bit 0 locked, bit 1 locked down
constexpr std::uint16_t LOCK_LOCKED = 0x01;   // program and erase refused
constexpr std::uint16_t LOCK_DOWN = 0x02;     // unlock refused too

// Block geometry of one chip, in 16-bit words.
constexpr std::uint32_t kParameterBlockWords = 0x4000;  // 32 KiB parameter blocks
constexpr std::uint32_t kParameterBlocks = 4;
constexpr std::uint32_t kMainBlockWords = 0x10000;  // 128 KiB main blocks
constexpr std::uint32_t kMaxBufferWords = 32;       // 64-byte write buffers at most
constexpr std::uint32_t kMaxBlocksPerChip = 1040;   // a 128 MiB chip: 1024 main + parameters

// One 32-bit access of the processor's static memory interface to the flash: about ten cycles
// of its 104 MHz memory clock (address setup, the chips' ~85 ns access, turnaround).
constexpr std::uint64_t kBusAccessNanoseconds = 100;

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// Bits of the CFI timing bytes used for busy times.
constexpr std::size_t CFI_WORD_PROGRAM = 0;    // 0x1F
constexpr std::size_t CFI_BUFFER_PROGRAM = 1;  // 0x20
constexpr std::size_t CFI_BLOCK_ERASE = 2;     // 0x21

// The device table. Pairs of these chips make 16, 32 and 64 MiB modules. The uniform
// 0x0017..0x0019 chips keep their lock bits in the array across power cycles; the 0x88xx and
// 0x89xx chips hold theirs in latches that power up locked.
constexpr NorChipType kChipTypes[] = {
    // 64, 128 and 256 Mbit uniform-block chips with a 32-byte write buffer, x8/x16, 3 V.
    {
        .deviceCode = 0x0017,
        .chipBytes = 0x0800000,
        .layout = NorLayout::kUniform,
        .bufferBytesLog2 = 5,
        .interfaceCode = 2,
        .vccMinimum = 0x27,
        .vccMaximum = 0x36,
        .timing = {8, 8, 10, 0, 1, 1, 2, 0},
        .lockBits = NorLockBits::kNonVolatile,
    },
    {
        .deviceCode = 0x0018,
        .chipBytes = 0x1000000,
        .layout = NorLayout::kUniform,
        .bufferBytesLog2 = 5,
        .interfaceCode = 2,
        .vccMinimum = 0x27,
        .vccMaximum = 0x36,
        .timing = {8, 8, 10, 0, 1, 1, 2, 0},
        .lockBits = NorLockBits::kNonVolatile,
    },
    {
        .deviceCode = 0x0019,
        .chipBytes = 0x2000000,
        .layout = NorLayout::kUniform,
        .bufferBytesLog2 = 5,
        .interfaceCode = 2,
        .vccMinimum = 0x27,
        .vccMaximum = 0x36,
        .timing = {8, 8, 10, 0, 1, 1, 2, 0},
        .lockBits = NorLockBits::kNonVolatile,
    },
    // 64, 128 and 256 Mbit uniform-block chips, x16, 3 V core.
    {
        .deviceCode = 0x8801,
        .chipBytes = 0x0800000,
        .layout = NorLayout::kUniform,
        .bufferBytesLog2 = 5,
        .interfaceCode = 1,
        .vccMinimum = 0x27,
        .vccMaximum = 0x33,
        .timing = {8, 9, 10, 0, 1, 1, 2, 0},
    },
    {
        .deviceCode = 0x8802,
        .chipBytes = 0x1000000,
        .layout = NorLayout::kUniform,
        .bufferBytesLog2 = 5,
        .interfaceCode = 1,
        .vccMinimum = 0x27,
        .vccMaximum = 0x33,
        .timing = {8, 9, 10, 0, 1, 1, 2, 0},
    },
    {
        .deviceCode = 0x8803,
        .chipBytes = 0x2000000,
        .layout = NorLayout::kUniform,
        .bufferBytesLog2 = 5,
        .interfaceCode = 1,
        .vccMinimum = 0x27,
        .vccMaximum = 0x33,
        .timing = {8, 9, 10, 0, 1, 1, 2, 0},
    },
    // 64, 128, 256 and 256 Mbit bottom-parameter chips with a 64-byte buffer, 1.8 V core.
    {
        .deviceCode = 0x881A,
        .chipBytes = 0x0800000,
        .layout = NorLayout::kBottomParameter,
        .bufferBytesLog2 = 6,
        .interfaceCode = 1,
        .vccMinimum = 0x17,
        .vccMaximum = 0x20,
        .timing = {8, 9, 10, 0, 1, 1, 2, 0},
    },
    {
        .deviceCode = 0x881B,
        .chipBytes = 0x1000000,
        .layout = NorLayout::kBottomParameter,
        .bufferBytesLog2 = 6,
        .interfaceCode = 1,
        .vccMinimum = 0x17,
        .vccMaximum = 0x20,
        .timing = {8, 9, 10, 0, 1, 1, 2, 0},
    },
    {
        .deviceCode = 0x891C,
        .chipBytes = 0x2000000,
        .layout = NorLayout::kBottomParameter,
        .bufferBytesLog2 = 6,
        .interfaceCode = 1,
        .vccMinimum = 0x17,
        .vccMaximum = 0x20,
        .timing = {8, 9, 10, 0, 1, 1, 2, 0},
    },
    {
        .deviceCode = 0x8922,
        .chipBytes = 0x2000000,
        .layout = NorLayout::kBottomParameter,
        .bufferBytesLog2 = 6,
        .interfaceCode = 1,
        .vccMinimum = 0x27,
        .vccMaximum = 0x36,
        .timing = {8, 9, 10, 0, 1, 1, 2, 0},
    },
    // 64 and 128 Mbit bottom-parameter chips of a slower 3 V line.
    {
        .deviceCode = 0x8820,
        .chipBytes = 0x0800000,
        .layout = NorLayout::kBottomParameter,
        .bufferBytesLog2 = 6,
        .interfaceCode = 1,
        .vccMinimum = 0x27,
        .vccMaximum = 0x36,
        .timing = {9, 10, 10, 0, 1, 1, 2, 0},
    },
    {
        .deviceCode = 0x8821,
        .chipBytes = 0x1000000,
        .layout = NorLayout::kBottomParameter,
        .bufferBytesLog2 = 6,
        .interfaceCode = 1,
        .vccMinimum = 0x27,
        .vccMaximum = 0x36,
        .timing = {9, 10, 10, 0, 1, 1, 2, 0},
    },
};
// Timings of a chip the table does not know.
constexpr std::array<std::uint8_t, 8> kDefaultTiming = {8, 8, 10, 0, 1, 1, 2, 0};

constexpr std::uint64_t kMinimumSize = 0x80000;     // two 256 KiB chips
constexpr std::uint64_t kMaximumSize = 0x10000000;  // two 128 MiB chips

constexpr const char* kImageFile = "flash.img";
constexpr const char* kStateFile = "nor-chips";
constexpr const char* kLockFile = "nor-locks.json";  // lock bits of chips that keep them

// Lock-bit configuration of the chips that keep their bits, typical times of their data sheet:
// setting one block's bit, and clearing every block's bit at once.
constexpr std::uint64_t kSetLockBitNanoseconds = 64 * kMicrosecond;
constexpr std::uint64_t kClearLockBitsNanoseconds = 500 * kMillisecond;

// ---------------------------------------------------------------------------------------------
// The chips' volatile state, shared through ram/nor-chips
// ---------------------------------------------------------------------------------------------
enum Operation : std::uint8_t {
  kNoOperation,
  kEraseOperation,
  kProgramOperation,
  kSetLockOperation,     // chips that keep their lock bits: one block's bit
  kClearLocksOperation,  // chips that keep their lock bits: every block's bit
};

struct ChipState {
  NorMode mode;
  std::uint8_t status;             // error bits; ready is derived from the operation
  Operation operation;             // running erase or program
  std::uint8_t pendingError;       // status bits the running operation sets when it ends
  std::uint32_t setupAddress;      // word address of the last setup command
  std::uint64_t busyUntil;         // clock time at which the running operation ends
  std::uint32_t operationAddress;  // first word of the block or of the data
  std::uint32_t operationWords;
  std::uint32_t programWords;  // words that do get programmed (fewer when a word fails)
  std::uint32_t bufferCount;   // words announced
  std::uint32_t bufferFilled;  // words delivered
  std::uint32_t bufferStart;   // word address of the first data word
  std::array<std::uint16_t, kMaxBufferWords> bufferData;
  std::array<std::uint8_t, kMaxBufferWords> bufferPresent;
  std::array<std::uint8_t, kMaxBlocksPerChip> locks;
};

struct SharedState {
  std::uint32_t magic;
  std::uint32_t layoutVersion;
  std::uint64_t size;
  std::uint32_t deviceCode;
  std::uint32_t reserved;
  ChipState chips[2];
};
static_assert(std::is_trivially_copyable_v<SharedState>);
constexpr std::uint32_t kStateMagic = 0x524F4E31;  // "1NOR"
constexpr std::uint32_t kStateLayoutVersion = 1;

// ---------------------------------------------------------------------------------------------
// module.json
// ---------------------------------------------------------------------------------------------
struct NorConfig {
  std::uint32_t size = 0;
  std::uint16_t deviceCode = 0;
  NorChipType chip{};
  std::uint32_t lockedBelow = 0;
};

bool IsNorModule(const Json& config) {
  auto it = config.find("flash");
  if (it == config.end() || !it->is_object()) {
    return false;
  }
  const auto kind = it->find("kind");
  return kind != it->end() && *kind == "nor";
}

bool IsPowerOfTwo(std::uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

// Reads and checks the "flash" section of a NOR module; false after reporting.
bool ReadNorConfig(ConfigReader& reader, NorConfig* result) {
  const std::size_t errorsBefore = reader.Errors().size();
  const std::uint64_t size = reader.Unsigned("flash.size", kMaximumSize);
  if (reader.Errors().size() == errorsBefore &&
      (!IsPowerOfTwo(size) || size < kMinimumSize || size > kMaximumSize)) {
    reader.Error("flash.size", "must be a power of two from " + Hex(kMinimumSize) + " to " +
                                   Hex(kMaximumSize) + " (both chips together)");
  }
  const auto code = static_cast<std::uint16_t>(reader.Unsigned("flash.deviceCode", 0xFFFF));
  const std::string storage = reader.String("flash.storage");
  if (reader.Errors().size() == errorsBefore && storage != "complemented") {
    reader.Error("flash.storage",
                 "must be \"complemented\" (flash.img holds the complement of each flash byte)");
  }
  const std::uint64_t lockedBelow = reader.UnsignedOr("flash.lockedBelow", kMaximumSize, 0);
  NorChipType chip{};
  if (const NorChipType* known = FindNorChipType(code)) {
    chip = *known;
    if (reader.Find("flash.layout") != nullptr || reader.Find("flash.bufferBytes") != nullptr) {
      reader.Error("flash.layout", "device code " + Hex(code, 4) +
                                       " is a known chip: its layout and buffer are its own");
    }
    if (reader.Errors().size() == errorsBefore && size != 2ull * known->chipBytes) {
      reader.Error("flash.size", "device code " + Hex(code, 4) + " is a chip of " +
                                     Hex(known->chipBytes) + " bytes: two of them make " +
                                     Hex(2ull * known->chipBytes));
    }
  } else {
    chip.deviceCode = code;
    chip.chipBytes = static_cast<std::uint32_t>(size / 2);
    const std::string uniform = "uniform";
    const std::string layout = reader.String("flash.layout", &uniform);
    if (layout == "uniform") {
      chip.layout = NorLayout::kUniform;
    } else if (layout == "bottom-parameter") {
      chip.layout = NorLayout::kBottomParameter;
    } else {
      reader.Error("flash.layout", "must be \"uniform\" or \"bottom-parameter\"");
    }
    const std::uint64_t buffer = reader.UnsignedOr("flash.bufferBytes", 64, 32);
    if (buffer != 8 && buffer != 16 && buffer != 32 && buffer != 64) {
      reader.Error("flash.bufferBytes", "must be 8, 16, 32 or 64");
    }
    chip.bufferBytesLog2 = static_cast<std::uint8_t>(__builtin_ctzll(buffer == 0 ? 32 : buffer));
    chip.interfaceCode = 1;
    chip.vccMinimum = 0x27;
    chip.vccMaximum = 0x36;
    chip.timing = kDefaultTiming;
  }
  if (reader.Errors().size() != errorsBefore) {
    return false;
  }
  if (lockedBelow > size) {
    reader.Error("flash.lockedBelow", "lies beyond the flash (" + Hex(size) + " bytes)");
    return false;
  }
  result->size = static_cast<std::uint32_t>(size);
  result->deviceCode = code;
  result->chip = chip;
  result->lockedBelow = static_cast<std::uint32_t>(lockedBelow);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The fault plan kinds of the chips (offsets are flash byte offsets)
// ---------------------------------------------------------------------------------------------
constexpr FaultField kChipField{
    .name = "chip", .maximum = 1, .help = "0 or 1: only that chip (both unless given)"};
constexpr FaultField kEraseFailFields[] = {{.name = "block",
                                            .required = true,
                                            .help = "an offset in the block whose erase fails",
                                            .hex = true},
                                           kChipField};
constexpr FaultField kProgramFailFields[] = {
    {.name = "offset", .required = true, .help = "the offset whose program fails", .hex = true},
    kChipField};
constexpr FaultField kManufacturerFields[] = {{.name = "code",
                                               .required = true,
                                               .help = "the maker code identifier mode answers",
                                               .hex = true},
                                              kChipField};
constexpr FaultField kNeverReadyFields[] = {{.name = "block",
                                             .required = true,
                                             .help = "an offset in the block that never completes",
                                             .hex = true},
                                            kChipField};
constexpr FaultField kCfiByteFields[] = {{.name = "address",
                                          .required = true,
                                          .help = "the CFI query address (in 16-bit words)",
                                          .hex = true},
                                         {.name = "value",
                                          .required = true,
                                          .help = "what the query answers there (low byte)",
                                          .hex = true},
                                         kChipField};
constexpr FaultKind kEraseFail{.name = "nor.erase-fail",
                               .help = "erasing the block fails (erase error in the status)",
                               .fields = kEraseFailFields,
                               .counted = true,
                               .defaultCount = -1};
constexpr FaultKind kProgramFail{
    .name = "nor.program-fail",
    .help = "programming the half-word at the offset fails (program error in the status)",
    .fields = kProgramFailFields,
    .counted = true,
    .defaultCount = -1};
constexpr FaultKind kManufacturer{.name = "nor.manufacturer",
                                  .help = "identifier mode answers another maker",
                                  .fields = kManufacturerFields,
                                  .counted = true,
                                  .defaultCount = -1};
constexpr FaultKind kNeverReady{.name = "nor.never-ready",
                                .help = "an erase or program in the block never completes",
                                .fields = kNeverReadyFields,
                                .counted = true,
                                .defaultCount = -1};
constexpr FaultKind kCfiByte{.name = "nor.cfi-byte",
                             .help = "the CFI query answers another byte at an address",
                             .fields = kCfiByteFields,
                             .counted = true,
                             .defaultCount = -1};
constexpr const FaultKind* kFaultKinds[] = {&kEraseFail,  &kProgramFail, &kManufacturer,
                                            &kNeverReady, &kCfiByte,     &kPowerCutFault};

// Complement copy: flash bytes are stored inverted.
void InvertCopy(std::uint8_t* destination, const std::uint8_t* source, std::size_t bytes) {
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

// ---------------------------------------------------------------------------------------------
// The model
// ---------------------------------------------------------------------------------------------
class NorFlash final : public Component, public BusDevice, public OsFlash {
 public:
  NorFlash() { RegisterComponent(this); }

  // --- Component ---
  const char* ComponentName() const override { return "nor"; }
  bool Create(const PresetSpec& preset, const fs::path& directory, Json& config,
              std::string* error) override;
  void Validate(ConfigReader& reader) override;
  std::span<const FaultKind* const> FaultKinds() const override { return kFaultKinds; }
  bool CheckFiles(const fs::path& directory, const Json& config, std::string* error) override;
  bool Attach(Machine& machine, std::string* error) override;
  void Detach(Machine& machine) override;
  void Describe(Machine& machine, Json& info) override;

  // --- BusDevice ---
  const char* DeviceName() const override { return "NOR flash"; }
  std::uint32_t Read32(std::uint32_t offset) override;
  void Write32(std::uint32_t offset, std::uint32_t value) override;
  void ReadBlock(std::uint32_t offset, void* destination, std::size_t bytes) override;

  // --- OsFlash: the OS image's own driver, which unlocks what it changes, waits for the chips
  // and leaves them in read-array mode ---
  std::uint32_t Size() override { return config_.size; }
  std::uint32_t BlockSize(std::uint32_t offset) override {
    return offset < config_.size ? BlockOf(offset / 4).words * 4 : 0;
  }
  bool Read(std::uint32_t offset, void* buffer, std::uint32_t length) override;
  bool Program(std::uint32_t offset, const void* buffer, std::uint32_t length) override;
  bool EraseBlock(std::uint32_t offset) override;

  // --- testing calls ---
  bool Active() const { return image_ != nullptr; }
  bool BackdoorRead(std::uint32_t offset, void* destination, std::size_t bytes);
  std::vector<FileExtent> DataExtents() const { return FileDataExtents(imageFd_, config_.size); }
  bool BackdoorWrite(std::uint32_t offset, const void* source, std::size_t bytes);
  bool BackdoorErase(std::uint32_t offset, std::size_t bytes);
  NorMode Mode(int chip) const { return state_->chips[chip].mode; }
  std::uint8_t Status(int chip) {
    Flush();
    Settle(clock_->Now());
    return StatusOf(state_->chips[chip]);
  }
  bool Locked(std::uint32_t offset, int chip) const {
    return (state_->chips[chip].locks[BlockOf(offset / 4).index] & LOCK_LOCKED) != 0;
  }
  std::vector<std::string> Errors() const { return errors_; }
  void ClearErrors() { errors_.clear(); }
  NorStatistics Statistics() const { return statistics_; }
  void RecordOperations(bool on) {
    recordOperations_ = on;
    operations_.clear();
  }
  std::vector<NorOperation> Operations() const { return operations_; }

 private:
  struct Block {
    std::uint32_t index;
    std::uint32_t start;  // word address
    std::uint32_t words;
  };
  // The block holding a word address (the bus's hot path asks for it on every data word).
  Block BlockOf(std::uint32_t word) const {
    const bool parameter = config_.chip.layout == NorLayout::kBottomParameter;
    if (parameter && word < kParameterBlocks * kParameterBlockWords) {
      const std::uint32_t index = word / kParameterBlockWords;
      return {index, index * kParameterBlockWords, kParameterBlockWords};
    }
    const std::uint32_t main = word / kMainBlockWords;
    return {parameter ? main + kParameterBlocks - 1 : main, main * kMainBlockWords,
            kMainBlockWords};
  }
  bool SameBlock(std::uint32_t a, std::uint32_t b) const {
    // Blocks are aligned to their size, and the parameter blocks fill the first main block.
    if (config_.chip.layout == NorLayout::kBottomParameter &&
        (a < kMainBlockWords || b < kMainBlockWords)) {
      return a / kParameterBlockWords == b / kParameterBlockWords;
    }
    return a / kMainBlockWords == b / kMainBlockWords;
  }
  std::uint32_t BlocksPerChip() const;
  std::uint32_t BufferWords() const { return (1u << config_.chip.bufferBytesLog2) / 2; }
  static bool Busy(const ChipState& chip) { return chip.operation != kNoOperation; }
  static std::uint8_t StatusOf(const ChipState& chip) {
    return static_cast<std::uint8_t>((chip.status & SR_CLEARABLE) | (Busy(chip) ? 0 : SR_READY));
  }
  static bool HalvesMustMatch(const ChipState& chip) {
    return !Busy(chip) && chip.mode != NorMode::kWordProgramSetup &&
           chip.mode != NorMode::kBufferData;
  }

  void PowerUp();
  [[nodiscard]] bool KeepsLocks() const {
    return config_.chip.lockBits == NorLockBits::kNonVolatile;
  }
  // Reads the lock bits that chips which keep them hold (nor-locks.json); false with a message
  // when the file is there but is not a list of locked blocks.
  bool LoadKeptLocks(const fs::path& directory, std::string* error);
  void SaveKeptLocks();
  // The OS driver's unlock of a block it changes; false when the block is locked down.
  bool OsUnlock(const Block& block);
  void BuildCfiTable();
  // Counts an erase or program that starts; true when the power failed before it ended.
  bool CountOperation(const char* what, std::uint32_t byte);
  // Whether an item of kind whose field lies in [firstByte, endByte) fires for chip (-1: an
  // access of both chips at once, which items for one chip do not hit).
  bool Hits(const FaultKind& kind, const char* field, int chip, std::uint32_t firstByte,
            std::uint32_t endByte);

  bool AnyBusy() const { return Busy(state_->chips[0]) || Busy(state_->chips[1]); }
  // Completes operations whose time has come (a chip works on while nobody looks).
  void Settle(std::uint64_t now) {
    for (int chip = 0; chip < 2; ++chip) {
      if (state_->chips[chip].operation != kNoOperation && now >= state_->chips[chip].busyUntil) {
        Complete(chip);
      }
    }
    if (locksChanged_) {
      SaveKeptLocks();
    }
  }
  void Complete(int chip);
  std::uint16_t ChipRead(int chip, std::uint32_t word);
  void ChipWrite(int chip, std::uint32_t word, std::uint16_t value);
  void Command(int chip, std::uint32_t word, std::uint16_t value);
  void LockConfirm(int chip, std::uint32_t word, std::uint16_t value);
  void KeptLockConfirm(int chip, std::uint32_t word, std::uint16_t value);
  void BufferData(int chip, std::uint32_t word, std::uint16_t value);
  // A data word after the first of a buffered program, in range and not yet written. Both
  // chips are checked before either takes its half.
  bool BufferWordFits(const ChipState& state, std::uint32_t word) const {
    return state.mode == NorMode::kBufferData && state.operation == kNoOperation &&
           state.bufferFilled != 0 && word >= state.bufferStart &&
           word - state.bufferStart < state.bufferCount &&
           state.bufferPresent[word - state.bufferStart] == 0 &&
           SameBlock(word, state.setupAddress);
  }
  static void TakeBufferWord(ChipState& state, std::uint32_t word, std::uint16_t value) {
    const std::uint32_t index = word - state.bufferStart;
    state.bufferData[index] = value;
    state.bufferPresent[index] = 1;
    if (++state.bufferFilled == state.bufferCount) {
      state.mode = NorMode::kBufferConfirm;
    }
  }
  void StartErase(int chip, std::uint32_t word);
  void StartWordProgram(int chip, std::uint32_t word, std::uint16_t value);
  void StartBufferProgram(int chip);
  void StartProgram(int chip, std::uint32_t word, std::uint32_t count, NorOperation::Kind kind);
  void Started(NorOperation::Kind kind, int chip, std::uint32_t word, std::uint32_t words,
               std::uint64_t busy);
  // Records a protocol error; the chip (unless busy) ends its sequence with status bits 4, 5.
  void SequenceError(int chip, const std::string& what);
  void Record(const std::string& what);
  static std::string Where(int chip, std::uint32_t word) {
    return " at " + Hex(std::uint64_t{word} * 4 + 2 * chip, 8) + " (chip " + std::to_string(chip) +
           ")";
  }

  std::uint16_t LoadHalf(int chip, std::uint32_t word) const {
    const std::uint8_t* at = image_ + std::size_t{word} * 4 + 2 * chip;
    return static_cast<std::uint16_t>(~(at[0] | (at[1] << 8)));
  }
  // Programming clears bits: in the complemented image it sets them.
  void ProgramHalf(int chip, std::uint32_t word, std::uint16_t value) {
    std::uint8_t* at = image_ + std::size_t{word} * 4 + 2 * chip;
    const auto low = static_cast<std::uint8_t>(~value & 0xFF);
    const auto high = static_cast<std::uint8_t>((~value >> 8) & 0xFF);
    // Untouched bytes stay unwritten, so that erased pages stay holes.
    if ((at[0] | low) != at[0]) {
      at[0] |= low;
    }
    if ((at[1] | high) != at[1]) {
      at[1] |= high;
    }
  }
  void EraseRange(std::uint64_t offset, std::uint64_t bytes);
  // The OS driver's wait for both chips; false when one never becomes ready.
  bool OsWaitReady();
  void EraseHalves(int chip, std::uint32_t start, std::uint32_t words);

  Machine* machine_ = nullptr;
  VirtualClock* clock_ = nullptr;
  NorConfig config_;
  int imageFd_ = -1;
  std::uint8_t* image_ = nullptr;
  SharedState* state_ = nullptr;
  std::array<std::array<std::uint8_t, 0x40>, 2> cfi_{};
  std::array<std::uint64_t, 3> busyNanoseconds_{};  // word, buffer, erase
  // Both chips see every bus access: the fault plan is asked once per access (its event).
  std::uint64_t faultEvent_ = 1;
  bool powerOff_ = false;  // a power cut of the fault plan happened
  // Polling a busy chip: consecutive status reads with nothing else in between (no other access,
  // no other passing of time) each last four times as long as the one before (from one bus
  // access, up to one tick of kLongestPoll), never past the moment a chip becomes ready. A real
  // poll loop reads thousands of times per operation; this keeps the host's work proportional to
  // the operations and not to their busy time, and time-outs measured with the tick count behave as
  // on the module. Bus access time not yet added to the module clock. Adding it access by access
  // would make the shared clock's atomic update the costliest part of an access; it goes in slices
  // of at most kClockSlice (far below the millisecond tick), and whenever anyone may look.
  std::uint64_t Now() const { return clock_->Now() + pendingNanoseconds_; }
  void Spend(std::uint64_t nanoseconds) {
    pendingNanoseconds_ += nanoseconds;
    if (pendingNanoseconds_ >= kClockSlice) {
      Flush();
    }
  }
  void Flush() {
    if (pendingNanoseconds_ != 0) {
      clock_->Advance(pendingNanoseconds_);
      pendingNanoseconds_ = 0;
    }
  }
  static constexpr std::uint64_t kClockSlice = 10 * kMicrosecond;
  std::uint64_t pendingNanoseconds_ = 0;

  static constexpr std::uint64_t kLongestPoll = kMillisecond;  // time-outs stay tick-exact
  bool pollStreak_ = false;
  std::uint64_t pollStep_ = 0;
  std::uint64_t pollEnd_ = 0;      // clock time when the last poll ended
  std::uint64_t startedBusy_ = 0;  // longest busy time started by the current write
  unsigned startedKinds_ = 0;      // operation kinds started by the current write
  bool recordOperations_ = false;
  // Lock bits of chips that keep them, as nor-locks.json held them at attach.
  bool haveKeptLocks_ = false;
  std::array<std::array<std::uint8_t, kMaxBlocksPerChip>, 2> keptLocks_{};
  bool locksChanged_ = false;  // kept lock bits changed since they were last written
  std::vector<NorOperation> operations_;
  std::vector<std::string> errors_;
  NorStatistics statistics_;
};

NorFlash norFlash;

// ---------------------------------------------------------------------------------------------
// Creation, validation, attach
// ---------------------------------------------------------------------------------------------
bool NorFlash::Create(const PresetSpec& preset, const fs::path& directory, Json& config,
                      std::string* error) {
  if (!preset.nor) {
    return true;
  }
  // The modules carry bottom-parameter chips: 128 Mbit ones for 32 MiB, 256 Mbit for 64 MiB.
  const NorChipType* chip = nullptr;
  for (const NorChipType& type : kChipTypes) {
    if (type.layout == NorLayout::kBottomParameter && 2ull * type.chipBytes == preset.norSize) {
      chip = &type;
      break;
    }
  }
  if (chip == nullptr) {
    *error = "no NOR chip pair makes " + Hex(preset.norSize) + " bytes";
    return false;
  }
  config["flash"] = {
      {"kind", "nor"},
      {"size", Hex(preset.norSize)},
      {"deviceCode", Hex(chip->deviceCode, 4)},
      {"storage", "complemented"},
  };
  // A new module's chips have never had lock bits of their own.
  std::error_code ignored;
  fs::remove(directory / kLockFile, ignored);
  // Complemented storage: a sparse file of zeros is a fully erased flash.
  const fs::path file = directory / kImageFile;
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::ftruncate(fd, preset.norSize) != 0) {
    *error = file.string() + ": cannot create: " + std::strerror(errno);
    if (fd >= 0) {
      ::close(fd);
    }
    return false;
  }
  ::close(fd);
  return true;
}

void NorFlash::Validate(ConfigReader& reader) {
  const Json* flash = reader.Find("flash");
  if (flash == nullptr || !IsNorModule(reader.Document())) {
    return;
  }
  NorConfig config;
  ReadNorConfig(reader, &config);
}

bool NorFlash::CheckFiles(const fs::path& directory, const Json& config, std::string* error) {
  if (!IsNorModule(config)) {
    return true;
  }
  ConfigReader reader(config, "module.json");
  NorConfig norConfig;
  if (!ReadNorConfig(reader, &norConfig)) {
    *error = reader.Errors().front();
    return false;
  }
  const fs::path file = directory / kImageFile;
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = file.string() + ": missing (the NOR contents of module.json field \"flash\")";
    return false;
  }
  if (static_cast<std::uint64_t>(info.st_size) != norConfig.size) {
    *error = file.string() + ": " + std::to_string(info.st_size) +
             " bytes, but module.json field \"flash.size\" says " + Hex(norConfig.size);
    return false;
  }
  return true;
}

bool NorFlash::Attach(Machine& machine, std::string* error) {
  if (!IsNorModule(machine.Config())) {
    return true;
  }
  ConfigReader reader(machine.Config(), "module.json");
  NorConfig config;
  if (!ReadNorConfig(reader, &config)) {
    *error = reader.Errors().front();
    return false;
  }
  const fs::path imageFile = machine.Directory() / kImageFile;
  const int fd = ::open(imageFile.c_str(), O_RDWR);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 ||
      static_cast<std::uint64_t>(info.st_size) != config.size) {
    *error = imageFile.string() + ": missing, unreadable or not " + Hex(config.size) + " bytes";
    if (fd >= 0) {
      ::close(fd);
    }
    return false;
  }
  void* image = ::mmap(nullptr, config.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (image == MAP_FAILED) {
    *error = imageFile.string() + ": cannot map: " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  const fs::path stateFile = machine.RamDirectory() / kStateFile;
  const int stateFd = ::open(stateFile.c_str(), O_RDWR | O_CREAT, 0644);
  struct stat stateInfo {};
  void* state = MAP_FAILED;
  if (stateFd >= 0 && ::fstat(stateFd, &stateInfo) == 0 &&
      (stateInfo.st_size == sizeof(SharedState) ||
       ::ftruncate(stateFd, sizeof(SharedState)) == 0)) {
    state = ::mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, stateFd, 0);
  }
  if (stateFd >= 0) {
    ::close(stateFd);
  }
  if (state == MAP_FAILED) {
    *error = stateFile.string() + ": cannot open the chips' state: " + std::strerror(errno);
    ::munmap(image, config.size);
    ::close(fd);
    return false;
  }
  machine_ = &machine;
  clock_ = &machine.Clock();
  config_ = config;
  imageFd_ = fd;
  image_ = static_cast<std::uint8_t*>(image);
  state_ = static_cast<SharedState*>(state);
  locksChanged_ = false;
  if (!LoadKeptLocks(machine.Directory(), error)) {
    Detach(machine);
    return false;
  }
  // A new state file, or one left by other chips, is a power-up.
  if (state_->magic != kStateMagic || state_->layoutVersion != kStateLayoutVersion ||
      state_->size != config.size || state_->deviceCode != config.deviceCode) {
    PowerUp();
  }
  BuildCfiTable();
  busyNanoseconds_ = {
      (std::uint64_t{1} << config.chip.timing[CFI_WORD_PROGRAM]) * kMicrosecond,
      (std::uint64_t{1} << config.chip.timing[CFI_BUFFER_PROGRAM]) * kMicrosecond,
      (std::uint64_t{1} << config.chip.timing[CFI_BLOCK_ERASE]) * kMillisecond,
  };
  powerOff_ = false;
  pendingNanoseconds_ = 0;
  pollStreak_ = false;
  errors_.clear();
  operations_.clear();
  statistics_ = NorStatistics{};
  if (machine.FirstProcess()) {
    // An operation that a process started before it ended went on without it, as the chip
    // goes on when its driver dies: the module's time has at least reached its end.
    std::uint64_t end = 0;
    for (const ChipState& chip : state_->chips) {
      if (Busy(chip) && chip.busyUntil != kNever) {
        end = std::max(end, chip.busyUntil);
      }
    }
    if (end != 0) {
      clock_->PassTo(end);
      Settle(clock_->Now());
    }
  }
  machine.Bus().Attach(0, config.size, this);
  SetCurrentOsFlash(this);
  return true;
}

void NorFlash::Detach(Machine& /*machine*/) {
  if (clock_ != nullptr) {
    Flush();
  }
  if (CurrentOsFlash() == this) {
    SetCurrentOsFlash(nullptr);
  }
  if (image_ != nullptr) {
    ::munmap(image_, config_.size);
    ::close(imageFd_);
  }
  if (state_ != nullptr) {
    ::munmap(state_, sizeof(SharedState));
  }
  image_ = nullptr;
  state_ = nullptr;
  imageFd_ = -1;
  machine_ = nullptr;
  clock_ = nullptr;
}

void NorFlash::PowerUp() {
  std::memset(state_, 0, sizeof(SharedState));
  state_->magic = kStateMagic;
  state_->layoutVersion = kStateLayoutVersion;
  state_->size = config_.size;
  state_->deviceCode = config_.deviceCode;
  const std::uint32_t chipWords = config_.size / 4;
  for (int chip = 0; chip < 2; ++chip) {
    ChipState& state = state_->chips[chip];
    state.mode = NorMode::kReadArray;
    for (std::uint32_t word = 0; word < chipWords; word += BlockOf(word).words) {
      const std::uint32_t index = BlockOf(word).index;
      bool locked = true;  // volatile lock bits power up set
      if (KeepsLocks()) {
        locked = haveKeptLocks_ ? keptLocks_[chip][index] != 0 : word * 4 < config_.lockedBelow;
      }
      state.locks[index] = locked ? LOCK_LOCKED : 0;
    }
  }
}

bool NorFlash::LoadKeptLocks(const fs::path& directory, std::string* error) {
  haveKeptLocks_ = false;
  keptLocks_ = {};
  const fs::path file = directory / kLockFile;
  std::error_code missing;
  if (!KeepsLocks() || !fs::exists(file, missing)) {
    return true;
  }
  std::string text;
  const Json locks = ReadWholeFile(file, &text) ? Json::parse(text, nullptr, false) : Json();
  for (int chip = 0; chip < 2; ++chip) {
    const std::string key = "chip" + std::to_string(chip);
    if (!locks.is_object() || !locks.contains(key) || !locks[key].is_array()) {
      *error = file.string() + ": expected {\"chip0\": [OFFSET, ...], \"chip1\": [...]}, the " +
               "offsets of the locked blocks";
      return false;
    }
    for (const Json& item : locks[key]) {
      std::uint64_t offset = 0;
      if (!ParseUnsigned(item, &offset) || offset >= config_.size ||
          BlockOf(static_cast<std::uint32_t>(offset / 4)).start * 4 != offset) {
        *error = file.string() + ": " + key + ": " + item.dump() +
                 " is not the start of a block of the flash";
        return false;
      }
      keptLocks_[chip][BlockOf(static_cast<std::uint32_t>(offset / 4)).index] = 1;
    }
  }
  haveKeptLocks_ = true;
  return true;
}

void NorFlash::SaveKeptLocks() {
  locksChanged_ = false;
  Json locks = Json::object();
  const std::uint32_t chipWords = config_.size / 4;
  for (int chip = 0; chip < 2; ++chip) {
    Json offsets = Json::array();
    for (std::uint32_t word = 0; word < chipWords; word += BlockOf(word).words) {
      if ((state_->chips[chip].locks[BlockOf(word).index] & LOCK_LOCKED) != 0) {
        offsets.push_back(Hex(word * 4));
      }
    }
    locks["chip" + std::to_string(chip)] = offsets;
  }
  std::string error;
  if (!WriteWholeFile(machine_->Directory() / kLockFile, locks.dump(2) + "\n", &error)) {
    machine_->DebugLog("NOR: lock bits not kept: " + error);
  }
}

std::uint32_t NorFlash::BlocksPerChip() const {
  const std::uint32_t chipWords = config_.size / 4;
  if (config_.chip.layout == NorLayout::kBottomParameter) {
    return kParameterBlocks + chipWords / kMainBlockWords - 1;
  }
  return std::max<std::uint32_t>(1, chipWords / kMainBlockWords);
}

void NorFlash::BuildCfiTable() {
  std::array<std::uint8_t, 0x40> table{};
  table[0x10] = 'Q';
  table[0x11] = 'R';
  table[0x12] = 'Y';
  table[0x13] = 0x01;  // primary command set: the extended Intel set
  const bool twoRegions = config_.chip.layout == NorLayout::kBottomParameter;
  const std::uint8_t extended = twoRegions ? 0x35 : 0x31;
  table[0x15] = extended;  // primary extended query table
  table[0x1B] = config_.chip.vccMinimum;
  table[0x1C] = config_.chip.vccMaximum;
  table[0x1D] = 0x85;  // 8.5 V..9.5 V factory programming voltage
  table[0x1E] = 0x95;
  for (std::size_t i = 0; i < 8; ++i) {
    table[0x1F + i] = config_.chip.timing[i];
  }
  const std::uint32_t chipBytes = config_.size / 2;
  table[0x27] = static_cast<std::uint8_t>(__builtin_ctz(chipBytes));
  table[0x28] = config_.chip.interfaceCode;
  table[0x2A] = config_.chip.bufferBytesLog2;
  table[0x2C] = twoRegions ? 2 : 1;
  auto region = [&](std::size_t at, std::uint32_t blocks, std::uint32_t blockBytes) {
    table[at] = static_cast<std::uint8_t>((blocks - 1) & 0xFF);
    table[at + 1] = static_cast<std::uint8_t>((blocks - 1) >> 8);
    table[at + 2] = static_cast<std::uint8_t>((blockBytes / 256) & 0xFF);
    table[at + 3] = static_cast<std::uint8_t>((blockBytes / 256) >> 8);
  };
  if (twoRegions) {
    region(0x2D, kParameterBlocks, kParameterBlockWords * 2);
    region(0x31, BlocksPerChip() - kParameterBlocks, kMainBlockWords * 2);
  } else {
    region(0x2D, BlocksPerChip(), kMainBlockWords * 2);
  }
  table[extended] = 'P';
  table[extended + 1] = 'R';
  table[extended + 2] = 'I';
  table[extended + 3] = '1';
  table[extended + 4] = '1';
  cfi_ = {table, table};
}

// ---------------------------------------------------------------------------------------------
// Faults
// ---------------------------------------------------------------------------------------------
bool NorFlash::CountOperation(const char* what, std::uint32_t byte) {
  const FaultPlan::Power power =
      machine_->Faults().FlashOperation([&] { return std::string(what) + " at " + Hex(byte, 8); });
  if (power != FaultPlan::Power::kOn) {
    powerOff_ = true;
  }
  if (power == FaultPlan::Power::kFailing) {
    machine_->Faults().PowerLost();  // nothing of the cut operation reaches the array
  }
  return powerOff_;
}

bool NorFlash::Hits(const FaultKind& kind, const char* field, int chip, std::uint32_t firstByte,
                    std::uint32_t endByte) {
  return machine_->Faults().Fire(
             kind,
             [&](const FaultItem& item) {
               const std::uint64_t at = item.Unsigned(field);
               return (!item.Has("chip") || static_cast<int>(item.Unsigned("chip")) == chip) &&
                      at >= firstByte && at < endByte;
             },
             [&] {
               return std::string(field) + " " + Hex(firstByte, 8) +
                      (chip >= 0 ? " (chip " + std::to_string(chip) + ")" : "");
             },
             faultEvent_) != nullptr;
}

// ---------------------------------------------------------------------------------------------
// Bus accesses
// ---------------------------------------------------------------------------------------------
std::uint32_t NorFlash::Read32(std::uint32_t offset) {
  // The clock matters only while a chip works (reading it costs on the bus's hot path).
  const std::uint64_t now = AnyBusy() ? Now() : 0;
  Settle(now);
  ++statistics_.accesses;
  const std::uint32_t word = offset >> 2;
  ChipState& low = state_->chips[0];
  ChipState& high = state_->chips[1];
  std::uint32_t value;
  if (low.mode == NorMode::kReadArray && high.mode == NorMode::kReadArray && !Busy(low) &&
      !Busy(high)) {
    std::uint32_t stored;
    std::memcpy(&stored, image_ + offset, 4);
    value = ~stored;
  } else {
    value = ChipRead(0, word) | (std::uint32_t{ChipRead(1, word)} << 16);
  }
  std::uint64_t cost = kBusAccessNanoseconds;
  if (Busy(low) || Busy(high)) {
    // A streak ends when anything else moved the clock (a Sleep between polls, say).
    pollStep_ = pollStreak_ && now == pollEnd_
                    ? std::min<std::uint64_t>(pollStep_ * 4, kLongestPoll)
                    : kBusAccessNanoseconds;
    pollStreak_ = true;
    const std::uint64_t readyAt =
        std::min(Busy(low) ? low.busyUntil : kNever, Busy(high) ? high.busyUntil : kNever);
    if (readyAt > now) {
      cost = std::max(kBusAccessNanoseconds, std::min(pollStep_, readyAt - now));
    }
  } else {
    pollStreak_ = false;
  }
  Spend(cost);
  if (Busy(low) || Busy(high)) {
    Flush();  // the poll loop may read the tick count next
  }
  pollEnd_ = now + cost;
  return value;
}

void NorFlash::ReadBlock(std::uint32_t offset, void* destination, std::size_t bytes) {
  if (AnyBusy()) {
    Settle(Now());
  }
  const ChipState& low = state_->chips[0];
  const ChipState& high = state_->chips[1];
  if (low.mode != NorMode::kReadArray || high.mode != NorMode::kReadArray || Busy(low) ||
      Busy(high)) {
    BusDevice::ReadBlock(offset, destination, bytes);
    return;
  }
  InvertCopy(static_cast<std::uint8_t*>(destination), image_ + offset, bytes);
  const std::uint64_t words = (std::uint64_t{offset} + bytes + 3) / 4 - offset / 4;
  statistics_.accesses += words;
  pollStreak_ = false;
  Spend(words * kBusAccessNanoseconds);
}

void NorFlash::Write32(std::uint32_t offset, std::uint32_t value) {
  if (AnyBusy()) {
    Settle(Now());
  }
  ++statistics_.accesses;
  pollStreak_ = false;
  startedBusy_ = 0;
  startedKinds_ = 0;
  const std::uint32_t word = offset >> 2;
  const std::uint16_t halves[2] = {static_cast<std::uint16_t>(value & 0xFFFF),
                                   static_cast<std::uint16_t>(value >> 16)};
  // Most writes are the data words of a buffered program: taken here when nothing is amiss,
  // else by the full decoder, which also reports what is.
  if (BufferWordFits(state_->chips[0], word) && BufferWordFits(state_->chips[1], word)) {
    TakeBufferWord(state_->chips[0], word, halves[0]);
    TakeBufferWord(state_->chips[1], word, halves[1]);
    Spend(kBusAccessNanoseconds);
    return;
  }
  ++faultEvent_;
  if (HalvesMustMatch(state_->chips[0]) && HalvesMustMatch(state_->chips[1]) &&
      halves[0] != halves[1]) {
    const std::string what = "write " + Hex(value, 8) + " at " + Hex(offset, 8) +
                             ": the two chips were given different commands";
    SequenceError(0, what);
    SequenceError(1, "");
  } else {
    ChipWrite(0, word, halves[0]);
    ChipWrite(1, word, halves[1]);
  }
  // Both chips run the same operation side by side: the module's operation counts once.
  auto started = [&](NorOperation::Kind kind) {
    return (startedKinds_ & (1u << static_cast<unsigned>(kind))) != 0 ? 1u : 0u;
  };
  statistics_.blockErases += started(NorOperation::Kind::kErase);
  statistics_.wordPrograms += started(NorOperation::Kind::kWordProgram);
  statistics_.bufferPrograms += started(NorOperation::Kind::kBufferProgram);
  statistics_.busyNanoseconds += startedBusy_;
  if (started(NorOperation::Kind::kErase) != 0) {
    (void)CountOperation("block erase", offset);
  } else if ((started(NorOperation::Kind::kWordProgram) |
              started(NorOperation::Kind::kBufferProgram)) != 0) {
    (void)CountOperation("program", offset);
  }
  Spend(kBusAccessNanoseconds);
}

std::uint16_t NorFlash::ChipRead(int chip, std::uint32_t word) {
  ChipState& state = state_->chips[chip];
  if (Busy(state)) {
    if (state.mode == NorMode::kReadArray) {
      Record("read at " + Hex(std::uint64_t{word} * 4 + 2 * chip, 8) + " while chip " +
             std::to_string(chip) + " is busy: it answers with its status, not data");
    }
    return StatusOf(state);
  }
  switch (state.mode) {
    case NorMode::kReadArray:
      return LoadHalf(chip, word);
    case NorMode::kReadIdentifier: {
      const Block block = BlockOf(word);
      switch (word - block.start) {
        case ID_MANUFACTURER: {
          const FaultPlan::ItemRef item = machine_->Faults().Fire(
              kManufacturer,
              [&](const FaultItem& candidate) {
                return !candidate.Has("chip") ||
                       static_cast<int>(candidate.Unsigned("chip")) == chip;
              },
              [&] { return "identifier read (chip " + std::to_string(chip) + ")"; }, faultEvent_);
          return item != nullptr ? static_cast<std::uint16_t>(item->Unsigned("code"))
                                 : kManufacturerCode;
        }
        case ID_DEVICE:
          return config_.deviceCode;
        case ID_LOCK_STATUS:
          return state.locks[block.index];
        default:
          return 0;
      }
    }
    case NorMode::kCfiQuery: {
      const std::uint32_t address = word - BlockOf(word).start;
      const FaultPlan::ItemRef item = machine_->Faults().Fire(
          kCfiByte,
          [&](const FaultItem& candidate) {
            return (!candidate.Has("chip") ||
                    static_cast<int>(candidate.Unsigned("chip")) == chip) &&
                   candidate.Unsigned("address") == address;
          },
          [&] {
            return "CFI query address " + Hex(address, 2) + " (chip " + std::to_string(chip) + ")";
          },
          faultEvent_);
      if (item != nullptr) {
        return static_cast<std::uint16_t>(item->Unsigned("value") & 0xFF);
      }
      return address < cfi_[chip].size() ? cfi_[chip][address] : 0;
    }
    default:
      // Status mode and every step of a command sequence answer with the status register.
      return StatusOf(state);
  }
}

void NorFlash::ChipWrite(int chip, std::uint32_t word, std::uint16_t value) {
  ChipState& state = state_->chips[chip];
  // Built only for a message: this is the bus's hot path.
  auto where = [&] { return Where(chip, word); };
  if (Busy(state)) {
    // A busy chip takes only read status and read array; everything else is lost.
    if (value == CMD_READ_STATUS) {
      state.mode = NorMode::kReadStatus;
    } else if (value == CMD_READ_ARRAY) {
      state.mode = NorMode::kReadArray;
    } else {
      Record("write " + Hex(value, 4) + where() + " while the chip is busy (ignored)");
    }
    return;
  }
  switch (state.mode) {
    case NorMode::kEraseSetup:
      if (value != CMD_CONFIRM) {
        SequenceError(
            chip, "erase setup followed by " + Hex(value, 4) + where() + " instead of its confirm");
      } else if (!SameBlock(word, state.setupAddress)) {
        SequenceError(chip, "erase confirm" + where() + " outside the block of its setup");
      } else {
        StartErase(chip, word);
      }
      return;
    case NorMode::kLockSetup:
      if (!SameBlock(word, state.setupAddress)) {
        SequenceError(chip, "lock confirm" + where() + " outside the block of its setup");
      } else {
        LockConfirm(chip, word, value);
      }
      return;
    case NorMode::kWordProgramSetup:
      StartWordProgram(chip, word, value);
      return;
    case NorMode::kBufferCount:
      if (!SameBlock(word, state.setupAddress)) {
        SequenceError(chip, "buffer word count" + where() + " outside the block of its setup");
      } else if (value >= BufferWords()) {
        SequenceError(chip, "buffered program of " + std::to_string(value + 1) + " words" +
                                where() + " exceeds the " + std::to_string(BufferWords()) +
                                "-word write buffer");
      } else {
        state.bufferCount = value + 1u;
        state.bufferFilled = 0;
        state.bufferPresent.fill(0);
        state.mode = NorMode::kBufferData;
      }
      return;
    case NorMode::kBufferData:
      BufferData(chip, word, value);
      return;
    case NorMode::kBufferConfirm:
      if (value != CMD_CONFIRM) {
        SequenceError(chip, "buffered program of " + std::to_string(state.bufferCount) +
                                " words got " + Hex(value, 4) + where() +
                                " where its confirm belongs (more data than announced)");
      } else if (!SameBlock(word, state.setupAddress)) {
        SequenceError(chip, "buffer confirm" + where() + " outside the block of its setup");
      } else {
        StartBufferProgram(chip);
      }
      return;
    default:
      Command(chip, word, value);
      return;
  }
}

void NorFlash::Command(int chip, std::uint32_t word, std::uint16_t value) {
  ChipState& state = state_->chips[chip];
  switch (value) {
    case CMD_READ_ARRAY:
      state.mode = NorMode::kReadArray;
      return;
    case CMD_READ_IDENTIFIER:
      state.mode = NorMode::kReadIdentifier;
      return;
    case CMD_CFI_QUERY:
      state.mode = NorMode::kCfiQuery;
      return;
    case CMD_READ_STATUS:
      state.mode = NorMode::kReadStatus;
      return;
    case CMD_CLEAR_STATUS:
      state.status = 0;
      return;
    case CMD_LOCK_SETUP:
      state.mode = NorMode::kLockSetup;
      state.setupAddress = word;
      return;
    case CMD_ERASE_SETUP:
      state.mode = NorMode::kEraseSetup;
      state.setupAddress = word;
      return;
    case CMD_WORD_PROGRAM:
    case CMD_WORD_PROGRAM_ALTERNATE:
      state.mode = NorMode::kWordProgramSetup;
      state.setupAddress = word;
      return;
    case CMD_BUFFERED_PROGRAM:
      state.mode = NorMode::kBufferCount;
      state.setupAddress = word;
      return;
    default:
      SequenceError(chip, "write " + Hex(value, 4) + " at " +
                              Hex(std::uint64_t{word} * 4 + 2 * chip, 8) + " (chip " +
                              std::to_string(chip) +
                              ") is no command of this chip (data written outside a command)");
      return;
  }
}

void NorFlash::LockConfirm(int chip, std::uint32_t word, std::uint16_t value) {
  if (KeepsLocks()) {
    KeptLockConfirm(chip, word, value);
    return;
  }
  ChipState& state = state_->chips[chip];
  const Block block = BlockOf(word);
  std::uint8_t& lock = state.locks[block.index];
  state.mode = NorMode::kReadStatus;
  switch (value) {
    case CMD_CONFIRM:
      // A locked-down block stays locked while the write-protect pin is asserted (always here).
      if ((lock & LOCK_DOWN) == 0) {
        lock = 0;
      }
      Started(NorOperation::Kind::kUnlock, chip, block.start, block.words, 0);
      return;
    case CMD_LOCK_BLOCK:
      lock |= LOCK_LOCKED;
      Started(NorOperation::Kind::kLock, chip, block.start, block.words, 0);
      return;
    case CMD_LOCK_DOWN:
      lock |= LOCK_LOCKED | LOCK_DOWN;
      Started(NorOperation::Kind::kLock, chip, block.start, block.words, 0);
      return;
    default:
      SequenceError(chip, "lock setup followed by " + Hex(value, 4) + " at " +
                              Hex(std::uint64_t{word} * 4 + 2 * chip, 8) +
                              " instead of a lock, unlock or lock-down confirm");
      return;
  }
}

// Chips that keep their lock bits program them like array cells: a lock confirm sets one block's
// bit, an unlock confirm clears every block's bit at once; the chip is busy meanwhile and answers
// with its status. They have no lock-down.
void NorFlash::KeptLockConfirm(int chip, std::uint32_t word, std::uint16_t value) {
  ChipState& state = state_->chips[chip];
  const Block block = BlockOf(word);
  Operation operation = kNoOperation;
  std::uint64_t busy = 0;
  NorOperation::Kind kind = NorOperation::Kind::kUnlock;
  switch (value) {
    case CMD_CONFIRM:
      operation = kClearLocksOperation;
      busy = kClearLockBitsNanoseconds;
      break;
    case CMD_LOCK_BLOCK:
      operation = kSetLockOperation;
      busy = kSetLockBitNanoseconds;
      kind = NorOperation::Kind::kLock;
      break;
    default:
      SequenceError(chip, "lock setup followed by " + Hex(value, 4) + Where(chip, word) +
                              " instead of a lock or unlock confirm (this chip has no lock-down)");
      return;
  }
  state.mode = NorMode::kReadStatus;
  state.operation = operation;
  state.operationAddress = block.start;
  state.operationWords = block.words;
  state.pendingError = 0;
  state.busyUntil = Now() + kBusAccessNanoseconds + busy;
  Started(kind, chip, block.start, block.words, busy);
}

void NorFlash::BufferData(int chip, std::uint32_t word, std::uint16_t value) {
  ChipState& state = state_->chips[chip];
  // Built only for a message: this is the bus's hot path.
  auto where = [&] { return Where(chip, word); };
  if (!SameBlock(word, state.setupAddress)) {
    SequenceError(chip, "buffer data" + where() + " outside the block of its setup");
    return;
  }
  if (state.bufferFilled == 0) {
    // The first data word fixes where the buffer goes; it must not cross the buffer's window.
    const std::uint32_t window = word & ~(BufferWords() - 1);
    if (word + state.bufferCount > window + BufferWords()) {
      SequenceError(chip, "buffered program of " + std::to_string(state.bufferCount) +
                              " words from" + where() + " crosses its " +
                              std::to_string(BufferWords()) + "-word write-buffer window");
      return;
    }
    state.bufferStart = word;
  }
  const std::uint32_t index = word - state.bufferStart;
  if (word < state.bufferStart || index >= state.bufferCount) {
    SequenceError(chip, "buffer data" + where() + " outside the " +
                            std::to_string(state.bufferCount) + " words announced from " +
                            Hex(std::uint64_t{state.bufferStart} * 4 + 2 * chip, 8));
    return;
  }
  if (state.bufferPresent[index] != 0) {
    SequenceError(chip, "buffer data" + where() +
                            " written twice (fewer words delivered than the " +
                            std::to_string(state.bufferCount) + " announced?)");
    return;
  }
  state.bufferData[index] = value;
  state.bufferPresent[index] = 1;
  if (++state.bufferFilled == state.bufferCount) {
    state.mode = NorMode::kBufferConfirm;
  }
}

// ---------------------------------------------------------------------------------------------
// Erase and program
// ---------------------------------------------------------------------------------------------
void NorFlash::StartErase(int chip, std::uint32_t word) {
  ChipState& state = state_->chips[chip];
  const Block block = BlockOf(word);
  state.mode = NorMode::kReadStatus;
  if ((state.locks[block.index] & LOCK_LOCKED) != 0) {
    state.status |= SR_BLOCK_LOCKED | SR_ERASE_ERROR;
    return;
  }
  const std::uint32_t firstByte = block.start * 4;
  const std::uint32_t endByte = (block.start + block.words) * 4;
  state.operation = kEraseOperation;
  state.operationAddress = block.start;
  state.operationWords = block.words;
  state.pendingError = Hits(kEraseFail, "block", chip, firstByte, endByte) ? SR_ERASE_ERROR : 0;
  const std::uint64_t busy = busyNanoseconds_[2];
  state.busyUntil = Hits(kNeverReady, "block", chip, firstByte, endByte)
                        ? kNever
                        : Now() + kBusAccessNanoseconds + busy;
  Started(NorOperation::Kind::kErase, chip, block.start, block.words, busy);
}

void NorFlash::StartWordProgram(int chip, std::uint32_t word, std::uint16_t value) {
  ChipState& state = state_->chips[chip];
  state.bufferData[0] = value;
  StartProgram(chip, word, 1, NorOperation::Kind::kWordProgram);
}

void NorFlash::StartBufferProgram(int chip) {
  ChipState& state = state_->chips[chip];
  StartProgram(chip, state.bufferStart, state.bufferCount, NorOperation::Kind::kBufferProgram);
}

void NorFlash::StartProgram(int chip, std::uint32_t word, std::uint32_t count,
                            NorOperation::Kind kind) {
  ChipState& state = state_->chips[chip];
  state.mode = NorMode::kReadStatus;
  if ((state.locks[BlockOf(word).index] & LOCK_LOCKED) != 0) {
    state.status |= SR_BLOCK_LOCKED | SR_PROGRAM_ERROR;
    return;
  }
  state.operation = kProgramOperation;
  state.operationAddress = word;
  state.operationWords = count;
  state.programWords = count;
  state.pendingError = 0;
  const bool programFaults = machine_->Faults().Holds(kProgramFail);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t byte = (word + i) * 4 + 2 * chip;
    if (programFaults && Hits(kProgramFail, "offset", chip, byte, byte + 2)) {
      state.programWords = i;
      state.pendingError |= SR_PROGRAM_ERROR;
      break;
    }
    // Only bytes being programmed (not 0xFF) count: their 1 bits must still be erased.
    const std::uint16_t data = state.bufferData[i];
    const std::uint16_t current = LoadHalf(chip, word + i);
    const std::uint16_t programmed = static_cast<std::uint16_t>(
        ((data & 0x00FF) != 0x00FF ? 0x00FF : 0) | ((data & 0xFF00) != 0xFF00 ? 0xFF00 : 0));
    if ((((current & data) ^ data) & programmed) != 0 &&
        (state.pendingError & SR_PROGRAM_ERROR) == 0 && !powerOff_) {
      Record("programming " + Hex(data, 4) + " over " + Hex(current, 4) + " at " + Hex(byte, 8) +
             " needs bits that are not erased (programming only clears bits)");
      state.pendingError |= SR_PROGRAM_ERROR;
    }
  }
  const Block block = BlockOf(word);
  const std::uint64_t busy =
      kind == NorOperation::Kind::kWordProgram ? busyNanoseconds_[0] : busyNanoseconds_[1];
  state.busyUntil =
      Hits(kNeverReady, "block", chip, block.start * 4, (block.start + block.words) * 4)
          ? kNever
          : Now() + kBusAccessNanoseconds + busy;
  Started(kind, chip, word, count, busy);
}

void NorFlash::Started(NorOperation::Kind kind, int chip, std::uint32_t word, std::uint32_t words,
                       std::uint64_t busy) {
  startedKinds_ |= 1u << static_cast<unsigned>(kind);
  startedBusy_ = std::max(startedBusy_, busy);
  if (recordOperations_) {
    operations_.push_back({kind, chip, word * 4, words});
  }
}

void NorFlash::Complete(int chip) {
  ChipState& state = state_->chips[chip];
  if (powerOff_) {
    // Without power nothing reached the array; the chip's answers no longer matter.
    state.pendingError = 0;
  } else if (state.operation == kEraseOperation) {
    if (state.pendingError == 0) {
      EraseHalves(chip, state.operationAddress, state.operationWords);
    }
  } else if (state.operation == kProgramOperation) {
    for (std::uint32_t i = 0; i < state.programWords; ++i) {
      ProgramHalf(chip, state.operationAddress + i, state.bufferData[i]);
    }
  } else if (state.operation == kSetLockOperation) {
    state.locks[BlockOf(state.operationAddress).index] |= LOCK_LOCKED;
    locksChanged_ = true;
  } else if (state.operation == kClearLocksOperation) {
    state.locks.fill(0);
    locksChanged_ = true;
  }
  state.status |= state.pendingError;
  state.pendingError = 0;
  state.operation = kNoOperation;
}

void NorFlash::EraseHalves(int chip, std::uint32_t start, std::uint32_t words) {
  // When the other chip's halves are erased too, the whole range becomes a hole again.
  const int other = 1 - chip;
  bool otherErased = true;
  for (std::uint32_t word = start; word < start + words && otherErased; ++word) {
    otherErased = LoadHalf(other, word) == 0xFFFF;
  }
  if (otherErased) {
    EraseRange(std::uint64_t{start} * 4, std::uint64_t{words} * 4);
    return;
  }
  for (std::uint32_t word = start; word < start + words; ++word) {
    std::uint8_t* at = image_ + std::size_t{word} * 4 + 2 * chip;
    at[0] = 0;
    at[1] = 0;
  }
}

void NorFlash::EraseRange(std::uint64_t offset, std::uint64_t bytes) {
  // Whole pages go back to holes; the edges are cleared in place.
  const std::uint64_t page = 4096;
  const std::uint64_t first = (offset + page - 1) & ~(page - 1);
  const std::uint64_t last = (offset + bytes) & ~(page - 1);
  if (first < last &&
      ::fallocate(imageFd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(first),
                  static_cast<off_t>(last - first)) == 0) {
    std::memset(image_ + offset, 0, first - offset);
    std::memset(image_ + last, 0, offset + bytes - last);
    return;
  }
  std::memset(image_ + offset, 0, bytes);
}

void NorFlash::SequenceError(int chip, const std::string& what) {
  ChipState& state = state_->chips[chip];
  if (!what.empty()) {
    Record(what);
  }
  if (Busy(state)) {
    return;
  }
  state.status |= SR_SEQUENCE_ERROR;
  state.mode = NorMode::kReadStatus;
}

void NorFlash::Record(const std::string& what) {
  ++statistics_.protocolErrors;
  if (errors_.size() < 1000) {
    errors_.push_back(what);
  }
  if (machine_ != nullptr) {
    machine_->DebugLog("NOR: " + what);
  }
}

// ---------------------------------------------------------------------------------------------
// Tooling
// ---------------------------------------------------------------------------------------------
void NorFlash::Describe(Machine& /*machine*/, Json& info) {
  if (!Active()) {
    return;
  }
  Flush();
  Settle(clock_->Now());
  Json locked = Json::array();
  const std::uint32_t chipWords = config_.size / 4;
  for (std::uint32_t word = 0; word < chipWords; word += BlockOf(word).words) {
    const std::uint32_t index = BlockOf(word).index;
    if (((state_->chips[0].locks[index] | state_->chips[1].locks[index]) & LOCK_LOCKED) != 0) {
      locked.push_back(Hex(word * 4));
    }
  }
  Json chips = Json::array();
  for (const ChipState& chip : state_->chips) {
    chips.push_back({{"mode", NorModeName(chip.mode)},
                     {"status", Hex(StatusOf(chip), 2)},
                     {"busy", Busy(chip)}});
  }
  struct stat fileInfo {};
  ::fstat(imageFd_, &fileInfo);
  info["flash"] = {
      {"kind", "nor"},
      {"size", Hex(config_.size)},
      {"deviceCode", Hex(config_.deviceCode, 4)},
      {"layout", config_.chip.layout == NorLayout::kUniform ? "uniform" : "bottom-parameter"},
      {"bufferBytes", 1u << config_.chip.bufferBytesLog2},
      {"storage", "complemented"},
      {"wordProgramMicroseconds", busyNanoseconds_[0] / kMicrosecond},
      {"bufferProgramMicroseconds", busyNanoseconds_[1] / kMicrosecond},
      {"blockEraseMilliseconds", busyNanoseconds_[2] / kMillisecond},
      {"lockBits", KeepsLocks() ? "kept across power cycles" : "volatile (all locked at power-up)"},
      {"lockedBlocks", locked},
      {"chips", chips},
      {"imageBytesOnDisk", static_cast<std::uint64_t>(fileInfo.st_blocks) * 512},
  };
}

bool NorFlash::OsWaitReady() {
  Flush();
  Settle(clock_->Now());
  for (const ChipState& chip : state_->chips) {
    if (Busy(chip)) {
      if (chip.busyUntil == kNever) {
        // The OS driver gives up after its own time-out of ten seconds.
        clock_->Advance(10000 * kMillisecond);
        return false;
      }
      clock_->AdvanceTo(chip.busyUntil);
    }
  }
  Settle(clock_->Now());
  for (ChipState& chip : state_->chips) {
    chip.mode = NorMode::kReadArray;
  }
  return true;
}

bool NorFlash::Read(std::uint32_t offset, void* buffer, std::uint32_t length) {
  if (std::uint64_t{offset} + length > config_.size || !OsWaitReady()) {
    return false;
  }
  InvertCopy(static_cast<std::uint8_t*>(buffer), image_ + offset, length);
  clock_->Advance((std::uint64_t{length} + 3) / 4 * kBusAccessNanoseconds);
  return true;
}

bool NorFlash::Program(std::uint32_t offset, const void* buffer, std::uint32_t length) {
  if (std::uint64_t{offset} + length > config_.size || !OsWaitReady()) {
    return false;
  }
  ++faultEvent_;
  const bool programFaults = machine_->Faults().Holds(kProgramFail);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  // Check every byte first, so that a refused program changes nothing.
  for (std::uint32_t i = 0; i < length; ++i) {
    const std::uint32_t at = offset + i;
    const auto present = static_cast<std::uint8_t>(~image_[at]);
    if (bytes[i] != 0xFF && (present & bytes[i]) != bytes[i]) {
      Record("OS driver programming " + Hex(bytes[i], 2) + " over " + Hex(present, 2) + " at " +
             Hex(at, 8) + ": not erased");
      return false;
    }
    if (programFaults &&
        Hits(kProgramFail, "offset", static_cast<int>((at >> 1) & 1), at, at + 1)) {
      return false;
    }
  }
  const std::uint32_t first = offset / 4;
  const std::uint32_t end = (offset + length + 3) / 4;
  for (std::uint32_t word = first; word < end; word += BlockOf(word).words) {
    const Block block = BlockOf(word);
    if (Hits(kNeverReady, "block", -1, block.start * 4, (block.start + block.words) * 4)) {
      clock_->Advance(10000 * kMillisecond);
      return false;
    }
    if (!OsUnlock(block)) {
      return false;
    }
  }
  if (CountOperation("OS driver program", offset)) {
    return true;
  }
  for (std::uint32_t i = 0; i < length; ++i) {
    image_[offset + i] |= static_cast<std::uint8_t>(~bytes[i]);
  }
  // Buffered programs of whole write-buffer windows, the words written one access each.
  const std::uint32_t windows = (end + BufferWords() - 1) / BufferWords() - first / BufferWords();
  clock_->Advance(std::uint64_t{end - first} * kBusAccessNanoseconds +
                  windows * busyNanoseconds_[1]);
  return true;
}

bool NorFlash::EraseBlock(std::uint32_t offset) {
  if (offset >= config_.size || !OsWaitReady()) {
    return false;
  }
  ++faultEvent_;
  const Block block = BlockOf(offset / 4);
  const std::uint32_t firstByte = block.start * 4;
  const std::uint32_t endByte = (block.start + block.words) * 4;
  if (!OsUnlock(block)) {
    return false;
  }
  if (Hits(kNeverReady, "block", -1, firstByte, endByte)) {
    clock_->Advance(10000 * kMillisecond);
    return false;
  }
  clock_->Advance(busyNanoseconds_[2]);
  if (Hits(kEraseFail, "block", -1, firstByte, endByte)) {
    return false;
  }
  if (CountOperation("OS driver block erase", firstByte)) {
    return true;
  }
  EraseRange(firstByte, endByte - firstByte);
  return true;
}

bool NorFlash::OsUnlock(const Block& block) {
  bool locked = false;
  for (const ChipState& chip : state_->chips) {
    if ((chip.locks[block.index] & LOCK_DOWN) != 0) {
      return false;
    }
    locked = locked || (chip.locks[block.index] & LOCK_LOCKED) != 0;
  }
  if (!KeepsLocks()) {
    for (ChipState& chip : state_->chips) {
      chip.locks[block.index] = 0;
    }
    return true;
  }
  // One unlock clears every block's bit, and takes the chips' time.
  if (locked) {
    for (ChipState& chip : state_->chips) {
      chip.locks.fill(0);
    }
    clock_->Advance(kClearLockBitsNanoseconds);
    SaveKeptLocks();
  }
  return true;
}

bool NorFlash::BackdoorRead(std::uint32_t offset, void* destination, std::size_t bytes) {
  if (std::uint64_t{offset} + bytes > config_.size) {
    return false;
  }
  Flush();
  Settle(clock_->Now());
  InvertCopy(static_cast<std::uint8_t*>(destination), image_ + offset, bytes);
  return true;
}

bool NorFlash::BackdoorWrite(std::uint32_t offset, const void* source, std::size_t bytes) {
  if (std::uint64_t{offset} + bytes > config_.size) {
    return false;
  }
  Flush();
  Settle(clock_->Now());
  InvertCopy(image_ + offset, static_cast<const std::uint8_t*>(source), bytes);
  return true;
}

bool NorFlash::BackdoorErase(std::uint32_t offset, std::size_t bytes) {
  if (std::uint64_t{offset} + bytes > config_.size) {
    return false;
  }
  Flush();
  Settle(clock_->Now());
  EraseRange(offset, bytes);
  return true;
}

NorFlash& Attached() {
  if (!norFlash.Active()) {
    Fault("the attached module has no NOR flash");
  }
  return norFlash;
}

}  // namespace

std::span<const NorChipType> NorChipTypes() { return kChipTypes; }

const NorChipType* FindNorChipType(std::uint16_t deviceCode) {
  for (const NorChipType& type : kChipTypes) {
    if (type.deviceCode == deviceCode) {
      return &type;
    }
  }
  return nullptr;
}

const char* NorModeName(NorMode mode) {
  switch (mode) {
    case NorMode::kReadArray:
      return "read array";
    case NorMode::kReadIdentifier:
      return "read identifier";
    case NorMode::kCfiQuery:
      return "CFI query";
    case NorMode::kReadStatus:
      return "read status";
    case NorMode::kEraseSetup:
      return "erase setup";
    case NorMode::kLockSetup:
      return "lock setup";
    case NorMode::kWordProgramSetup:
      return "word program setup";
    case NorMode::kBufferCount:
      return "buffer count";
    case NorMode::kBufferData:
      return "buffer data";
    case NorMode::kBufferConfirm:
      return "buffer confirm";
    default:
      return "unknown";
  }
}

bool NorBackdoorRead(std::uint32_t offset, void* destination, std::size_t bytes) {
  return Attached().BackdoorRead(offset, destination, bytes);
}
bool NorBackdoorWrite(std::uint32_t offset, const void* source, std::size_t bytes) {
  return Attached().BackdoorWrite(offset, source, bytes);
}
bool NorBackdoorErase(std::uint32_t offset, std::size_t bytes) {
  return Attached().BackdoorErase(offset, bytes);
}
std::vector<FileExtent> NorDataExtents() { return Attached().DataExtents(); }
std::uint32_t NorSize() { return Attached().Size(); }
std::array<NorMode, 2> NorChipModes() { return {Attached().Mode(0), Attached().Mode(1)}; }
std::array<std::uint8_t, 2> NorChipStatus() { return {Attached().Status(0), Attached().Status(1)}; }
bool NorBlockLocked(std::uint32_t offset, int chip) { return Attached().Locked(offset, chip); }
std::vector<std::string> NorProtocolErrors() { return Attached().Errors(); }
void NorClearProtocolErrors() { Attached().ClearErrors(); }
NorStatistics NorStats() { return Attached().Statistics(); }
void NorRecordOperations(bool on) { Attached().RecordOperations(on); }
std::vector<NorOperation> NorOperations() { return Attached().Operations(); }

}  // namespace sim
