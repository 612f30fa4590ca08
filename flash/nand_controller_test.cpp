// The data flash controller layer over the controller and chip model of a PXA3xx module.
#include "flash/nand_controller.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "sim/base/files.h"
#include "sim/hw/nand_flash.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"

namespace {

using testing_support::ModuleTest;

constexpr DWORD kScratchPage = 64 * 300;  // a block far above the preset's content

DWORD CommandType(const sim::NandCommandRecord& record) { return (record.command >> 21) & 7; }

// A module whose OS flash driver did not start, so that the program sets the controller up.
class NandControllerTest : public ModuleTest {
 protected:
  std::string Preset() const override { return preset_; }
  std::uint32_t NandChip() const override { return chip_; }
  void Configure(sim::Json& config) override { config["flash"]["osDriverLoaded"] = osDriver_; }
  void SetUp() override {
    ModuleTest::SetUp();
    NandResetForTesting();
    ResetKernelModeStateForTesting();
    model_ = sim::NandFlash::Current();
    ASSERT_NE(model_, nullptr);
  }
  void Start() {
    ASSERT_EQ(NandControllerInit(1), kNandOk);
    (void)NandSetSpare(1);
  }
  void AddFault(const sim::Json& item) { Machine().Faults().Add(item); }

  std::string preset_ = "pxa320";
  std::uint32_t chip_ = 0xF1EC;
  bool osDriver_ = false;
  sim::NandFlash* model_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Timing arithmetic
// ---------------------------------------------------------------------------------------------
TEST(NandCyclesTest, NanosecondsBecomeCyclesMinusOne) {
  struct Case {
    DWORD ns, mhz, cycles;
  };
  const Case cases[] = {{22, 104, 2},       {10, 104, 1}, {1, 104, 0},  {0, 104, 0},
                        {20120, 104, 2092}, {70, 104, 7}, {22, 156, 3}, {100, 104, 10}};
  for (const Case& c : cases) {
    EXPECT_EQ(NandCycles(c.ns, c.mhz), c.cycles) << c.ns << " ns at " << c.mhz << " MHz";
  }
}

TEST(NandCyclesTest, HoldExtensionRaisesChipEnableHoldOnlyBeyondSevenCycles) {
  DWORD ndtr0 = 0;
  DWORD ndtr1 = 0;
  // Row 1: 70 ns of hold extension is 7 cycles at 104 MHz, which the field's range covers.
  NandTimingRegisters(1, 104, &ndtr0, &ndtr1);
  EXPECT_EQ((ndtr0 >> 19) & 7, 0u);
  EXPECT_EQ(ndtr0 & 7, 2u);          // tRP 22 ns
  EXPECT_EQ((ndtr0 >> 8) & 7, 1u);   // tWP 12 ns
  EXPECT_EQ(ndtr1 >> 16, 2092u);     // tR 20120 ns
  EXPECT_EQ((ndtr1 >> 4) & 15, 6u);  // tWHR 60 ns
  // Row 2: 100 ns is 10 cycles, 3 beyond the field's 7, so tCH becomes 3.
  NandTimingRegisters(2, 104, &ndtr0, &ndtr1);
  EXPECT_EQ((ndtr0 >> 19) & 7, 3u);
  // Row 0 at 104 MHz: every 100 ns interface timing is capped at 7.
  NandTimingRegisters(0, 104, &ndtr0, &ndtr1);
  EXPECT_EQ(ndtr0, 7u << 19 | 7u << 16 | 7u << 11 | 7u << 8 | 7u << 3 | 7u);
}

// ---------------------------------------------------------------------------------------------
// Start-up on every chip and processor
// ---------------------------------------------------------------------------------------------
struct StartCase {
  const char* preset;
  std::uint32_t chip;
  int row;
  DWORD blocks;
  DWORD clockMhz;
};

class NandStartTest : public NandControllerTest, public ::testing::WithParamInterface<StartCase> {
 protected:
  void SetUp() override {
    preset_ = GetParam().preset;
    chip_ = GetParam().chip;
    NandControllerTest::SetUp();
  }
};

TEST_P(NandStartTest, FullSetupIdentifiesConfiguresAndTimesTheChip) {
  const StartCase& c = GetParam();
  ASSERT_EQ(NandControllerInit(1), kNandOk);
  EXPECT_EQ(nandChipIndex, c.row);
  EXPECT_EQ(nandClockMhz, c.clockMhz);
  EXPECT_EQ(nandPageSize, 2048u);
  EXPECT_EQ(nandPagesPerBlock, 64u);
  EXPECT_EQ(nandBlockSize, 0x20000u);
  EXPECT_EQ(nandBlockCount, c.blocks);
  DWORD ndtr0 = 0;
  DWORD ndtr1 = 0;
  NandTimingRegisters(c.row, c.clockMhz, &ndtr0, &ndtr1);
  EXPECT_EQ(model_->Ndtr0(), ndtr0);
  EXPECT_EQ(model_->Ndtr1(), ndtr1);
  NandRelease();
  EXPECT_EQ(model_->Ndcr(), kNandChipTable[c.row].ndcrBits | NDCR_INTERRUPT_MASKS);
  // The chip answers its identifier and moves pages with the configuration.
  DWORD id = 0;
  ASSERT_EQ(NandReadId(&id), kNandOk);
  EXPECT_EQ(id & 0xFFFF, c.chip);
  std::vector<BYTE> page(2048, 0x5A);
  ASSERT_EQ(NandProgramPage(page.data(), nullptr, 0, kScratchPage), kNandOk);
  std::vector<BYTE> back(2048);
  ASSERT_EQ(NandReadPage(back.data(), nullptr, 0, kScratchPage), kNandOk);
  EXPECT_EQ(back, page);
}

INSTANTIATE_TEST_SUITE_P(Chips, NandStartTest,
                         ::testing::Values(StartCase{"pxa320", 0xD3EC, 1, 8192, 104},
                                           StartCase{"pxa320", 0xF1EC, 2, 1024, 104},
                                           StartCase{"pxa320", 0xDAEC, 3, 2048, 104},
                                           StartCase{"pxa320", 0xDCEC, 4, 4096, 104},
                                           StartCase{"pxa320", 0xDCAD, 5, 8192, 104},
                                           StartCase{"pxa300", 0xF1EC, 2, 1024, 156},
                                           StartCase{"pxa310", 0xDAEC, 3, 2048, 156}),
                         [](const ::testing::TestParamInfo<StartCase>& info) {
                           return testing_support::ModuleName(info.param.preset, info.param.chip);
                         });

TEST_F(NandControllerTest, IdentifierReadIsAPageReadOnIdentityNineOnly) {
  struct Case {
    const char* preset;
    DWORD type;
    DWORD bytes;
  };
  for (const Case& c : {Case{"pxa320", 3, 8}, Case{"pxa300", 3, 8}, Case{"pxa310", 0, 512}}) {
    SCOPED_TRACE(c.preset);
    preset_ = c.preset;
    TearDown();
    SetUp();
    ASSERT_EQ(NandControllerInit(1), kNandOk);
    model_->StartCommandLog();
    DWORD id = 0;
    ASSERT_EQ(NandReadId(&id), kNandOk);
    EXPECT_EQ(id & 0xFFFF, 0xF1ECu);
    const auto log = model_->CommandLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].command & 0xFF, 0x90u);
    EXPECT_EQ(CommandType(log[0]), c.type);
    EXPECT_EQ(log[0].dataBytes, c.bytes);
  }
}

