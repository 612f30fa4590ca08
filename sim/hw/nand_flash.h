// The PXA3xx data flash controller and the NAND chip behind it.
//
// The controller sits at physical 0x43100000 and is modelled register by register: NDCR
// (configuration, ND_RUN starts a command and clears itself when the command ends), the timing
// registers NDTR0CS0 and NDTR1CS0 (kept, checked against the chip's minimum timings and used for
// the transfer times), NDSR (write one to clear), NDDB (the 32-bit data FIFO) and NDCB0, which
// latches three words per command. The chip is one of five large-page parts (2048-byte pages
// with 64 spare bytes, 64 pages per block); the largest is two dies on two chip selects.
//
// Interrupts: NDCR bits 0 to 11 mask the NDSR bits of the same place. While the OS flash driver
// is loaded its interrupt handler takes (clears) every status bit that is unmasked, so that a
// caller that polls NDSR with them unmasked waits in vain, as it would on the module.
//
// Stricter than the silicon, so that a driver mistake fails loudly: a data command under a page
// size, block size or timing configuration that does not fit the chip, an address with the
// wrong number of cycles, a data register access without a pending request, a second ND_RUN
// while a command is in progress, or a second program of a page with error correction on (a
// page is programmed once per erase) ends the process as a data abort would.
//
// Hardware ECC: with ECC_EN the controller shows 40 spare bytes and keeps its code in the other
// 24. The code covers the page data and the 40 visible spare bytes; one flipped bit is corrected,
// two or more are reported as uncorrectable. Erased spare bytes (0xFF) are never a valid code,
// so an erased page read with ECC_EN on is uncorrectable, as on the real controller.
//
// Persistence (module directory): page data in flash.img, spare areas in nand.oob, both sparse
// and memory-mapped, each file byte the complement of the flash byte so that erased flash (0xFF)
// is a hole; per-block erase counts in nand.wear; in nand.programs, per page the programs since
// its erase (one byte each, saturating) and then per block the programs since its erase that
// came after a higher page of the block (32 bits each). The controller's configuration registers
// live in ram/nand.controller (they keep their values while the module runs and return to their
// power-on values at a reset). Pages and blocks in the fault plan and in the testing calls are
// physical and count across both chip selects (the second die's pages follow the first's).
//
// Fault plan items (module.json "faults.items" or FaultPlan::Add):
//   {"kind": "nand.bad-block", "block": B}             every erase and program of B fails
//   {"kind": "nand.worn-block", "block": B, "erases": N}  erases of B fail after N of them
//   {"kind": "nand.erase-fail", "block": B, "skip": S, "count": C}   (count 1 unless given)
//   {"kind": "nand.program-fail", "page": P, "skip": S, "count": C}  (count 1 unless given)
//   {"kind": "nand.bit-flip", "page": P, "bits": N, "positions": [bit, ...], "skip": S,
//    "count": C}  N bits of the page data read flipped (count -1, every read, unless given)
//   {"kind": "nand.no-request", "request": "command" | "data", "skip": S, "count": C}
//    the controller never raises the command (or data) request of a command (count -1 default)
//   {"kind": "nand.id", "id": "0x1234"}  the chip answers another identifier (maker code low)
//   {"kind": "power-cut", "after": N}  the power fails during the (N+1)th page program or block
//    erase of this process (the controller's and the OS driver's alike): that page keeps every
//    other byte, that block stays as it was, and nothing after it reaches the array, although
//    the chip goes on answering as if it did. A module reset brings the power back.
//   {"kind": "nand.program-fail", ..., "leaves": "every-other-byte" | "one-stuck-bit"}
//    one-stuck-bit: the chip reports the failure, yet the page holds all but one of the bits the
//    program cleared, so that it reads back corrected with ECC on
//   {"kind": "nand.disturb", "page": P, "bits": N, "positions": [bit, ...], "skip": S,
//    "count": C}  a page programmed more often since its erase than the chip allows (any such
//    page unless P is given) reads with N of its 1 bits as 0 (count -1, every read, unless given)
// A failed program leaves the page partly programmed (every other byte), as an aborted program
// pulse would; a failed erase leaves the block as it was.
//
// Program counts: the chips take at most kNandPartialPrograms programs of a page between two
// erases, and their pages are to be programmed in order within a block. Neither is refused (the
// bad block table page is programmed over in place, the boot area is written around it), but
// both are counted, shown by `info`, and a page programmed past the limit writes a line to the
// debug log.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "sim/base/files.h"
#include "sim/hw/bus.h"
#include "sim/module/machine.h"
#include "sim/os/os_flash.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// Geometry shared by every supported chip
// ---------------------------------------------------------------------------------------------
inline constexpr std::uint32_t kNandControllerBase = 0x43100000;  // DFC register block
inline constexpr std::uint32_t kNandPageBytes = 2048;
inline constexpr std::uint32_t kNandSpareBytes = 64;
inline constexpr std::uint32_t kNandPagesPerBlock = 64;
inline constexpr std::uint32_t kNandBlockBytes = kNandPageBytes * kNandPagesPerBlock;
inline constexpr std::uint32_t kNandEccVisibleSpare = 40;  // spare bytes shown with ECC_EN
inline constexpr std::uint32_t kNandEccCodeBytes = kNandSpareBytes - kNandEccVisibleSpare;
// The page that holds the bad block table on flash (last page of block 0), its magic, and the
// shared memory that the OS flash driver fills from it.
inline constexpr std::uint32_t kNandTablePage = 63;
inline constexpr std::uint16_t kNandTableMagic = 0x524E;
inline constexpr std::uint32_t kNandTableMaxEntries = 511;  // (2048 - 4) / 4
// Programs a page of these large-page parts takes between two erases (partial programs, NOP).
inline constexpr std::uint32_t kNandPartialPrograms = 4;
inline constexpr const char* kNandSharedTableName = "NAND_FLASH_BBMT";
inline constexpr std::uint32_t kNandSharedTableBytes = 16388;       // magic + 8192 16-bit entries
inline constexpr std::uint32_t kNandSharedTableMagic = 0x544D4242;  // "BBMT"

