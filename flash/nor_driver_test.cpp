// The NOR driver over the dual-chip model of a PXA27x module.
#include "flash/nor_driver.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "platform/kernel.h"
#include "sim/hw/nor_flash.h"
#include "sim/module/machine.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"

namespace {

using testing_support::ModuleTest;

// An erase block far above the preset's content (256 KiB blocks there).
constexpr DWORD kScratch = 0x1F00000;

class NorDriverTest : public ModuleTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
  void SetUp() override {
    ModuleTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    FlashResetForTesting();
    ResetKernelModeStateForTesting();
    if (StartDriver()) {
      ASSERT_EQ(FlashInit(), kFlashKindNor);
      ASSERT_EQ(FlashLock(INFINITE), 1);
      if (sim::NorSize() >= kScratch + 0x80000) {
        ASSERT_TRUE(sim::NorBackdoorErase(kScratch, 0x80000));
      }
    }
  }
  void TearDown() override {
    if (FlashKind != kFlashKindNone) {
      (void)FlashUnlock();
    }
    ModuleTest::TearDown();
  }
  virtual bool StartDriver() const { return true; }

  std::vector<BYTE> Flash(DWORD offset, DWORD length) {
    std::vector<BYTE> bytes(length);
    EXPECT_TRUE(sim::NorBackdoorRead(offset, bytes.data(), length));
    return bytes;
  }
  void ExpectReadArray() {
    const auto modes = sim::NorChipModes();
    EXPECT_EQ(modes[0], sim::NorMode::kReadArray) << sim::NorModeName(modes[0]);
    EXPECT_EQ(modes[1], sim::NorMode::kReadArray) << sim::NorModeName(modes[1]);
  }
  // Chip 0's operations of one kind (chip 1 runs the same ones beside it).
  static std::vector<sim::NorOperation> Chip0(sim::NorOperation::Kind kind) {
    std::vector<sim::NorOperation> result;
    for (const sim::NorOperation& operation : sim::NorOperations()) {
      if (operation.chip == 0 && operation.kind == kind) {
        result.push_back(operation);
      }
    }
    return result;
  }
};

