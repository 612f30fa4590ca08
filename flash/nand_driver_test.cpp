// The NAND driver and its bad block table over the controller and chip model of a PXA3xx module.
#include "flash/nand_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "flash/bad_block_table.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_controller.h"
#include "platform/kernel.h"
#include "sim/hw/nand_flash.h"
#include "sim/module/machine.h"
#include "sim/os/shared_memory.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

using testing_support::ModuleTest;

constexpr DWORD kBlock = 0x20000;
constexpr DWORD kPage = 2048;
constexpr DWORD kScratchBlock = 300;  // far above the preset's content

std::vector<BYTE> Pattern(std::size_t length, unsigned seed) {
  std::vector<BYTE> bytes(length);
  unsigned state = seed * 2654435761u + 12345;
  for (BYTE& byte : bytes) {
    state = state * 1103515245u + 12345;
    byte = static_cast<BYTE>(state >> 16);
  }
  return bytes;
}

class NandDriverTest : public ModuleTest {
 protected:
  std::string Preset() const override { return preset_; }
  std::uint32_t NandChip() const override { return chip_; }
  void Configure(sim::Json& config) override {
    config["flash"]["osDriverLoaded"] = osDriver_;
    if (!plan_.empty()) {
      config["faults"]["items"] = plan_;
    }
  }
  void SetUp() override {
    ModuleTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    FlashResetForTesting();
    NandResetForTesting();
    ResetKernelModeStateForTesting();
    model_ = sim::NandFlash::Current();
    ASSERT_NE(model_, nullptr);
    if (startDriver_) {
      ASSERT_EQ(NandInit(), 1) << "FlashLastError " << FlashLastError;
    }
  }
  // A new module with other settings.
  void Restart() {
    TearDown();
    SetUp();
  }
  void AddFault(const sim::Json& item) { Machine().Faults().Add(item); }

  std::vector<BYTE> Read(DWORD offset, DWORD length, int* result = nullptr) {
    std::vector<BYTE> bytes(length);
    const int ok = kNandOperations.Read(bytes.data(), offset, length);
    if (result != nullptr) {
      *result = ok;
    } else {
      EXPECT_EQ(ok, 1) << "read of " << length << " at " << offset << ": " << FlashLastError;
    }
    return bytes;
  }
  std::vector<BYTE> RawData(DWORD page) {
    std::vector<BYTE> bytes(kPage);
    EXPECT_TRUE(model_->ReadRawPage(page, bytes.data(), nullptr));
    return bytes;
  }
  std::vector<WORD> SharedMap() { return {bbmt->map, bbmt->map + nandBlockCount}; }
  // The map that the table page on flash gives (what a module reset publishes).
  std::vector<WORD> TablePageMap() {
    const std::vector<BYTE> page = RawData(63);
    std::vector<WORD> map(nandBlockCount);
    for (DWORD block = 0; block < map.size(); ++block) {
      map[block] = static_cast<WORD>(block);
    }
    EXPECT_EQ(page[0] | page[1] << 8, kTablePageMagic);
    for (DWORD entry = 0; entry < kTableMaxEntries; ++entry) {
      const WORD logical = static_cast<WORD>(page[4 + 4 * entry] | page[5 + 4 * entry] << 8);
      const WORD replacement = static_cast<WORD>(page[6 + 4 * entry] | page[7 + 4 * entry] << 8);
      if (logical == 0xFFFF) {
        break;
      }
      if (logical != 0) {
        map[logical] = replacement;
      }
    }
    return map;
  }
  void ExpectTablesAgree() { EXPECT_EQ(SharedMap(), TablePageMap()); }