// ---------------------------------------------------------------------------------------------
// The supported chips
// ---------------------------------------------------------------------------------------------
struct NandChip {
  std::uint32_t id;                     // first two identifier bytes, maker code in the low byte
  std::array<std::uint8_t, 5> idBytes;  // the full read-identifier reply
  std::uint32_t blocks;                 // over all chip selects
  std::uint32_t chipSelects;            // dies; each holds blocks / chipSelects blocks
  std::uint32_t readAddressCycles;      // 2 column + 2 or 3 row cycles
  std::uint32_t eraseAddressCycles;     // row cycles
  // Minimum interface timings of the datasheet, in ns.
  std::uint32_t tCH, tCS, tWH, tWP, tRH, tRP, tWHR, tAR;
  // Busy times of the array, in ns.
  std::uint64_t readBusy;     // tR, page to data register
  std::uint64_t programBusy;  // tPROG
  std::uint64_t eraseBusy;    // tBERS
  std::uint64_t resetBusy;    // tRST from idle
  const char* description;
};

std::span<const NandChip> NandChips();
// The chip with that identifier, or null.
const NandChip* FindNandChip(std::uint32_t id);

// Controller clock that the interface timings count in: 156 MHz on the PXA300 and PXA310,
// 104 MHz on the others.
std::uint32_t NandControllerClockMhz(std::uint32_t processorIdentity);

// ---------------------------------------------------------------------------------------------
// The controller's error correction code
// ---------------------------------------------------------------------------------------------
enum class NandEccResult { kClean, kCorrected, kUncorrectable };
// Writes the 24-byte code for a page's data and its 40 visible spare bytes.
void NandEccEncode(const std::uint8_t* data, const std::uint8_t* visibleSpare, std::uint8_t* code);
// Checks data + spare (64 bytes, code in the last 24) and corrects one flipped bit in place.
NandEccResult NandEccDecode(std::uint8_t* data, std::uint8_t* spare);

// ---------------------------------------------------------------------------------------------
// The model
// ---------------------------------------------------------------------------------------------
// One command as the controller saw it (testing calls).
struct NandCommandRecord {
  std::uint32_t ndcr = 0;     // NDCR when ND_RUN was set
  std::uint32_t command = 0;  // NDCB0 words
  std::uint32_t address1 = 0;
  std::uint32_t address2 = 0;
  std::uint32_t dataBytes = 0;  // bytes moved through NDDB
  std::uint32_t chipSelect = 0;
  std::uint32_t page = 0;  // row address within the chip select (read, program, erase)
};

// What the chip spent its time on since attach (for benchmarks).
struct NandBusyTotals {
  std::uint64_t reads = 0, programs = 0, erases = 0;
  std::uint64_t arrayNs = 0;     // tR, tPROG, tBERS and tRST
  std::uint64_t transferNs = 0;  // bytes over the chip interface at the programmed timings
  std::uint64_t busNs = 0;       // register accesses of the processor
};

class NandFlash final : public Component, public BusDevice, public OsFlash {
 public:
  NandFlash();
  ~NandFlash() override;
  NandFlash(const NandFlash&) = delete;
  NandFlash& operator=(const NandFlash&) = delete;

  // The NAND model of the attached module, or null when the module has none.
  static NandFlash* Current();