// A buffer whose last byte sits right before an inaccessible page: reading past it faults.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t length) : length_(length) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    mapped_ = (length + page - 1) / page * page + page;
    void* memory =
        ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = static_cast<BYTE*>(memory);
    ::mprotect(base_ + mapped_ - page, page, PROT_NONE);
    data_ = base_ + mapped_ - page - length;
  }
  ~GuardedBuffer() { ::munmap(base_, mapped_); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;
  BYTE* Data() { return data_; }
  std::size_t Length() const { return length_; }

 private:
  std::size_t length_;
  std::size_t mapped_ = 0;
  BYTE* base_ = nullptr;
  BYTE* data_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Start-up: chip class, block layout and size
// ---------------------------------------------------------------------------------------------
struct LayoutCase {
  const char* deviceCode;
  const char* size;
  int chipClass;
  DWORD flashSize;
  bool parameterBlocks;
};

class NorLayoutTest : public NorDriverTest, public ::testing::WithParamInterface<LayoutCase> {
 protected:
  void Configure(sim::Json& config) override {
    config["flash"]["deviceCode"] = GetParam().deviceCode;
    config["flash"]["size"] = GetParam().size;
    std::uint64_t size = 0;
    ASSERT_TRUE(sim::ParseUnsigned(config["flash"]["size"], &size));
    std::filesystem::resize_file(ModuleDirectory() / "flash.img", size);
  }
};

TEST_P(NorLayoutTest, ClassGivesBlockLayoutAndCfiGivesSize) {
  EXPECT_EQ(flashChipClass, GetParam().chipClass);
  EXPECT_EQ(FlashSize, GetParam().flashSize);
  const DWORD small = GetParam().parameterBlocks ? 0x10000 : 0x40000;
  for (DWORD offset : {0x0u, 0x10000u, 0x20000u, 0x30000u, 0x3FFFFu}) {
    EXPECT_EQ(FlashOps.BlockSize(offset), small) << std::hex << offset;
  }
  for (DWORD offset : {0x40000u, 0x80000u, FlashSize - 1}) {
    EXPECT_EQ(FlashOps.BlockSize(offset), 0x40000u) << std::hex << offset;
  }
  // The last byte is readable through the mapping; the chips were left reading.
  BYTE last = 0;
  EXPECT_EQ(FlashOps.Read(&last, FlashSize - 1, 1), 1);
  ExpectReadArray();
  EXPECT_TRUE(sim::NorProtocolErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(
    DeviceCodes, NorLayoutTest,
    ::testing::Values(LayoutCase{"0x0018", "0x2000000", 1, 0x2000000, false},
                      LayoutCase{"0x8803", "0x4000000", 2, 0x4000000, false},
                      LayoutCase{"0x881A", "0x1000000", 3, 0x1000000, true},
                      LayoutCase{"0x891C", "0x4000000", 3, 0x4000000, true},
                      LayoutCase{"0x8821", "0x2000000", 5, 0x2000000, true},
                      // An unknown chip is class 0 with 256 KiB blocks, not an error.
                      LayoutCase{"0x1234", "0x1000000", 0, 0x1000000, false},
                      // One chip of 2^26 bytes: capped at what the chip select decodes.
                      LayoutCase{"0x8960", "0x8000000", 0, 0x4000000, false}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) {
      return std::string("Code") + (info.param.deviceCode + 2);
    });

class NorCfiGarbageTest : public NorDriverTest {
 protected:
  void Configure(sim::Json& config) override {
    config["flash"]["deviceCode"] = "0x8960";
    config["flash"]["size"] = "0x8000000";
    std::filesystem::resize_file(ModuleDirectory() / "flash.img", 0x8000000);
    config["faults"]["items"].push_back(faults::NorCfiByte{.address = 0x27, .value = 0xFF});
  }
};

TEST_F(NorCfiGarbageTest, HugeSizeExponent_CappedAt64MiB) { EXPECT_EQ(FlashSize, 0x4000000u); }

// ---------------------------------------------------------------------------------------------
// Start-up: the unlock walk over the chips' lock bits
// ---------------------------------------------------------------------------------------------
struct UnlockCase {
  const char* name;
  const char* deviceCode;
  const char* size;
  const char* lockedBelow;  // chips that keep their lock bits: locked when the module was made
  std::size_t unlocks;      // unlock commands at start-up
  bool bootBlocksLocked;    // after start-up
  std::uint64_t busyMs;     // the chips' busy time of those unlocks, at least
};

class NorUnlockWalkTest : public NorDriverTest, public ::testing::WithParamInterface<UnlockCase> {
 protected:
  bool StartDriver() const override { return false; }
  void Configure(sim::Json& config) override {
    const UnlockCase& c = GetParam();
    config["flash"]["deviceCode"] = c.deviceCode;
    config["flash"]["size"] = c.size;
    config["flash"].erase("lockedBelow");
    if (c.lockedBelow != nullptr) {
      config["flash"]["lockedBelow"] = c.lockedBelow;
    }
    std::uint64_t size = 0;
    ASSERT_TRUE(sim::ParseUnsigned(config["flash"]["size"], &size));
    std::filesystem::resize_file(ModuleDirectory() / "flash.img", size);
  }
};

TEST_P(NorUnlockWalkTest, StartUpUnlocksAboveTheBootBlocks_AndTheDriverWorksOnEveryBlock) {
  const UnlockCase& c = GetParam();
  sim::NorRecordOperations(true);
  const std::uint64_t started = Machine().Clock().Now();
  ASSERT_EQ(FlashInit(), kFlashKindNor);
  const std::uint64_t took = Machine().Clock().Now() - started;
  EXPECT_EQ(Chip0(sim::NorOperation::Kind::kUnlock).size(), c.unlocks);
  EXPECT_GE(took, c.busyMs * sim::kMillisecond);
  EXPECT_LT(took, c.busyMs * sim::kMillisecond + 100 * sim::kMillisecond);
  EXPECT_EQ(sim::NorBlockLocked(0, 0), c.bootBlocksLocked);
  for (const DWORD offset : {0x40000u, 0x80000u, FlashSize - 0x40000}) {
    EXPECT_FALSE(sim::NorBlockLocked(offset, 0)) << std::hex << offset;
    EXPECT_FALSE(sim::NorBlockLocked(offset, 1)) << std::hex << offset;
  }
  ExpectReadArray();
  EXPECT_TRUE(sim::NorProtocolErrors().empty()) << sim::NorProtocolErrors().front();

  // Whatever start-up left locked, erasing and writing work everywhere, boot blocks included.
  ASSERT_EQ(FlashLock(INFINITE), 1);
  const BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (const DWORD offset : {0x0u, FlashSize - 0x40000}) {
    ASSERT_EQ(FlashOps.Erase(offset, FlashOps.BlockSize(offset)), 1) << std::hex << offset;
    ASSERT_EQ(FlashOps.Write(data, offset + 0x20, sizeof(data)), 1) << std::hex << offset;
    EXPECT_EQ(Flash(offset + 0x20, sizeof(data)), std::vector<BYTE>(data, data + sizeof(data)));
  }
  ExpectReadArray();
  EXPECT_TRUE(sim::NorProtocolErrors().empty()) << sim::NorProtocolErrors().front();
}

INSTANTIATE_TEST_SUITE_P(
    LockBits, NorUnlockWalkTest,
    ::testing::Values(
        // Volatile lock bits: every block powers up locked; the walk unlocks 127 or 255 blocks.
        UnlockCase{"VolatileParameterChips", "0x881B", "0x2000000", nullptr, 127, true, 0},
        UnlockCase{"VolatileUniformChips", "0x8803", "0x4000000", nullptr, 255, true, 0},
        // Lock bits kept across power cycles: one unlock clears every block's bit in 0.5 s.
        UnlockCase{"KeptEveryBlockLocked", "0x0018", "0x2000000", "0x2000000", 1, false, 500},
        UnlockCase{"KeptBootBlocksLocked", "0x0018", "0x2000000", "0x40000", 0, true, 0},
        UnlockCase{"KeptNoneLocked", "0x0019", "0x4000000", nullptr, 0, false, 0}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Write
// ---------------------------------------------------------------------------------------------
TEST_F(NorDriverTest, Write100BytesAt0x20_ThreeBufferedChunksOf8And16And1Words) {
  std::vector<BYTE> data(100);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<BYTE>(i * 7 + 1);
  }
  sim::NorRecordOperations(true);
  ASSERT_EQ(FlashOps.Write(data.data(), kScratch + 0x20, 100), 1);
  const auto chunks = Chip0(sim::NorOperation::Kind::kBufferProgram);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].offset, kScratch + 0x20);
  EXPECT_EQ(chunks[0].words, 8u);
  EXPECT_EQ(chunks[1].offset, kScratch + 0x40);
  EXPECT_EQ(chunks[1].words, 16u);
  EXPECT_EQ(chunks[2].offset, kScratch + 0x80);
  EXPECT_EQ(chunks[2].words, 1u);
  EXPECT_EQ(Flash(kScratch + 0x20, 100), data);
  EXPECT_EQ(Flash(kScratch + 0x84, 4), std::vector<BYTE>(4, 0xFF));
  ExpectReadArray();
  EXPECT_TRUE(sim::NorProtocolErrors().empty());
}

struct PartialCase {
  DWORD offset;  // from kScratch
  DWORD length;
};

class NorPartialWriteTest : public NorDriverTest,
                            public ::testing::WithParamInterface<PartialCase> {};

// Bytes of a partial word outside the range are programmed as 0xFF, never taken from past the
// caller's buffer; a neighbouring record written later in the same word survives both writes.
TEST_P(NorPartialWriteTest, ProgramsExactlyTheRange) {
  const DWORD offset = kScratch + GetParam().offset;
  const DWORD length = GetParam().length;
  GuardedBuffer buffer(length);
  for (DWORD i = 0; i < length; ++i) {
    buffer.Data()[i] = static_cast<BYTE>(0x30 + i);
  }
  ASSERT_EQ(FlashOps.Write(buffer.Data(), offset, length), 1);
  const DWORD first = offset & ~3u;
  const DWORD end = (offset + length + 3) & ~3u;
  const std::vector<BYTE> after = Flash(first, end - first);
  for (DWORD at = first; at < end; ++at) {
    const bool inside = at >= offset && at < offset + length;
    EXPECT_EQ(after[at - first], inside ? 0x30 + (at - offset) : 0xFF) << std::hex << at;
  }
  // A second record right behind the first, sharing its last word.
  const BYTE next[2] = {0xA5, 0x5A};
  ASSERT_EQ(FlashOps.Write(next, offset + length, 2), 1);
  EXPECT_EQ(Flash(offset + length, 2), std::vector<BYTE>(next, next + 2));
  EXPECT_EQ(Flash(offset, 1)[0], 0x30);
  EXPECT_TRUE(sim::NorProtocolErrors().empty());
  ExpectReadArray();
}

INSTANTIATE_TEST_SUITE_P(Ranges, NorPartialWriteTest,
                         ::testing::Values(PartialCase{0, 3}, PartialCase{1, 2}, PartialCase{3, 1},
                                           PartialCase{2, 7}, PartialCase{5, 64},
                                           PartialCase{0x3E, 4}, PartialCase{0x3F, 70}),
                         [](const ::testing::TestParamInfo<PartialCase>& info) {
                           return "At" + std::to_string(info.param.offset) + "Length" +
                                  std::to_string(info.param.length);
                         });

TEST_F(NorDriverTest, WriteOverLockedBootBlock_FailsAndErasingUnlocksIt) {
  const std::vector<BYTE> before = Flash(0x100, 4);
  const BYTE zero[4] = {};
  EXPECT_TRUE(sim::NorBlockLocked(0, 0));
  EXPECT_FALSE(sim::NorBlockLocked(0x40000, 0));
  EXPECT_EQ(FlashOps.Write(zero, 0x100, 4), 0);
  EXPECT_EQ(Flash(0x100, 4), before);
  ExpectReadArray();
  EXPECT_EQ(sim::NorChipStatus()[0], 0x80) << "status cleared after the failure";
  ASSERT_EQ(FlashOps.Erase(0, 0x10000), 1);
  EXPECT_FALSE(sim::NorBlockLocked(0, 0));
  EXPECT_TRUE(sim::NorBlockLocked(0x10000, 0)) << "only the erased block was unlocked";
  EXPECT_EQ(Flash(0, 0x10000), std::vector<BYTE>(0x10000, 0xFF));
  EXPECT_EQ(FlashOps.Write(zero, 0x100, 4), 1);
}

TEST_F(NorDriverTest, WriteWordAndReadWord_RoundTrip) {
  ASSERT_EQ(FlashOps.WriteWord(kScratch + 8, 0x12345678), 1);
  EXPECT_EQ(FlashOps.ReadWord(kScratch + 8), 0x12345678u);
  EXPECT_EQ(Flash(kScratch + 8, 4), (std::vector<BYTE>{0x78, 0x56, 0x34, 0x12}));
  BYTE bytes[4] = {};
  ASSERT_EQ(FlashOps.Read(bytes, kScratch + 9, 3), 1);
  EXPECT_EQ(bytes[0], 0x56);
  EXPECT_EQ(bytes[2], 0x12);
  ExpectReadArray();
}

// ---------------------------------------------------------------------------------------------
// Ranges
// ---------------------------------------------------------------------------------------------
enum class Operation { kRead, kWrite, kErase, kReadWord, kWriteWord };

struct RangeCase {
  const char* name;
  Operation operation;
  bool fromEnd;  // offset counts back from FlashSize
  DWORD offset;
  DWORD length;
  int expected;
};

class NorRangeTest : public NorDriverTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(NorRangeTest, OutOfRangeFailsWithoutTouchingTheChips) {
  const RangeCase& range = GetParam();
  const DWORD offset = range.fromEnd ? FlashSize - range.offset : range.offset;
  ASSERT_TRUE(sim::NorBackdoorErase(FlashSize - 0x40000, 0x40000));
  BYTE buffer[64] = {};
  const std::uint64_t accessesBefore = sim::NorStats().accesses;
  int result = 0;
  switch (range.operation) {
    case Operation::kRead:
      result = FlashOps.Read(buffer, offset, range.length);
      break;
    case Operation::kWrite:
      result = FlashOps.Write(buffer, offset, range.length);
      break;
    case Operation::kErase:
      result = FlashOps.Erase(offset, range.length);
      break;
    case Operation::kReadWord:
      result = FlashOps.ReadWord(offset) != 0 ? 1 : 0;
      break;
    case Operation::kWriteWord:
      result = FlashOps.WriteWord(offset, 0);
      break;
  }
  EXPECT_EQ(result, range.expected);
  if (range.expected == 0) {
    EXPECT_EQ(sim::NorStats().accesses, accessesBefore);
  }
  ExpectReadArray();
}

INSTANTIATE_TEST_SUITE_P(
    Edges, NorRangeTest,
    ::testing::Values(RangeCase{"ReadLastByte", Operation::kRead, true, 1, 1, 1},
                      RangeCase{"ReadOnePast", Operation::kRead, true, 1, 2, 0},
                      RangeCase{"ReadAtFlashSize", Operation::kRead, true, 0, 0, 0},
                      RangeCase{"ReadWrapping", Operation::kRead, false, 0xFFFFFFF0, 0x20, 0},
                      RangeCase{"WriteLastWord", Operation::kWrite, true, 4, 4, 1},
                      RangeCase{"WriteOnePast", Operation::kWrite, true, 3, 4, 0},
                      RangeCase{"WriteWrapping", Operation::kWrite, false, 0x100, 0xFFFFFFF8, 0},
                      RangeCase{"EraseOnePast", Operation::kErase, true, 0x40000, 0x40001, 0},
                      RangeCase{"EraseWrapping", Operation::kErase, false, 0x40000, 0xFFFFFFF0, 0},
                      RangeCase{"ReadWordAtFlashSize", Operation::kReadWord, true, 0, 0, 0},
                      RangeCase{"WriteWordAtFlashSize", Operation::kWriteWord, true, 0, 0, 0},
                      RangeCase{"WriteWordUnaligned", Operation::kWriteWord, false, 0x1F00002, 0,
                                0}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Erase and its progress
// ---------------------------------------------------------------------------------------------
std::vector<std::pair<DWORD, DWORD>> hookCalls;
int hookAnswer = 1;
int RecordingHook(DWORD done, DWORD total) {
  hookCalls.emplace_back(done, total);
  return hookAnswer;
}

class NorEraseTest : public NorDriverTest {
 protected:
  void SetUp() override {
    NorDriverTest::SetUp();
    hookCalls.clear();
    hookAnswer = 1;
    FlashSetProgressHook(RecordingHook, 0x80000);
    sim::NorRecordOperations(true);
  }
  void Dirty(DWORD offset) {
    const BYTE zero[4] = {};
    ASSERT_TRUE(sim::NorBackdoorWrite(offset, zero, 4));
  }
};

TEST_F(NorEraseTest, BlankBlock_NoEraseCommand) {
  ASSERT_EQ(FlashOps.Erase(kScratch, 0x40000), 1);
  EXPECT_TRUE(Chip0(sim::NorOperation::Kind::kErase).empty());
  Dirty(kScratch + 0x3FFFC);
  ASSERT_EQ(FlashOps.Erase(kScratch + 0x100, 1), 1);
  EXPECT_EQ(Chip0(sim::NorOperation::Kind::kErase).size(), 1u);
  EXPECT_EQ(Flash(kScratch + 0x3FFFC, 4), std::vector<BYTE>(4, 0xFF));
  ExpectReadArray();
}

TEST_F(NorEraseTest, EmptyRange_SucceedsWithoutHookOrErase) {
  Dirty(kScratch);
  EXPECT_EQ(FlashOps.Erase(kScratch, 0), 1);
  EXPECT_EQ(FlashOps.Erase(kScratch + 0x1234, 0), 1);
  EXPECT_TRUE(hookCalls.empty());
  EXPECT_TRUE(Chip0(sim::NorOperation::Kind::kErase).empty());
  EXPECT_EQ(Flash(kScratch, 4), std::vector<BYTE>(4, 0));
}

TEST_F(NorEraseTest, HookAnsweringZeroFirst_StopsBeforeAnyBlock) {
  Dirty(kScratch);
  hookAnswer = 0;
  EXPECT_EQ(FlashOps.Erase(kScratch, 0x80000), 0);
  ASSERT_EQ(hookCalls.size(), 1u);
  EXPECT_EQ(hookCalls[0], std::make_pair(DWORD{0}, DWORD{0x80000}));
  EXPECT_TRUE(Chip0(sim::NorOperation::Kind::kErase).empty());
  EXPECT_EQ(Flash(kScratch, 4), std::vector<BYTE>(4, 0));
  ExpectReadArray();
}

TEST_F(NorEraseTest, Hook_CalledBeforeFirstBlockThenEveryStep) {
  ASSERT_EQ(FlashOps.Erase(0x1000000, 0x200000), 1);
  const std::vector<std::pair<DWORD, DWORD>> expected = {
      {0, 0x200000}, {0x80000, 0x200000}, {0x100000, 0x200000}, {0x180000, 0x200000}};
  EXPECT_EQ(hookCalls, expected);
}

// A range from inside the parameter area to the end of the flash touches 64 KiB blocks first
// and 256 KiB blocks after; all of them are erased and none beyond.
TEST_F(NorEraseTest, RangeAcrossParameterAreaToTheEnd_ErasesEveryTouchedBlock) {
  FlashSetProgressHook(RecordingHook, 0x1000000);
  Dirty(0x2FFFC);
  Dirty(0x30000);
  Dirty(FlashSize - 4);
  ASSERT_EQ(FlashOps.Erase(0x3F000, FlashSize - 0x3F000), 1);
  EXPECT_EQ(Flash(0x2FFFC, 4), std::vector<BYTE>(4, 0)) << "block 0x20000 is not touched";
  EXPECT_EQ(Flash(0x30000, 4), std::vector<BYTE>(4, 0xFF));
  EXPECT_EQ(Flash(FlashSize - 4, 4), std::vector<BYTE>(4, 0xFF));
  ASSERT_FALSE(hookCalls.empty());
  EXPECT_EQ(hookCalls[0].second, FlashSize - 0x30000);
  ExpectReadArray();
  EXPECT_TRUE(sim::NorProtocolErrors().empty());
}

// ---------------------------------------------------------------------------------------------
// Faults: the failing return, the chips reading again, and the next operation unharmed
// ---------------------------------------------------------------------------------------------
struct FaultCase {
  const char* name;
  sim::Json item;
  Operation operation;
  DWORD minimumMs;  // virtual time the driver waits before it gives up
};

class NorFaultTest : public NorDriverTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(NorFaultTest, FailsInReadArrayMode) {
  const FaultCase& fault = GetParam();
  const BYTE zero[4] = {};
  ASSERT_TRUE(sim::NorBackdoorWrite(kScratch + 0x100, zero, 4));  // not blank: erasing runs
  Machine().Faults().Add(fault.item);
  std::vector<BYTE> data(64, 0x11);
  const DWORD before = GetTickCount();
  int result = 1;
  switch (fault.operation) {
    case Operation::kErase:
      result = FlashOps.Erase(kScratch, 0x40000);
      break;
    case Operation::kWrite:
      result = FlashOps.Write(data.data(), kScratch, 64);
      break;
    case Operation::kWriteWord:
      result = FlashOps.WriteWord(kScratch + 0x10, 0x11111111);
      break;
    default:
      FAIL();
  }
  EXPECT_EQ(result, 0);
  EXPECT_GE(GetTickCount() - before, fault.minimumMs);
  ExpectReadArray();
  // A hung chip stays hung; any other failure leaves the chips able to work elsewhere.
  if (fault.item["kind"] != "nor.never-ready") {
    EXPECT_EQ(sim::NorChipStatus()[0] & 0x3A, 0) << "error bits cleared";
    ASSERT_EQ(FlashOps.Write(data.data(), kScratch + 0x40000, 64), 1);
    EXPECT_EQ(Flash(kScratch + 0x40000, 64), data);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Plan, NorFaultTest,
    ::testing::Values(
        FaultCase{"EraseFail", faults::NorEraseFail{.block = kScratch}, Operation::kErase, 1000},
        FaultCase{"ProgramFailBuffered", faults::NorProgramFail{.offset = kScratch + 0x12},
                  Operation::kWrite, 0},
        FaultCase{"ProgramFailWord", faults::NorProgramFail{.offset = kScratch + 0x10},
                  Operation::kWriteWord, 0},
        FaultCase{"NeverReadyErase", faults::NorNeverReady{.block = kScratch}, Operation::kErase,
                  10000},
        FaultCase{"NeverReadyWrite", faults::NorNeverReady{.block = kScratch}, Operation::kWrite,
                  2000},
        FaultCase{"NeverReadyWord", faults::NorNeverReady{.block = kScratch}, Operation::kWriteWord,
                  1000}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Start-up failures
// ---------------------------------------------------------------------------------------------
class NorStartTest : public NorDriverTest {
 protected:
  bool StartDriver() const override { return false; }
};

TEST_F(NorStartTest, OtherManufacturer_NotReadyNothingMappedChipsReading) {
  Machine().Faults().Add(faults::NorManufacturer{.code = 0x01});
  const std::size_t reservations = Machine().VirtualMemory().ReservationCount();
  EXPECT_EQ(NorInit(), 0);
  EXPECT_EQ(Machine().VirtualMemory().ReservationCount(), reservations);
  ExpectReadArray();
}

TEST_F(NorStartTest, FailedMapping_NotReadyNothingMapped) {
  // The register window maps; the whole flash does not.
  Machine().Faults().Add(faults::Call{.name = "VirtualCopy", .skip = 1});
  const std::size_t reservations = Machine().VirtualMemory().ReservationCount();
  EXPECT_EQ(NorInit(), 0);
  EXPECT_EQ(Machine().VirtualMemory().ReservationCount(), reservations);
  ExpectReadArray();
}

}  // namespace