  std::string preset_ = "pxa320";
  std::uint32_t chip_ = 0xF1EC;
  bool osDriver_ = true;
  bool startDriver_ = true;
  sim::Json plan_ = sim::Json::array();
  sim::NandFlash* model_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------------------------
struct ChipCase {
  std::uint32_t chip;
  DWORD blocks;
  DWORD reserved;
  int chipClass;
};

class NandChipTest : public NandDriverTest, public ::testing::WithParamInterface<ChipCase> {
 protected:
  void SetUp() override {
    chip_ = GetParam().chip;
    osDriver_ = false;
    NandDriverTest::SetUp();
  }
};

TEST_P(NandChipTest, StartReservesTwoPercentAtTheTopAndSizesTheFlash) {
  const ChipCase& c = GetParam();
  EXPECT_EQ(reservedBlocks, c.reserved);
  EXPECT_EQ(FlashSize, (c.blocks - c.reserved) * kBlock);
  EXPECT_EQ(flashChipClass, c.chipClass);
  EXPECT_EQ(pageShift, 11u);
  EXPECT_EQ(blockShift, 6u);
  EXPECT_TRUE(SharedTableValid());
  EXPECT_EQ(kNandOperations.PageSize(), 2048u);
  EXPECT_EQ(kNandOperations.BlockSize(0), kBlock);
  // The last usable block works; the first reserved one lies beyond FlashSize.
  const DWORD last = FlashSize - kBlock;
  ASSERT_EQ(kNandOperations.Erase(last, kBlock), 1);
  const std::vector<BYTE> data = Pattern(kBlock, c.chip);
  ASSERT_EQ(kNandOperations.Write(data.data(), last, kBlock), 1);
  EXPECT_EQ(Read(last, kBlock), data);
  EXPECT_EQ(kNandOperations.Erase(FlashSize, kBlock), 0);
  EXPECT_EQ(kNandOperations.Write(data.data(), FlashSize - 4, 8), 0);
}

INSTANTIATE_TEST_SUITE_P(Chips, NandChipTest,
                         ::testing::Values(ChipCase{0xF1EC, 1024, 20, 1},
                                           ChipCase{0xDAEC, 2048, 40, 1},
                                           ChipCase{0xDCEC, 4096, 81, 1},
                                           ChipCase{0xD3EC, 8192, 163, 2},
                                           ChipCase{0xDCAD, 8192, 163, 3}),
                         [](const ::testing::TestParamInfo<ChipCase>& info) {
                           char name[16];
                           std::snprintf(name, sizeof(name), "Chip%04X", info.param.chip);
                           return std::string(name);
                         });

TEST_F(NandDriverTest, StartKeepsTheTableAndControllerTheOsDriverSetUp) {
  // The OS driver published its map and configured the controller before the program started.
  startDriver_ = false;
  Restart();
  auto* shared = static_cast<BadBlockMap*>(sim::OpenNamedMemory("NAND_FLASH_BBMT", 16388));
  ASSERT_NE(shared, nullptr);
  ASSERT_EQ(shared->magic, kBadBlockMapMagic);
  shared->map[kScratchBlock] = 1020;  // a replacement the OS made and the page does not list
  const DWORD ndtr0 = model_->Ndtr0();
  const DWORD ndtr1 = model_->Ndtr1();
  ASSERT_EQ(NandInit(), 1);
  EXPECT_EQ(bbmt->map[kScratchBlock], 1020);
  EXPECT_EQ(model_->Ndtr0(), ndtr0);
  EXPECT_EQ(model_->Ndtr1(), ndtr1);
  // Without the OS driver the program loads the table page itself and sets the timing up.
  osDriver_ = false;
  startDriver_ = true;
  Restart();
  EXPECT_EQ(bbmt->map[kScratchBlock], kScratchBlock);
  DWORD expected0 = 0;
  DWORD expected1 = 0;
  NandTimingRegisters(2, 104, &expected0, &expected1);
  EXPECT_EQ(model_->Ndtr0(), expected0);
}

TEST_F(NandDriverTest, StartFailuresLeaveTheirCode) {
  osDriver_ = false;
  startDriver_ = false;
  struct Case {
    const char* what;
    sim::Json fault;
    bool spoilTable;
    int code;
  };
  const Case cases[] = {
      {"unknown chip", faults::NandId{.id = 0x75EC}, false, kFlashErrorUnsupportedChip},
      {"silent controller", faults::NandNoRequest{}, false, kFlashErrorTimeout},
      {"no table page", sim::Json(), true, kFlashErrorNoTable},
      {"no shared memory", faults::Call{.name = "CreateFileMappingW"}, false, kFlashErrorTimeout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    if (!c.fault.is_null()) {
      AddFault(c.fault);
    }
    if (c.spoilTable) {
      std::vector<BYTE> page(kPage, 0x00);
      ASSERT_TRUE(model_->WriteRawPage(63, page.data(), nullptr));
    }
    EXPECT_EQ(NandInit(), 0);
    EXPECT_EQ(FlashLastError, c.code);
    EXPECT_FALSE(SharedTableValid());
  }
}

// The power fails after block 0's erase, while its table page is programmed back: the page keeps
// every other byte of the table. Such a block 0 starts over with the table page of a new module;
// a table page without its magic in a block 0 that holds anything else is left as it is.
TEST_F(NandDriverTest, StartAfterACutInBlockZerosRewriteBeginsAnEmptyTable) {
  osDriver_ = false;
  startDriver_ = false;
  for (const bool bootloaderLeft : {false, true}) {
    SCOPED_TRACE(bootloaderLeft ? "a bootloader page left" : "block 0 erased");
    Restart();
    std::vector<BYTE> table(kPage, 0xFF);
    const BYTE listed[] = {0x4E, 0x52, 0xFF, 0xFF, 0x2C, 0x01, 0xFF, 0x03};  // {300, 1023}
    std::copy(std::begin(listed), std::end(listed), table.begin());
    for (DWORD i = 1; i < kPage; i += 2) {
      table[i] = 0xFF;  // the program pulse reached only the even bytes
    }
    ASSERT_TRUE(model_->EraseRawBlock(0));
    ASSERT_TRUE(model_->WriteRawPage(63, table.data(), nullptr));
    const std::vector<BYTE> boot = Pattern(kPage, 7);
    if (bootloaderLeft) {
      ASSERT_TRUE(model_->WriteRawPage(5, boot.data(), nullptr));
    }
    // A block the chip reports bad from the factory on.
    AddFault(faults::NandBadBlock{.block = kScratchBlock});
    if (bootloaderLeft) {
      EXPECT_EQ(NandInit(), 0);
      EXPECT_EQ(FlashLastError, kFlashErrorNoTable);
      EXPECT_FALSE(SharedTableValid());
      EXPECT_EQ(RawData(63), table);
      EXPECT_EQ(RawData(5), boot);
      continue;
    }
    ASSERT_EQ(NandInit(), 1) << "FlashLastError " << FlashLastError;
    std::vector<BYTE> fresh(kPage, 0xFF);
    fresh[0] = 0x4E;
    fresh[1] = 0x52;
    EXPECT_EQ(RawData(63), fresh);
    for (DWORD block = 0; block < nandBlockCount; ++block) {
      ASSERT_EQ(bbmt->map[block], block);
    }
    // The bad block is replaced when it is next erased, and both tables list it.
    ASSERT_EQ(kNandOperations.Erase(kScratchBlock * kBlock, kBlock), 1);
    EXPECT_EQ(bbmt->map[kScratchBlock], nandBlockCount - 1);
    ExpectTablesAgree();
  }
}

TEST_F(NandDriverTest, FlashLayerSelectsTheNandDriverOnThisProcessor) {
  startDriver_ = false;
  Restart();
  ASSERT_EQ(FlashInit(), kFlashKindNand);
  EXPECT_EQ(FlashSize, (1024u - 20u) * kBlock);
  ASSERT_NE(FlashOps.PageSize, nullptr);
  EXPECT_EQ(FlashOps.PageSize(), 2048u);
  EXPECT_EQ(FlashOps.SetEcc(0), 1);  // on since start-up
  EXPECT_EQ(FlashOps.SetEcc(1), 0);
  ASSERT_EQ(FlashLock(INFINITE), 1);
  EXPECT_EQ(FlashOps.ReadWord(0x40000), kNandOperations.ReadWord(0x40000));
  EXPECT_EQ(FlashUnlock(), TRUE);
}

// ---------------------------------------------------------------------------------------------
// Reads, writes and erases
// ---------------------------------------------------------------------------------------------
TEST_F(NandDriverTest, DataRoundTripsThroughPartialPagesAndBlocks) {
  const DWORD start = kScratchBlock * kBlock;
  ASSERT_EQ(kNandOperations.Erase(start + 5, 3 * kBlock), 1);  // touches four blocks
  const std::vector<BYTE> data = Pattern(2 * kBlock - 30000, 1);
  // A piece that ends a page, then one from the next page on that ends inside a page: each
  // page is programmed once.
  const DWORD offset = start + 3 * kPage + 123;
  const DWORD head = kPage - 123;
  ASSERT_EQ(kNandOperations.Write(data.data(), offset, head), 1);
  ASSERT_EQ(kNandOperations.Write(data.data() + head, offset + head,
                                  static_cast<DWORD>(data.size()) - head),
            1);
  // The bytes before the first piece read back erased; the rest as written.
  const std::vector<BYTE> back = Read(start + 3 * kPage, 123 + static_cast<DWORD>(data.size()));
  EXPECT_TRUE(std::all_of(back.begin(), back.begin() + 123, [](BYTE b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 123));
  EXPECT_EQ(kNandOperations.ReadWord(offset),
            data[0] | data[1] << 8 | data[2] << 16 | static_cast<DWORD>(data[3]) << 24);
  EXPECT_EQ(FlashLastError, kFlashErrorNone);
  // A word of its own page.
  ASSERT_EQ(kNandOperations.WriteWord(start + 3 * kBlock, 0x12345678), 1);
  EXPECT_EQ(kNandOperations.ReadWord(start + 3 * kBlock), 0x12345678u);
}

TEST_F(NandDriverTest, BootAreaPagesSitOnePageFurtherAndPage127IsNeverStored) {
  ASSERT_EQ(kNandOperations.Erase(0, 2 * kBlock), 1);
  const std::vector<BYTE> data = Pattern(3 * kPage, 2);
  ASSERT_EQ(kNandOperations.Write(data.data(), 62 * kPage, 3 * kPage), 1);
  struct Case {
    DWORD logical;
    DWORD physical;
  };
  for (const Case& c : {Case{62, 62}, Case{63, 64}, Case{64, 65}}) {
    const std::vector<BYTE> raw = RawData(c.physical);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), data.begin() + (c.logical - 62) * kPage))
        << "logical page " << c.logical;
  }
  EXPECT_EQ(RawData(63)[0] | RawData(63)[1] << 8, kTablePageMagic);
  // Logical page 126 is physical 127; 127 has none: its bytes are dropped and read as 0xFF.
  const std::vector<BYTE> nextBlock = RawData(128);
  const std::vector<BYTE> tail = Pattern(2 * kPage, 3);
  ASSERT_EQ(kNandOperations.Write(tail.data(), 126 * kPage, 2 * kPage), 1);
  EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + kPage, RawData(127).begin()));
  EXPECT_EQ(RawData(128), nextBlock);
  const std::vector<BYTE> back = Read(126 * kPage, 2 * kPage);
  EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + kPage, back.begin()));
  EXPECT_TRUE(std::all_of(back.begin() + kPage, back.end(), [](BYTE b) { return b == 0xFF; }));
  EXPECT_EQ(FlashLastError, kFlashErrorNone);
}