  // Component
  const char* ComponentName() const override { return "nand"; }
  bool Create(const PresetSpec& presetSpec, const fs::path& directory, Json& config,
              std::string* error) override;
  void Validate(ConfigReader& reader) override;
  std::span<const FaultKind* const> FaultKinds() const override;
  bool CheckFiles(const fs::path& directory, const Json& config, std::string* error) override;
  bool Attach(Machine& machine, std::string* error) override;
  void Boot(Machine& machine) override;
  void Detach(Machine& machine) override;
  void Describe(Machine& machine, Json& info) override;

  // BusDevice
  const char* DeviceName() const override { return "data flash controller"; }
  std::uint32_t Read32(std::uint32_t offset) override;
  void Write32(std::uint32_t offset, std::uint32_t value) override;

  // OsFlash: the OS flash driver's logical view (bad block table, boot-area layout).
  std::uint32_t Size() override;
  std::uint32_t BlockSize(std::uint32_t offset) override;
  bool Read(std::uint32_t offset, void* buffer, std::uint32_t length) override;
  bool Program(std::uint32_t offset, const void* buffer, std::uint32_t length) override;
  bool EraseBlock(std::uint32_t offset) override;

  [[nodiscard]] const NandChip& Chip() const { return *chip_; }
  [[nodiscard]] std::uint32_t BlockCount() const { return chip_->blocks; }
  [[nodiscard]] std::uint32_t PageCount() const { return chip_->blocks * kNandPagesPerBlock; }
  [[nodiscard]] std::uint32_t Ndcr() const;
  [[nodiscard]] std::uint32_t Ndtr0() const;
  [[nodiscard]] std::uint32_t Ndtr1() const;

  // --- testing calls ---
  // Raw page access, ignoring every program rule: data (2048 bytes) and spare (64 bytes), either
  // may be null. False when page is beyond the chip.
  bool ReadRawPage(std::uint32_t page, std::uint8_t* data, std::uint8_t* spare) const;
  bool WriteRawPage(std::uint32_t page, const std::uint8_t* data, const std::uint8_t* spare);
  // Programs a page as the controller with ECC_EN would: data, 40 visible spare bytes (null:
  // 0xFF) and the code. Overwrites whatever the page held.
  bool WriteEccPage(std::uint32_t page, const std::uint8_t* data, const std::uint8_t* visibleSpare);
  bool EraseRawBlock(std::uint32_t block);
  [[nodiscard]] bool PageErased(std::uint32_t page) const;
  // The stretches of the page data (byte offset page * 2048) that may hold programmed bytes:
  // the data of every page outside them is erased. Found from the holes of flash.img, without
  // reading the flash.
  [[nodiscard]] std::vector<FileExtent> DataExtents() const;
  [[nodiscard]] std::uint32_t EraseCount(std::uint32_t block) const;
  // Programs of the page since its block's erase (saturating at 255), and programs in the block
  // since its erase that came after a higher page of the block had been programmed.
  [[nodiscard]] std::uint32_t ProgramCount(std::uint32_t page) const;
  [[nodiscard]] std::uint32_t OutOfOrderPrograms(std::uint32_t block) const;
  // Every command from now on is recorded (and the record cleared).
  void StartCommandLog();
  [[nodiscard]] std::vector<NandCommandRecord> CommandLog() const { return log_; }
  // Register accesses of the processor since attach.
  [[nodiscard]] std::uint64_t RegisterAccesses() const { return registerAccesses_; }
  [[nodiscard]] NandBusyTotals Totals() const;
  // The bad block map that the OS flash driver uses: the shared table when it holds "BBMT",
  // else the one the on-flash table page gives. Entry i is the physical block of logical i.
  [[nodiscard]] std::vector<std::uint16_t> OsBlockMap();
  // Reserve at the top of the chip that replaces failed blocks: 2 % of the blocks.
  [[nodiscard]] std::uint32_t ReservedBlocks() const { return chip_->blocks * 2 / 100; }

 private:
  struct Controller;  // register file kept in ram/

  // Chip
  bool OpenFiles(const fs::path& directory, std::string* error);
  void CloseFiles();
  [[nodiscard]] bool Present() const { return chip_ != nullptr && image_ != nullptr; }
  void Sense(std::uint32_t page, std::uint8_t* data, std::uint8_t* spare);
  enum class ProgramOutcome { kDone, kFailed };
  ProgramOutcome ProgramPage(std::uint32_t page, const std::uint8_t* data,
                             const std::uint8_t* spare, bool eccOn);
  bool EraseBlockPhysical(std::uint32_t block);
  void CommitErase(std::uint32_t block);
  // A factory bad block, or one the fault plan makes bad (what: the operation, for its log).
  bool BlockAlwaysFails(std::uint32_t block, const std::string& what);
  std::uint32_t* WearCounter(std::uint32_t block) const;
  // Counts a program pulse on page against the chip's partial-program limit and page order.
  void CountProgram(std::uint32_t page);