TEST_F(NandControllerTest, KeptSetupPollsWithInterruptsMaskedAndGivesTheOsItsSettingBack) {
  osDriver_ = true;
  TearDown();
  SetUp();
  // The OS driver left its configuration with some interrupts unmasked and DMA on.
  const DWORD ndcr = (model_->Ndcr() & ~0x0FFu) | NDCR_DMA_EN;
  IoPointer regs = MapRegisters(kNandControllerPhysical);
  ASSERT_TRUE(regs);
  regs.Write32(NDCR, ndcr);
  UnmapRegisters(regs);
  const DWORD ndtr0 = model_->Ndtr0();
  model_->StartCommandLog();
  ASSERT_EQ(NandControllerInit(0), kNandOk);
  EXPECT_EQ(ndcrSaved, ndcr);
  EXPECT_EQ(nandEccOn, 0);
  EXPECT_EQ(ndcrShadow & (NDCR_ECC_EN | NDCR_SPARE_EN | NDCR_DMA_EN), 0u);
  std::vector<BYTE> page(2048);
  ASSERT_EQ(NandReadPage(page.data(), nullptr, 0, kScratchPage), kNandOk);
  const auto log = model_->CommandLog();
  ASSERT_EQ(log.size(), 2u);  // the identifier and the page
  for (const sim::NandCommandRecord& record : log) {
    EXPECT_EQ(record.ndcr & NDCR_INTERRUPT_MASKS, NDCR_INTERRUPT_MASKS);
    EXPECT_EQ(record.ndcr & NDCR_DMA_EN, 0u);
    EXPECT_EQ(record.ndcr & NDCR_PAGE_SZ_2048, NDCR_PAGE_SZ_2048) << "the OS's chip setting";
  }
  NandRelease();
  EXPECT_EQ(model_->Ndcr(), ndcr);
  EXPECT_EQ(model_->Ndtr0(), ndtr0);
}