TEST_F(NandDriverTest, EraseOfBlockZeroKeepsTheTablePage) {
  // Give the table an entry first, so that there is more to keep than the magic.
  AddFault(faults::NandEraseFail{.block = kScratchBlock});
  ASSERT_EQ(kNandOperations.Erase(kScratchBlock * kBlock, kBlock), 1);
  const std::vector<BYTE> table = RawData(63);
  ASSERT_EQ(table[4] | table[5] << 8, static_cast<int>(kScratchBlock));
  ASSERT_EQ(kNandOperations.Erase(0, kBlock), 1);
  EXPECT_EQ(RawData(63), table);
  for (DWORD page = 0; page < 63; ++page) {
    ASSERT_TRUE(model_->PageErased(page)) << page;
  }
  ExpectTablesAgree();
  // Block 0 cannot be replaced: when it fails, the erase fails and the table page stays.
  AddFault(faults::NandEraseFail{.block = 0});
  EXPECT_EQ(kNandOperations.Erase(0, kBlock), 0);
  EXPECT_EQ(FlashLastError, kFlashErrorBadBlock);
  EXPECT_EQ(RawData(63), table);
  EXPECT_EQ(bbmt->map[0], 0);
}

TEST_F(NandDriverTest, EmptyEraseTouchesNoBlockWhereverItStarts) {
  const DWORD start = kScratchBlock * kBlock;
  ASSERT_EQ(kNandOperations.Erase(start, kBlock), 1);
  ASSERT_EQ(kNandOperations.WriteWord(start, 0xA5A5A5A5), 1);
  static int calls = 0;
  FlashSetProgressHook(
      [](DWORD, DWORD) {
        ++calls;
        return 1;
      },
      0x20000);
  EXPECT_EQ(kNandOperations.Erase(start, 0), 1);
  EXPECT_EQ(kNandOperations.Erase(start + 0x100, 0), 1);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(kNandOperations.ReadWord(start), 0xA5A5A5A5u);
}