  // Controller
  void CountAccess() { ++pendingAccesses_; }
  void FlushBusTime();
  void Settle(bool waitForNext);
  void WriteControl(std::uint32_t value);
  void LatchCommandWord(std::uint32_t value);
  void StartCommand();
  void FinishDataPhase();
  void Complete(std::uint32_t statusBits);
  // With the OS flash driver loaded, its interrupt handler takes the NDSR bits that NDCR leaves
  // unmasked: a program that polls must mask them while it drives the controller.
  void TakeInterrupts();
  void ScheduleEvent(std::uint64_t at, int kind);
  [[noreturn]] void ControllerFault(const std::string& what) const;
  void CheckTimings() const;
  [[nodiscard]] std::uint64_t CycleNs(std::uint32_t cycles) const;
  // Picoseconds per byte over the chip interface at the programmed timings.
  [[nodiscard]] std::uint64_t ReadCyclePs() const;
  [[nodiscard]] std::uint64_t WriteCyclePs() const;
  [[nodiscard]] std::uint32_t SpareShown(std::uint32_t ndcr) const;

  // Faults
  void ApplyBitFlips(std::uint32_t page, std::uint8_t* data);
  // A page programmed past the limit reads disturbed bits as 0 when the plan says so.
  void ApplyDisturb(std::uint32_t page, std::uint8_t* data);
  bool TakeNoRequest(bool dataRequest);
  // The identifier bytes the chip answers (a fault plan item may make it another part's).
  std::array<std::uint8_t, 5> Identifier();

  // OS view
  bool OsTranslate(const std::vector<std::uint16_t>& map, std::uint32_t logicalPage,
                   std::uint32_t* physicalPage) const;
  std::uint8_t* SharedTable(bool create);
  void OsDriverBoot();

  const NandChip* chip_ = nullptr;
  fs::path directory_;
  std::uint32_t clockMhz_ = 104;
  std::vector<std::uint32_t> factoryBad_;
  bool osDriverLoaded_ = true;

  int imageFd_ = -1, spareFd_ = -1, wearFd_ = -1, programsFd_ = -1, controllerFd_ = -1;
  std::uint8_t* image_ = nullptr;
  std::uint8_t* spare_ = nullptr;
  std::uint32_t* wear_ = nullptr;
  std::uint8_t* programs_ = nullptr;  // per page, then outOfOrder_ per block
  std::uint32_t* outOfOrder_ = nullptr;
  Controller* registers_ = nullptr;
  std::uint64_t imageBytes_ = 0, spareFileBytes_ = 0;

  // Command in progress (one process drives the controller at a time, under the flash lock).
  enum class Phase { kIdle, kAwaitingCommand, kLatching, kWaiting, kReadData, kWriteData };
  Phase phase_ = Phase::kIdle;
  std::uint32_t ndsr_ = 0;
  std::uint32_t runNdcr_ = 0;  // NDCR of the running command
  std::array<std::uint32_t, 3> commandWords_{};
  std::uint32_t latched_ = 0;
  int type_ = -1;
  std::uint32_t chipSelect_ = 0;
  std::uint32_t row_ = 0;
  bool eccOn_ = false;
  bool autoStatus_ = false;
  bool commandRequested_ = false;
  std::uint32_t pendingStatus_ = 0;   // ECC bits raised with the read data request
  std::uint32_t completionBits_ = 0;  // NDSR bits raised when the command ends
  std::uint32_t badBlockRow_[2] = {0, 0};
  // Data FIFO: the page and spare bytes of a read or program (512 + 16 for the identifier read
  // of a small-page configuration, 2048 + 64 at most).
  alignas(8) std::array<std::uint8_t, kNandPageBytes + kNandSpareBytes> buffer_{};
  std::uint32_t transferBytes_ = 0;
  std::uint32_t position_ = 0;
  struct Event {
    std::uint64_t at;
    int kind;
  };
  std::array<Event, 3> events_{};
  std::uint32_t eventCount_ = 0;
  std::uint64_t pendingAccesses_ = 0;
  std::uint64_t registerAccesses_ = 0;
  bool logging_ = false;
  bool interruptLogged_ = false;  // one debug log line per command whose bits the OS took
  std::vector<NandCommandRecord> log_;
  NandBusyTotals totals_;
  std::uint8_t* sharedTable_ = nullptr;  // 16388 bytes: magic word then the map
};

}  // namespace sim