// While the OS flash driver is loaded its interrupt handler takes every status bit that NDCR
// leaves unmasked, so a command polled with them unmasked never sees its requests: the program
// masks them for its own commands; without the OS driver nothing takes them.
TEST_F(NandControllerTest, PollingWorksOnlyWithInterruptsMaskedWhileTheOsDriverIsLoaded) {
  struct Case {
    const char* what;
    bool osDriver;
    bool programMasks;
    int status;
  };
  const Case cases[] = {
      {"OS driver loaded, interrupts masked", true, true, kNandOk},
      {"OS driver loaded, interrupts left unmasked", true, false, kNandTimeout},
      {"no OS driver, interrupts left unmasked", false, false, kNandOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    osDriver_ = c.osDriver;
    TearDown();
    SetUp();
    if (c.osDriver) {
      // The OS driver's own configuration takes its interrupts.
      IoPointer regs = MapRegisters(kNandControllerPhysical);
      ASSERT_TRUE(regs);
      regs.Write32(NDCR, model_->Ndcr() & ~NDCR_INTERRUPT_MASKS);
      UnmapRegisters(regs);
      ASSERT_EQ(NandControllerInit(0), kNandOk);
    } else {
      Start();
    }
    if (!c.programMasks) {
      ndcrShadow &= ~NDCR_INTERRUPT_MASKS;
    }
    std::vector<BYTE> page(2048);
    EXPECT_EQ(NandReadPage(page.data(), nullptr, 0, kScratchPage), c.status);
    NandRelease();
    std::string log;
    (void)sim::ReadWholeFile(Machine().RamDirectory() / "debug.log", &log);
    EXPECT_EQ(log.find("interrupt handler took") != std::string::npos, c.status != kNandOk) << log;
  }
}

TEST_F(NandControllerTest, UnknownIdentifierIsAnUnsupportedChip) {
  AddFault(faults::NandId{.id = 0x75EC});
  EXPECT_EQ(NandControllerInit(1), kNandUnsupportedChip);
}

// ---------------------------------------------------------------------------------------------
// Addresses
// ---------------------------------------------------------------------------------------------
TEST_F(NandControllerTest, PagesFromTheSplitGoToChipSelectOneFromZero) {
  chip_ = 0xDCAD;
  TearDown();
  SetUp();
  Start();
  model_->StartCommandLog();
  std::vector<BYTE> first(2048, 0x11);
  std::vector<BYTE> second(2048, 0x22);
  ASSERT_EQ(NandProgramPage(first.data(), nullptr, 0, 0x3FFFF), kNandOk);
  ASSERT_EQ(NandProgramPage(second.data(), nullptr, 0, 0x40000), kNandOk);
  const auto log = model_->CommandLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].chipSelect, 0u);
  EXPECT_EQ(log[0].page, 0x3FFFFu);
  EXPECT_EQ(log[0].address1, 0xFFFF0000u);
  EXPECT_EQ(log[0].address2, 0x3u);
  EXPECT_EQ(log[1].chipSelect, 1u);
  EXPECT_EQ(log[1].page, 0u);
  EXPECT_EQ(log[1].address1, 0u);
  std::vector<BYTE> raw(2048);
  ASSERT_TRUE(model_->ReadRawPage(0x40000, raw.data(), nullptr));
  EXPECT_EQ(raw, second);
  ASSERT_EQ(NandEraseBlock(0x40000 + 5), kNandOk);
  EXPECT_TRUE(model_->PageErased(0x40000));
  EXPECT_FALSE(model_->PageErased(0x3FFFF));
}