TEST_F(NandDriverTest, CorrectedAndUncorrectableReadsLeaveDistinctCodes) {
  const DWORD start = kScratchBlock * kBlock;
  ASSERT_EQ(kNandOperations.Erase(start, kBlock), 1);
  const std::vector<BYTE> data = Pattern(4 * kPage, 4);
  ASSERT_EQ(kNandOperations.Write(data.data(), start, 4 * kPage), 1);
  const DWORD physical = kScratchBlock * 64;
  AddFault(faults::NandBitFlip{.page = physical, .bits = 1});
  AddFault(faults::NandBitFlip{.page = physical + 3, .bits = 2});
  struct Case {
    DWORD offset;
    DWORD length;
    int result;
    int code;
  };
  const Case cases[] = {
      {start + kPage, kPage, 1, kFlashErrorNone},
      {start, kPage, 1, kFlashErrorCorrected},
      // The correction in the first page is reported although the last page read cleanly.
      {start, 3 * kPage, 1, kFlashErrorCorrected},
      {start + 2 * kPage + 10, 2 * kPage - 20, 0, kFlashErrorUncorrectable},
  };
  for (const Case& c : cases) {
    int result = -1;
    const std::vector<BYTE> back = Read(c.offset, c.length, &result);
    EXPECT_EQ(result, c.result) << c.offset << "+" << c.length;
    EXPECT_EQ(FlashLastError, c.code) << c.offset << "+" << c.length;
    if (result == 1) {
      EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + (c.offset - start)));
    }
  }
  // Without ECC the flipped bits come through as they are, and nothing is reported.
  EXPECT_EQ(kNandOperations.SetEcc(0), 1);
  const std::vector<BYTE> raw = Read(start, kPage);
  EXPECT_EQ(FlashLastError, kFlashErrorNone);
  EXPECT_NE(raw, std::vector<BYTE>(data.begin(), data.begin() + kPage));
  EXPECT_EQ(kNandOperations.SetEcc(1), 0);
}

TEST_F(NandDriverTest, SharedTableWithoutMagicFailsReadsAndWritesWithoutTouchingTheController) {
  bbmt->magic = 0;
  const std::uint64_t before = model_->RegisterAccesses();
  DWORD word = 0x11223344;
  EXPECT_EQ(kNandOperations.Read(&word, kScratchBlock * kBlock, 4), 0);
  EXPECT_EQ(FlashLastError, kFlashErrorNoTable);
  FlashLastError = 0;
  EXPECT_EQ(kNandOperations.Write(&word, kScratchBlock * kBlock, 4), 0);
  EXPECT_EQ(FlashLastError, kFlashErrorNoTable);
  EXPECT_EQ(model_->RegisterAccesses(), before);
  EXPECT_EQ(kNandOperations.Erase(kScratchBlock * kBlock, kBlock), 0);
  EXPECT_EQ(FlashLastError, kFlashErrorNoTable);
}

TEST_F(NandDriverTest, TwoDieChipReadsRunAtRaisedPriority) {
  struct Case {
    std::uint32_t chip;
    std::size_t priorityCalls;
  };
  for (const Case& c : {Case{0xDCAD, 2}, Case{0xF1EC, 0}}) {
    chip_ = c.chip;
    Restart();
    Machine().Calls().Enable(true);
    DWORD word = 0;
    (void)kNandOperations.Read(&word, 0, 4);
    const auto calls = Machine().Calls().Entries("SetThreadPriority");
    ASSERT_EQ(calls.size(), c.priorityCalls) << std::hex << c.chip;
    if (c.priorityCalls == 2) {
      EXPECT_EQ(calls[0].args[1], static_cast<std::uint64_t>(THREAD_PRIORITY_HIGHEST));
      EXPECT_EQ(calls[1].args[1], static_cast<std::uint64_t>(THREAD_PRIORITY_NORMAL));
      EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The boot header marker
// ---------------------------------------------------------------------------------------------
TEST_F(NandDriverTest, IdentityNineWritesCarryTheBootMarkerAtOffsetFour) {
  struct Case {
    const char* preset;
    DWORD offset;
    DWORD length;
    bool marker;
  };
  const Case cases[] = {
      {"pxa310", 0, 16, true}, {"pxa310", 4, 8, true},   {"pxa310", 2, 8, true},
      {"pxa310", 1, 12, true}, {"pxa310", 0, 6, true},   {"pxa310", 5, 4, false},
      {"pxa310", 0, 4, false}, {"pxa320", 0, 16, false},
  };
  static constexpr BYTE kMarker[] = {'H', 'M', 'I', 'T'};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.preset) + " " + std::to_string(c.offset) + "+" +
                 std::to_string(c.length));
    preset_ = c.preset;
    Restart();
    ASSERT_EQ(kNandOperations.Erase(0, kBlock), 1);
    // The caller's bytes, with guard bytes behind them that must stay untouched.
    std::vector<BYTE> buffer(c.length + 8, 0x00);
    for (DWORD i = 0; i < buffer.size(); ++i) {
      buffer[i] = static_cast<BYTE>(0x10 + i);
    }
    const std::vector<BYTE> original = buffer;
    ASSERT_EQ(kNandOperations.Write(buffer.data(), c.offset, c.length), 1);
    const std::vector<BYTE> flash = Read(0, 16);
    for (DWORD at = 0; at < 16; ++at) {
      const bool written = at >= c.offset && at < c.offset + c.length;
      BYTE expected = written ? original[at - c.offset] : 0xFF;
      if (c.marker && written && at >= 4 && at < 8) {
        expected = kMarker[at - 4];
      }
      EXPECT_EQ(flash[at], expected) << "flash offset " << at;
      if (written) {
        EXPECT_EQ(buffer[at - c.offset], expected) << "caller's byte for offset " << at;
      }
    }
    EXPECT_TRUE(std::equal(buffer.begin() + c.length, buffer.end(), original.begin() + c.length));
  }
}