// ---------------------------------------------------------------------------------------------
// Page transfers and error correction
// ---------------------------------------------------------------------------------------------
TEST_F(NandControllerTest, SpareBytesTravelWithThePageAndEccKeepsItsOwn) {
  Start();
  std::array<BYTE, 2048> data{};
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<BYTE>(i * 7);
  }
  std::array<BYTE, 64> spare{};
  for (std::size_t i = 0; i < spare.size(); ++i) {
    spare[i] = static_cast<BYTE>(0xA0 + i);
  }
  // Without ECC all 64 spare bytes are the caller's.
  (void)NandSetEcc(0);
  EXPECT_EQ(NandSpareSize(), 64u);
  ASSERT_EQ(NandProgramPage(data.data(), spare.data(), 64, kScratchPage), kNandOk);
  std::array<BYTE, 64> back{};
  ASSERT_EQ(NandReadPage(nullptr, back.data(), 64, kScratchPage), kNandOk);
  EXPECT_EQ(back, spare);
  // With ECC 40 are, the rest holds the code; a longer spare buffer is filled only to 40.
  (void)NandSetEcc(1);
  EXPECT_EQ(NandSpareSize(), 40u);
  ASSERT_EQ(NandProgramPage(data.data(), spare.data(), 40, kScratchPage + 1), kNandOk);
  std::array<BYTE, 2048> readData{};
  back.fill(0x33);
  ASSERT_EQ(NandReadPage(readData.data(), back.data(), 64, kScratchPage + 1), kNandOk);
  EXPECT_EQ(readData, data);
  EXPECT_EQ(0, std::memcmp(back.data(), spare.data(), 40));
  EXPECT_EQ(back[40], 0x33);
  std::array<BYTE, 64> raw{};
  ASSERT_TRUE(model_->ReadRawPage(kScratchPage + 1, nullptr, raw.data()));
  EXPECT_NE(0, std::memcmp(raw.data() + 40, spare.data() + 40, 24));
}

TEST_F(NandControllerTest, EccEventsAreReportedAfterADummyReadOfPageZero) {
  Start();
  (void)NandSetEcc(1);
  std::vector<BYTE> data(2048, 0x3C);
  for (DWORD page = kScratchPage; page < kScratchPage + 3; ++page) {
    ASSERT_EQ(NandProgramPage(data.data(), nullptr, 0, page), kNandOk);
  }
  AddFault(faults::NandBitFlip{.page = kScratchPage, .bits = 1});
  AddFault(faults::NandBitFlip{.page = kScratchPage + 1, .bits = 2});
  struct Case {
    DWORD page;
    int status;
    bool dataIntact;
  };
  const Case cases[] = {{kScratchPage, kNandCorrected, true},
                        {kScratchPage + 1, kNandUncorrectable, false},
                        {kScratchPage + 2, kNandOk, true},
                        {kScratchPage + 3, kNandUncorrectable, false}};  // erased: no code
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    model_->StartCommandLog();
    std::vector<BYTE> back(2048);
    EXPECT_EQ(NandReadPage(back.data(), nullptr, 0, c.page), c.status);
    EXPECT_EQ(back == data, c.dataIntact);
    const auto log = model_->CommandLog();
    ASSERT_EQ(log.size(), c.status == kNandOk ? 1u : 2u);
    if (log.size() == 2) {
      EXPECT_EQ(log[1].page, 0u);
      EXPECT_EQ(log[1].chipSelect, 0u);
      EXPECT_EQ(CommandType(log[1]), kCommandTypeRead);
      EXPECT_EQ(log[1].dataBytes, 2048u + 40u);
    }
  }
}