// ---------------------------------------------------------------------------------------------
// Bad blocks and relocation
// ---------------------------------------------------------------------------------------------
TEST_F(NandDriverTest, FailedBlocksAreReplacedFromTheTopUntilTheReserveIsUsedUp) {
  chip_ = 0xDAEC;  // 2048 blocks: 40 in reserve, 2047 first
  Restart();
  ASSERT_EQ(reservedBlocks, 40u);
  const DWORD first = 400;
  std::vector<std::vector<BYTE>> written;
  // Each kind of failure in turn: a bad block, an erase failure, a worn block.
  auto fail = [&](DWORD block, DWORD k) {
    switch (k % 3) {
      case 0:
        AddFault(faults::NandBadBlock{.block = block});
        break;
      case 1:
        AddFault(faults::NandEraseFail{.block = block});
        break;
      default:
        AddFault(faults::NandWornBlock{.block = block, .erases = 0});
        break;
    }
  };
  for (DWORD k = 0; k < 40; ++k) {
    const DWORD logical = first + k;
    fail(logical, k);
    ASSERT_EQ(kNandOperations.Erase(logical * kBlock, kBlock), 1) << k;
    EXPECT_EQ(bbmt->map[logical], 2047 - k);
    written.push_back(Pattern(kBlock, k));
    ASSERT_EQ(kNandOperations.Write(written.back().data(), logical * kBlock, kBlock), 1) << k;
    ExpectTablesAgree();
  }
  for (DWORD k = 0; k < 40; ++k) {
    ASSERT_EQ(Read((first + k) * kBlock, kBlock), written[k]) << k;
  }
  // The reserve is used up: the next failure ends the erase with code 2 and moves nothing.
  const std::vector<WORD> before = SharedMap();
  fail(first + 40, 0);
  EXPECT_EQ(kNandOperations.Erase((first + 40) * kBlock, kBlock), 0);
  EXPECT_EQ(FlashLastError, kFlashErrorBadBlock);
  EXPECT_EQ(SharedMap(), before);
  ExpectTablesAgree();
  // So does a write whose block fails.
  const DWORD spare = first + 41;
  ASSERT_EQ(kNandOperations.Erase(spare * kBlock, kBlock), 1);
  AddFault(faults::NandProgramFail{.page = spare * 64 + 2});
  const std::vector<BYTE> more = Pattern(4 * kPage, 99);
  EXPECT_EQ(kNandOperations.Write(more.data(), spare * kBlock, 4 * kPage), 0);
  EXPECT_EQ(FlashLastError, kFlashErrorBadBlock);
  EXPECT_EQ(Read(spare * kBlock, 2 * kPage),
            std::vector<BYTE>(more.begin(), more.begin() + 2 * kPage));
  EXPECT_EQ(SharedMap(), before);
  ExpectTablesAgree();
  for (DWORD k = 0; k < 40; ++k) {
    ASSERT_EQ(Read((first + k) * kBlock, kBlock), written[k]) << k;
  }
}