TEST_F(NandControllerTest, DummyReadFailsTheReadOnlyByTimingOut) {
  Start();
  (void)NandSetEcc(1);
  std::vector<BYTE> data(2048, 0x3C);
  ASSERT_EQ(NandProgramPage(data.data(), nullptr, 0, kScratchPage), kNandOk);
  AddFault(faults::NandBitFlip{.page = kScratchPage, .bits = 1});
  // Page 0 with its own uncorrectable error does not turn the first read's result into a
  // failure: the dummy read only settles the controller.
  AddFault(faults::NandBitFlip{.page = 0, .bits = 3});
  std::vector<BYTE> back(2048);
  EXPECT_EQ(NandReadPage(back.data(), nullptr, 0, kScratchPage), kNandCorrected);
  // A dummy read that never gets its command request: time-out.
  AddFault(faults::NandNoRequest{.skip = 1, .count = 1});
  EXPECT_EQ(NandReadPage(back.data(), nullptr, 0, kScratchPage), kNandTimeout);
}

TEST_F(NandControllerTest, ChipFailuresAreBadBlockStatus) {
  Start();
  std::vector<BYTE> data(2048, 0x00);
  AddFault(faults::NandProgramFail{.page = kScratchPage + 2});
  AddFault(faults::NandEraseFail{.block = kScratchPage / 64 + 1});
  EXPECT_EQ(NandProgramPage(data.data(), nullptr, 0, kScratchPage + 1), kNandOk);
  EXPECT_EQ(NandProgramPage(data.data(), nullptr, 0, kScratchPage + 2), kNandBadBlock);
  EXPECT_EQ(NandEraseBlock(kScratchPage + 64), kNandBadBlock);
  EXPECT_EQ(NandEraseBlock(kScratchPage + 63), kNandOk);
  EXPECT_TRUE(model_->PageErased(kScratchPage + 1));
}

TEST_F(NandControllerTest, ControllerThatNeverRequestsTimesOutAfterTheBoundedWait) {
  Start();
  std::vector<BYTE> data(2048);
  AddFault(faults::NandNoRequest{.count = 1});
  const std::uint64_t before = model_->RegisterAccesses();
  EXPECT_EQ(NandReadPage(data.data(), nullptr, 0, kScratchPage), kNandTimeout);
  // NDSR cleared, ND_RUN set, then the first status read and 1,400,000 more.
  EXPECT_EQ(model_->RegisterAccesses() - before, 2u + 1u + kNandWaitReads);
  AddFault(faults::NandNoRequest{.request = "data", .count = 1});
  EXPECT_EQ(NandProgramPage(data.data(), nullptr, 0, kScratchPage), kNandTimeout);
  NandRelease();
  // The controller works again once released.
  EXPECT_EQ(NandProgramPage(data.data(), nullptr, 0, kScratchPage), kNandOk);
}

TEST_F(NandControllerTest, StartUpTimesOutWhenTheControllerNeverRequests) {
  AddFault(faults::NandNoRequest{});
  EXPECT_EQ(NandControllerInit(1), kNandTimeout);
}

TEST_F(NandControllerTest, NoBufferFailsWithoutTouchingTheController) {
  Start();
  const std::uint64_t before = model_->RegisterAccesses();
  EXPECT_EQ(NandReadPage(nullptr, nullptr, 0, kScratchPage), kNandTimeout);
  EXPECT_EQ(NandProgramPage(nullptr, nullptr, 0, kScratchPage), kNandTimeout);
  EXPECT_EQ(model_->RegisterAccesses(), before);
}

}  // namespace