// A program failure in the middle of a block moves the whole block. The page that failed is
// not copied: the write programs it once in the new block, with its data and the spare that the
// page held (with ECC on a second program of a page would spoil its code).
TEST_F(NandDriverTest, ProgramFailureMovesTheWholeBlockAndProgramsTheFailingPageOnce) {
  struct Case {
    const char* what;
    int ecc;
    bool spareWritten;   // the OS driver wrote the page's spare before the data (ECC off only)
    const char* leaves;  // what the failed program left in the old page
  };
  const Case cases[] = {
      {"ECC on", 1, false, "every-other-byte"},
      {"ECC on, the failed page reads back corrected", 1, false, "one-stuck-bit"},
      {"ECC off, spare written first", 0, true, "every-other-byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    const DWORD logical = kScratchBlock;
    const DWORD oldPhysical = logical;
    const DWORD start = logical * kBlock;
    (void)kNandOperations.SetEcc(c.ecc);
    ASSERT_EQ(kNandOperations.Erase(start, kBlock), 1);
    const std::vector<BYTE> data = Pattern(21 * kPage, 5);
    ASSERT_EQ(kNandOperations.Write(data.data(), start, 10 * kPage), 1);
    std::vector<BYTE> spare(64, 0xFF);
    if (c.spareWritten) {
      for (DWORD i = 0; i < 8; ++i) {
        spare[i] = static_cast<BYTE>(0xA0 + i);
      }
      ASSERT_TRUE(model_->WriteRawPage(oldPhysical * 64 + 10, nullptr, spare.data()));
    }
    AddFault(faults::NandProgramFail{.page = oldPhysical * 64 + 10, .leaves = c.leaves});
    model_->StartCommandLog();
    ASSERT_EQ(kNandOperations.Write(data.data() + 10 * kPage, start + 10 * kPage, 11 * kPage), 1);
    const DWORD replacement = bbmt->map[logical];
    ASSERT_EQ(replacement, 1023u);
    std::vector<int> programs(64, 0);
    for (const sim::NandCommandRecord& record : model_->CommandLog()) {
      if (((record.command >> 21) & 7) == 1 && record.page / 64 == replacement) {
        ++programs[record.page % 64];
      }
    }
    // Every written page sits at the same index of the new block, programmed once; the rest
    // stayed erased.
    for (DWORD index = 0; index < 64; ++index) {
      if (index < 21) {
        EXPECT_EQ(programs[index], 1) << index;
        const std::vector<BYTE> raw = RawData(replacement * 64 + index);
        EXPECT_TRUE(std::equal(raw.begin(), raw.end(), data.begin() + index * kPage)) << index;
      } else {
        EXPECT_EQ(programs[index], 0) << index;
        EXPECT_TRUE(model_->PageErased(replacement * 64 + index)) << index;
      }
    }
    std::vector<BYTE> rawSpare(64);
    ASSERT_TRUE(model_->ReadRawPage(replacement * 64 + 10, nullptr, rawSpare.data()));
    const std::size_t kept = c.ecc != 0 ? 40 : 64;  // with ECC the rest holds the code
    EXPECT_TRUE(std::equal(spare.begin(), spare.begin() + kept, rawSpare.begin()));
    EXPECT_EQ(Read(start, 21 * kPage), data);
    EXPECT_EQ(FlashLastError, kFlashErrorNone);
    ExpectTablesAgree();
    if (std::string(c.leaves) == "one-stuck-bit") {
      // The old page holds the data but for one bit, which its code corrects: the chip's
      // failure report alone is what moved the block.
      std::vector<BYTE> oldData(kPage);
      std::vector<BYTE> oldSpare(64);
      ASSERT_TRUE(model_->ReadRawPage(oldPhysical * 64 + 10, oldData.data(), oldSpare.data()));
      EXPECT_EQ(sim::NandEccDecode(oldData.data(), oldSpare.data()),
                sim::NandEccResult::kCorrected);
      EXPECT_TRUE(std::equal(oldData.begin(), oldData.end(), data.begin() + 10 * kPage));
    }
  }
}

TEST_F(NandDriverTest, ReplacementThatFailsTooIsReplacedAgainDuringTheCopy) {
  const DWORD start = kScratchBlock * kBlock;
  ASSERT_EQ(kNandOperations.Erase(start, kBlock), 1);
  const std::vector<BYTE> data = Pattern(8 * kPage, 6);
  ASSERT_EQ(kNandOperations.Write(data.data(), start, 4 * kPage), 1);
  AddFault(faults::NandProgramFail{.page = kScratchBlock * 64 + 4});
  AddFault(faults::NandProgramFail{.page = 1023 * 64 + 2});  // the first replacement
  ASSERT_EQ(kNandOperations.Write(data.data() + 4 * kPage, start + 4 * kPage, 4 * kPage), 1);
  EXPECT_EQ(bbmt->map[kScratchBlock], 1022u);
  EXPECT_EQ(Read(start, 8 * kPage), data);
  // The list holds the cleared first entry and the second: 1023 is never handed out again.
  const std::vector<BYTE> table = RawData(63);
  EXPECT_EQ(table[4] | table[5] << 8, 0);
  EXPECT_EQ(table[6] | table[7] << 8, 1023);
  EXPECT_EQ(table[8] | table[9] << 8, static_cast<int>(kScratchBlock));
  EXPECT_EQ(table[10] | table[11] << 8, 1022);
  ExpectTablesAgree();
}

TEST_F(NandDriverTest, RelocationOfBlockOneTakesLogicalPage63Along) {
  ASSERT_EQ(kNandOperations.Erase(0, 2 * kBlock), 1);
  const std::vector<BYTE> data = Pattern(10 * kPage, 7);
  ASSERT_EQ(kNandOperations.Write(data.data(), 62 * kPage, 9 * kPage), 1);
  // Logical page 71 is physical page 72: index 8 of block 1.
  AddFault(faults::NandProgramFail{.page = 72});
  ASSERT_EQ(kNandOperations.Write(data.data() + 9 * kPage, 71 * kPage, kPage), 1);
  EXPECT_EQ(bbmt->map[1], 1023u);
  EXPECT_EQ(Read(62 * kPage, 10 * kPage), data);
  // Erasing logical block 1 erases logical page 63 with it, so it can be written again.
  ASSERT_EQ(kNandOperations.Erase(kBlock, kBlock), 1);
  EXPECT_TRUE(model_->PageErased(1023 * 64));
  ASSERT_EQ(kNandOperations.Write(data.data(), 63 * kPage, kPage), 1);
  EXPECT_EQ(Read(63 * kPage, kPage), std::vector<BYTE>(data.begin(), data.begin() + kPage));
  ExpectTablesAgree();
}

TEST_F(NandDriverTest, FullReplacementListFailsTheRelocationAndLeavesTheTable) {
  // A table page whose list is full: 511 cleared entries, no end marker.
  std::vector<BYTE> page(kPage, 0xFF);
  page[0] = 0x4E;
  page[1] = 0x52;
  for (DWORD entry = 0; entry < kTableMaxEntries; ++entry) {
    page[4 + 4 * entry] = 0;
    page[5 + 4 * entry] = 0;
    page[6 + 4 * entry] = static_cast<BYTE>(2000 + entry);
    page[7 + 4 * entry] = static_cast<BYTE>((2000 + entry) >> 8);
  }
  ASSERT_TRUE(model_->WriteRawPage(63, page.data(), nullptr));
  const std::vector<BYTE> next = RawData(64);
  const std::vector<WORD> map = SharedMap();
  AddFault(faults::NandEraseFail{.block = kScratchBlock});
  EXPECT_EQ(kNandOperations.Erase(kScratchBlock * kBlock, kBlock), 0);
  EXPECT_EQ(FlashLastError, kFlashErrorBadBlock);
  EXPECT_EQ(RawData(63), page);
  EXPECT_EQ(RawData(64), next);
  EXPECT_EQ(SharedMap(), map);
}

TEST_F(NandDriverTest, TablesAgreeAfterRelocationsAndAModuleReset) {
  AddFault(faults::NandEraseFail{.block = kScratchBlock});
  AddFault(faults::NandProgramFail{.page = (kScratchBlock + 1) * 64 + 3});
  ASSERT_EQ(kNandOperations.Erase(kScratchBlock * kBlock, 2 * kBlock), 1);
  const std::vector<BYTE> data = Pattern(2 * kBlock, 8);
  ASSERT_EQ(kNandOperations.Write(data.data(), kScratchBlock * kBlock, 2 * kBlock), 1);
  const std::vector<WORD> map = SharedMap();
  EXPECT_EQ(map[kScratchBlock], 1023);
  EXPECT_EQ(map[kScratchBlock + 1], 1022);
  ExpectTablesAgree();
  // A power cycle: the OS driver publishes the map from the table page again.
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  NandResetForTesting();
  ResetKernelModeStateForTesting();
  model_ = sim::NandFlash::Current();
  ASSERT_EQ(NandInit(), 1);
  EXPECT_EQ(SharedMap(), map);
  EXPECT_EQ(Read(kScratchBlock * kBlock, 2 * kBlock), data);
}

// The table page is programmed over at every relocation: past the chip's four programs since
// its erase it may read back with bits lost. A copy read that way is never programmed back, nor
// written after an erase of block 0: the relocation and that erase fail instead, leaving the
// page, the shared map and block 0 as they were.
TEST_F(NandDriverTest, DisturbedTablePageIsNeverWrittenBack) {
  // Factory program plus four relocations: five programs of the table page since its erase.
  for (DWORD block = kScratchBlock; block < kScratchBlock + 4; ++block) {
    AddFault(faults::NandEraseFail{.block = block});
  }
  ASSERT_EQ(kNandOperations.Erase(kScratchBlock * kBlock, 4 * kBlock), 1);
  ASSERT_EQ(model_->ProgramCount(63), 5u);
  const std::vector<BYTE> data = Pattern(2 * kPage, 9);
  ASSERT_EQ(kNandOperations.Write(data.data(), kScratchBlock * kBlock, 2 * kPage), 1);
  const std::vector<BYTE> table = RawData(63);
  const std::vector<BYTE> bootPage = RawData(0);
  const std::vector<WORD> map = SharedMap();
  ASSERT_EQ(map[kScratchBlock], 1023u);
  ExpectTablesAgree();

  // Bit 2 of the first entry's logical block: 300 (0x12C) reads as 296.
  AddFault(faults::NandDisturb{.positions = std::vector<std::uint32_t>{4 * 8 + 2}});
  AddFault(faults::NandEraseFail{.block = kScratchBlock + 4});
  struct Case {
    const char* what;
    DWORD start;
  };
  const Case cases[] = {{"a relocation", (kScratchBlock + 4) * kBlock}, {"an erase of block 0", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(kNandOperations.Erase(c.start, kBlock), 0);
    EXPECT_NE(FlashLastError, kFlashErrorNone);
    EXPECT_EQ(RawData(63), table);
    EXPECT_EQ(RawData(0), bootPage);
    EXPECT_EQ(SharedMap(), map);
    EXPECT_EQ(Read(kScratchBlock * kBlock, 2 * kPage), data);
  }

  // Once the page reads as written, the same relocation goes through.
  Machine().Faults().Clear();
  AddFault(faults::NandEraseFail{.block = kScratchBlock + 4});
  EXPECT_EQ(kNandOperations.Erase((kScratchBlock + 4) * kBlock, kBlock), 1);
  EXPECT_EQ(bbmt->map[kScratchBlock + 4], 1019u);
  ExpectTablesAgree();
  EXPECT_EQ(Read(kScratchBlock * kBlock, 2 * kPage), data);
}

}  // namespace
