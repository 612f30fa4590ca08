// The data flash controller and NAND chip model: register protocol, strictness, ECC, timing,
// persistence, the running OS's part and module.json.
#include "sim/hw/nand_flash.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sim/base/files.h"
#include "sim/os/shared_memory.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

using testing_support::ModuleTest;

// Registers and bits as the processor manual names them.
constexpr std::uint32_t NDCR = 0x00;
constexpr std::uint32_t NDTR0CS0 = 0x04;
constexpr std::uint32_t NDTR1CS0 = 0x0C;
constexpr std::uint32_t NDSR = 0x14;
constexpr std::uint32_t NDDB = 0x40;
constexpr std::uint32_t NDCB0 = 0x48;
constexpr std::uint32_t ND_RUN = 1u << 28;
constexpr std::uint32_t ECC_EN = 1u << 30;
constexpr std::uint32_t SPARE_EN = 1u << 31;
// 2048-byte pages, RD_ID_CNT 5, row address from cycle 3, 64 pages per block, arbiter on,
// interrupts masked.
constexpr std::uint32_t kLargePage = 0x01000000 | 0x50000 | 0x8000 | 0x4000 | 0x1000 | 0xFFF;
// Timings a 104 MHz controller needs for the 1 Gbit chip.
constexpr std::uint32_t kNdtr0 = 3u << 19 | 2u << 16 | 1u << 11 | 1u << 8 | 1u << 3 | 2u;
constexpr std::uint32_t kNdtr1 = 2612u << 16 | 6u << 4 | 1u;
constexpr std::uint32_t RDDREQ = 0x002, WRDREQ = 0x004, CORERR = 0x008, UNCERR = 0x010;
constexpr std::uint32_t CS0_BBD = 0x040, CS0_CMDD = 0x100, RDY = 0x800;
// Command words for the 1 Gbit chip (4 address cycles for pages, 2 for erases).
constexpr std::uint32_t kReadCommand = 0x3000 | (4 | 8) << 16;
constexpr std::uint32_t kProgramCommand = 0x1080 | (4 | 0x228) << 16;
constexpr std::uint32_t kEraseCommand = 0xD060 | (2 | 0x248) << 16;
constexpr std::uint32_t kScratchBlock = 300;

// ---------------------------------------------------------------------------------------------
// The error correction code alone
// ---------------------------------------------------------------------------------------------
struct EccPage {
  std::array<std::uint8_t, 2048> data{};
  std::array<std::uint8_t, 64> spare{};
  EccPage() {
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    spare.fill(0xFF);
    for (std::size_t i = 0; i < 40; ++i) {
      spare[i] = static_cast<std::uint8_t>(i);
    }
    sim::NandEccEncode(data.data(), spare.data(), spare.data() + 40);
  }
  // Bit numbers count over the data, then the 64 spare bytes.
  void Flip(std::uint32_t bit) {
    std::uint8_t* byte = bit < 2048 * 8 ? &data[bit / 8] : &spare[bit / 8 - 2048];
    *byte ^= static_cast<std::uint8_t>(1u << (bit % 8));
  }
};

TEST(NandEccTest, OneFlippedBitIsCorrectedAndTwoOrMoreAreNot) {
  struct Case {
    const char* what;
    std::vector<std::uint32_t> bits;
    sim::NandEccResult result;
  };
  const Case cases[] = {
      {"clean", {}, sim::NandEccResult::kClean},
      {"first data bit", {0}, sim::NandEccResult::kCorrected},
      {"last data bit", {2048 * 8 - 1}, sim::NandEccResult::kCorrected},
      {"visible spare bit", {(2048 + 39) * 8 + 3}, sim::NandEccResult::kCorrected},
      {"code bit", {(2048 + 45) * 8 + 1}, sim::NandEccResult::kCorrected},
      {"two bits of one byte", {100 * 8 + 1, 100 * 8 + 2}, sim::NandEccResult::kUncorrectable},
      {"same bit of two bytes", {5 * 8 + 4, 900 * 8 + 4}, sim::NandEccResult::kUncorrectable},
      {"two bits apart", {3, 1500 * 8 + 6}, sim::NandEccResult::kUncorrectable},
      {"three bits in one column",
       {8 * 1 + 2, 8 * 2 + 2, 8 * 4 + 2},
       sim::NandEccResult::kUncorrectable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EccPage page;
    const EccPage original;
    for (std::uint32_t bit : c.bits) {
      page.Flip(bit);
    }
    EXPECT_EQ(sim::NandEccDecode(page.data.data(), page.spare.data()), c.result);
    if (c.result != sim::NandEccResult::kUncorrectable) {
      EXPECT_EQ(page.data, original.data);
      EXPECT_TRUE(std::equal(page.spare.begin(), page.spare.begin() + 40, original.spare.begin()));
    }
  }
}

TEST(NandEccTest, ErasedSpareIsNoCodeButAProgrammedBlankPageIs) {
  std::array<std::uint8_t, 2048> data{};
  std::array<std::uint8_t, 64> spare{};
  data.fill(0xFF);
  spare.fill(0xFF);
  EXPECT_EQ(sim::NandEccDecode(data.data(), spare.data()), sim::NandEccResult::kUncorrectable);
  sim::NandEccEncode(data.data(), spare.data(), spare.data() + 40);
  EXPECT_EQ(sim::NandEccDecode(data.data(), spare.data()), sim::NandEccResult::kClean);
}

// ---------------------------------------------------------------------------------------------
// A module with the 1 Gbit chip, driven register by register
// ---------------------------------------------------------------------------------------------
class NandModelTest : public ModuleTest {
 protected:
  std::string Preset() const override { return preset_; }
  std::uint32_t NandChip() const override { return chip_; }
  void Configure(sim::Json& config) override {
    config["flash"]["osDriverLoaded"] = osDriver_;
    if (configure_) {
      configure_(config);
    }
  }
  void SetUp() override {
    ModuleTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    model_ = sim::NandFlash::Current();
    ASSERT_NE(model_, nullptr);
  }
  void Restart() {
    TearDown();
    SetUp();
  }

  void W(std::uint32_t offset, std::uint32_t value) { model_->Write32(offset, value); }
  std::uint32_t R(std::uint32_t offset) { return model_->Read32(offset); }
  void Setup(std::uint32_t ndcr = kLargePage) {
    W(NDTR0CS0, kNdtr0);
    W(NDTR1CS0, kNdtr1);
    W(NDCR, ndcr);
    ndcr_ = ndcr;
  }
  void Issue(std::uint32_t command, std::uint32_t first, std::uint32_t second) {
    W(NDSR, 0xFFF);
    W(NDCR, ndcr_ | ND_RUN);
    ASSERT_NE(R(NDSR) & 1, 0u);
    W(NDCB0, command);
    W(NDCB0, first);
    W(NDCB0, second);
  }
  std::uint32_t WaitFor(std::uint32_t mask) {
    std::uint32_t status = 0;
    for (int reads = 0; reads < 10 && (status & mask) == 0; ++reads) {
      status = R(NDSR);
    }
    return status;
  }
  // Programs page (physical) with data and, without ECC, 64 spare bytes (with ECC 40).
  std::uint32_t Program(std::uint32_t page, const std::vector<std::uint8_t>& data,
                        const std::vector<std::uint8_t>& spare) {
    Issue(kProgramCommand, page << 16, page >> 16);
    EXPECT_NE(WaitFor(WRDREQ) & WRDREQ, 0u);
    for (std::size_t i = 0; i < data.size(); i += 4) {
      std::uint32_t word;
      std::memcpy(&word, data.data() + i, 4);
      W(NDDB, word);
    }
    for (std::size_t i = 0; i < spare.size(); i += 4) {
      std::uint32_t word;
      std::memcpy(&word, spare.data() + i, 4);
      W(NDDB, word);
    }
    return WaitFor(CS0_CMDD);
  }
  std::uint32_t Read(std::uint32_t page, std::vector<std::uint8_t>* data,
                     std::vector<std::uint8_t>* spare, std::uint32_t spareBytes) {
    Issue(kReadCommand, page << 16, page >> 16);
    const std::uint32_t status = WaitFor(RDDREQ);
    EXPECT_NE(status & RDDREQ, 0u);
    data->resize(2048);
    spare->resize(spareBytes);
    for (std::size_t i = 0; i < 2048; i += 4) {
      const std::uint32_t word = R(NDDB);
      std::memcpy(data->data() + i, &word, 4);
    }
    for (std::size_t i = 0; i < spareBytes; i += 4) {
      const std::uint32_t word = R(NDDB);
      std::memcpy(spare->data() + i, &word, 4);
    }
    return status | WaitFor(CS0_CMDD);
  }
  std::uint32_t Erase(std::uint32_t block) {
    Issue(kEraseCommand, block * 64, 0);
    return WaitFor(CS0_CMDD);
  }

  std::string preset_ = "pxa320";
  std::uint32_t chip_ = 0xF1EC;
  bool osDriver_ = true;
  std::function<void(sim::Json&)> configure_;
  std::uint32_t ndcr_ = kLargePage;
  sim::NandFlash* model_ = nullptr;
};

TEST_F(NandModelTest, PagesProgramReadAndEraseWithAndWithoutEcc) {
  const std::uint32_t page = kScratchBlock * 64;
  std::vector<std::uint8_t> data(2048);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  }
  std::vector<std::uint8_t> spare(64, 0xC3);
  Setup(kLargePage | SPARE_EN);
  ASSERT_EQ(Program(page, data, spare) & (RDY | CS0_CMDD | CS0_BBD), RDY | CS0_CMDD);
  std::vector<std::uint8_t> back;
  std::vector<std::uint8_t> backSpare;
  EXPECT_EQ(Read(page, &back, &backSpare, 64) & (CORERR | UNCERR), 0u);
  EXPECT_EQ(back, data);
  EXPECT_EQ(backSpare, spare);
  // With ECC the controller shows 40 spare bytes and reports the state of the code.
  Setup(kLargePage | SPARE_EN | ECC_EN);
  spare.resize(40);
  ASSERT_EQ(Program(page + 1, data, spare) & CS0_BBD, 0u);
  EXPECT_EQ(Read(page + 1, &back, &backSpare, 40) & (CORERR | UNCERR), 0u);
  EXPECT_EQ(back, data);
  EXPECT_EQ(Read(page, &back, &backSpare, 40) & UNCERR, UNCERR);      // written without a code
  EXPECT_EQ(Read(page + 2, &back, &backSpare, 40) & UNCERR, UNCERR);  // erased
  EXPECT_EQ(Erase(kScratchBlock) & (RDY | CS0_CMDD | CS0_BBD), RDY | CS0_CMDD);
  EXPECT_TRUE(model_->PageErased(page));
  EXPECT_TRUE(model_->PageErased(page + 1));
  EXPECT_EQ(model_->EraseCount(kScratchBlock), 1u);
}

TEST_F(NandModelTest, BusyTimesRunOnTheVirtualClock) {
  Setup(kLargePage | SPARE_EN | ECC_EN);
  sim::VirtualClock& clock = Machine().Clock();
  const sim::NandChip& chip = model_->Chip();
  // 104 MHz: a read strobe is tRP + tRH = 3 + 2 cycles, a write strobe tWP + tWH = 2 + 2.
  const std::uint64_t readTransfer = 2112ull * 5 * 1000 / 104;
  const std::uint64_t writeTransfer = 2112ull * 4 * 1000 / 104;
  std::vector<std::uint8_t> data(2048, 0);
  std::vector<std::uint8_t> spare(40, 0xFF);
  std::uint64_t start = clock.Now();
  Program(kScratchBlock * 64, data, spare);
  const std::uint64_t program = clock.Now() - start;
  EXPECT_GE(program, chip.programBusy + writeTransfer);
  EXPECT_LE(program, chip.programBusy + writeTransfer + 10 * sim::kMicrosecond);
  start = clock.Now();
  std::vector<std::uint8_t> back;
  Read(kScratchBlock * 64, &back, &spare, 40);
  const std::uint64_t read = clock.Now() - start;
  EXPECT_GE(read, 25120 + readTransfer);  // the tR of NDTR1CS0 is a little above the chip's
  EXPECT_LE(read, 25120 + readTransfer + 10 * sim::kMicrosecond);
  start = clock.Now();
  Erase(kScratchBlock);
  const std::uint64_t erase = clock.Now() - start;
  EXPECT_GE(erase, chip.eraseBusy);
  EXPECT_LE(erase, chip.eraseBusy + sim::kMicrosecond);
}

TEST_F(NandModelTest, ProgramWithoutEccMayOnlyClearBitsOfAProgrammedPage) {
  Setup(kLargePage | SPARE_EN);
  const std::uint32_t page = kScratchBlock * 64;
  std::vector<std::uint8_t> data(2048, 0xFF);
  data[0] = 0xF0;
  const std::vector<std::uint8_t> spare(64, 0xFF);
  Program(page, data, spare);
  data[0] = 0x30;  // clears two more bits
  data[1] = 0x00;  // a byte untouched so far
  EXPECT_EQ(Program(page, data, spare) & CS0_BBD, 0u);
  std::vector<std::uint8_t> raw(2048);
  ASSERT_TRUE(model_->ReadRawPage(page, raw.data(), nullptr));
  EXPECT_EQ(raw[0], 0x30);
  EXPECT_EQ(raw[1], 0x00);
  EXPECT_EQ(raw[2], 0xFF);
}

// Driver mistakes end the process with a message, as a data abort would.
TEST_F(NandModelTest, DriverMistakesFailLoudly) {
  const std::uint32_t page = kScratchBlock * 64;
  struct Case {
    const char* what;
    std::function<void()> mistake;
    const char* message;
  };
  const std::vector<std::uint8_t> data(2048, 0x00);
  const std::vector<std::uint8_t> spare40(40, 0xFF);
  const Case cases[] = {
      {"data read without request",
       [&] {
         Setup();
         (void)R(NDDB);
       },
       "NDDB read without a read data request"},
      {"command without ND_RUN",
       [&] {
         Setup();
         W(NDCB0, kReadCommand);
       },
       "NDCB0 written without a write command request"},
      {"second ND_RUN",
       [&] {
         Setup();
         Issue(kReadCommand, page << 16, 0);
         W(NDCR, ndcr_ | ND_RUN);
       },
       "ND_RUN set while a command is in progress"},
      {"second program with ECC",
       [&] {
         Setup(kLargePage | SPARE_EN | ECC_EN);
         Program(page, data, spare40);
         Program(page, data, spare40);
       },
       "programmed a second time since its erase"},
      {"program that sets a bit",
       [&] {
         Setup(kLargePage | SPARE_EN);
         std::vector<std::uint8_t> other(2048, 0x0F);
         Program(page, data, std::vector<std::uint8_t>(64, 0xFF));
         Program(page, other, std::vector<std::uint8_t>(64, 0xFF));
       },
       "would need a 0 bit to become 1"},
      {"timing too short",
       [&] {
         Setup();
         W(NDTR0CS0, kNdtr0 & ~7u);  // tRP of one cycle: 9.6 ns
         Issue(kReadCommand, page << 16, 0);
       },
       "tRP 1 cycles"},
      {"wrong address cycles",
       [&] {
         Setup();
         Issue(0x3000 | (5 | 8) << 16, page << 16, 0);
       },
       "5 address cycles"},
      {"small-page configuration",
       [&] {
         Setup(kLargePage & ~0x01000000u);
         Issue(kReadCommand, 0, 0);
       },
       "does not describe the chip"},
      {"erase address beyond its cycles",
       [&] {
         Setup();
         Issue(kEraseCommand, 0x10000, 0);
       },
       "bits beyond its 2 row cycles"},
      {"second chip select",
       [&] {
         Setup();
         Issue(kReadCommand | 1u << 24, 0, 0);
       },
       "chip select 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_DEATH(c.mistake(), c.message);
  }
}

TEST_F(NandModelTest, ControllerRegistersOutliveTheProcessButNotAReset) {
  Setup(kLargePage | ECC_EN);
  Reattach();
  model_ = sim::NandFlash::Current();
  EXPECT_EQ(model_->Ndcr(), kLargePage | ECC_EN);
  EXPECT_EQ(model_->Ndtr0(), kNdtr0);
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  model_ = sim::NandFlash::Current();
  // The OS driver set the controller up again at boot, with its own configuration.
  EXPECT_NE(model_->Ndcr(), kLargePage | ECC_EN);
  EXPECT_NE(model_->Ndtr0(), 0u);
}

TEST_F(NandModelTest, BootPublishesTheTableOnlyWhenTheOsDriverLoads) {
  for (const bool osDriver : {true, false}) {
    SCOPED_TRACE(osDriver);
    osDriver_ = osDriver;
    Restart();
    EXPECT_EQ(std::filesystem::exists(sim::NamedMemoryFile("NAND_FLASH_BBMT")), osDriver);
    if (osDriver) {
      const auto* shared =
          static_cast<const std::uint8_t*>(sim::OpenNamedMemory("NAND_FLASH_BBMT", 16388));
      ASSERT_NE(shared, nullptr);
      EXPECT_EQ(std::memcmp(shared, "BBMT", 4), 0);
      EXPECT_EQ(shared[4 + 2 * 77] | shared[5 + 2 * 77] << 8, 77);
      EXPECT_NE(model_->Ndtr0(), 0x003F3F3Fu);  // set up for the chip
    } else {
      EXPECT_EQ(model_->Ndtr0(), 0x003F3F3Fu);  // power-on: every timing at its slowest
    }
  }
}

TEST_F(NandModelTest, PublishedMapFollowsTheTablePageWithinTheChip) {
  osDriver_ = true;
  Restart();
  std::vector<std::uint8_t> page(2048, 0xFF);
  page[0] = 0x4E;
  page[1] = 0x52;
  const std::uint16_t entries[][2] = {{5, 1023}, {5, 1022}, {0, 1021}, {7, 0xF000}, {9, 0}};
  for (std::size_t k = 0; k < std::size(entries); ++k) {
    for (int word = 0; word < 2; ++word) {
      page[4 + 4 * k + 2 * word] = static_cast<std::uint8_t>(entries[k][word]);
      page[5 + 4 * k + 2 * word] = static_cast<std::uint8_t>(entries[k][word] >> 8);
    }
  }
  ASSERT_TRUE(model_->WriteRawPage(63, page.data(), nullptr));
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  model_ = sim::NandFlash::Current();
  const std::vector<std::uint16_t> map = model_->OsBlockMap();
  EXPECT_EQ(map[5], 1022);  // the later entry wins
  EXPECT_EQ(map[7], 7);     // a replacement beyond the chip is ignored
  EXPECT_EQ(map[9], 9);     // so is one by block 0
  EXPECT_EQ(map[0], 0);
}

TEST_F(NandModelTest, FactoryBadBlocksCarryTheirMarkerAndNeverErase) {
  configure_ = [](sim::Json& config) { config["flash"]["factoryBadBlocks"] = {kScratchBlock}; };
  Restart();
  std::array<std::uint8_t, 64> spare{};
  ASSERT_TRUE(model_->ReadRawPage(kScratchBlock * 64, nullptr, spare.data()));
  EXPECT_EQ(spare[0], 0x00);
  Setup();
  EXPECT_EQ(Erase(kScratchBlock) & CS0_BBD, CS0_BBD);
  EXPECT_EQ(Erase(kScratchBlock + 1) & CS0_BBD, 0u);
}

TEST_F(NandModelTest, FailedProgramLeavesThePagePartlyProgrammed) {
  Setup(kLargePage | SPARE_EN | ECC_EN);
  const std::uint32_t page = kScratchBlock * 64 + 4;
  Machine().Faults().Add(faults::NandProgramFail{.page = page});
  const std::vector<std::uint8_t> data(2048, 0x00);
  const std::vector<std::uint8_t> spare(40, 0xFF);
  EXPECT_EQ(Program(page, data, spare) & CS0_BBD, CS0_BBD);
  std::vector<std::uint8_t> raw(2048);
  ASSERT_TRUE(model_->ReadRawPage(page, raw.data(), nullptr));
  EXPECT_EQ(raw[0], 0x00);
  EXPECT_EQ(raw[1], 0xFF);
  std::vector<std::uint8_t> back;
  std::vector<std::uint8_t> backSpare;
  EXPECT_EQ(Read(page, &back, &backSpare, 40) & UNCERR, UNCERR);
  // Only once: the next program of another page works.
  EXPECT_EQ(Program(page + 1, data, spare) & CS0_BBD, 0u);
}

TEST_F(NandModelTest, FailedProgramWithOneStuckBitReadsBackCorrected) {
  Setup(kLargePage | SPARE_EN | ECC_EN);
  const std::uint32_t page = kScratchBlock * 64 + 4;
  Machine().Faults().Add(faults::NandProgramFail{.page = page, .leaves = "one-stuck-bit"});
  std::vector<std::uint8_t> data(2048);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(0xFF - i * 3);  // byte 0 is 0xFF: nothing to clear
  }
  const std::vector<std::uint8_t> spare(40, 0xA5);
  EXPECT_EQ(Program(page, data, spare) & CS0_BBD, CS0_BBD);  // the chip says it failed
  std::vector<std::uint8_t> raw(2048);
  ASSERT_TRUE(model_->ReadRawPage(page, raw.data(), nullptr));
  std::uint32_t differing = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    differing += static_cast<std::uint32_t>(std::popcount(static_cast<unsigned>(raw[i] ^ data[i])));
  }
  EXPECT_EQ(differing, 1u);
  EXPECT_EQ(raw[1], 0xFD);  // the first bit to clear (bit 0 of 0xFC) stayed 1
  std::vector<std::uint8_t> back;
  std::vector<std::uint8_t> backSpare;
  EXPECT_EQ(Read(page, &back, &backSpare, 40) & (CORERR | UNCERR), CORERR);
  EXPECT_EQ(back, data);
  EXPECT_EQ(backSpare, spare);
}

// The chips take four programs of a page between erases, and their pages in order within a
// block: neither is refused, both are counted, persist with the chip and go with an erase.
TEST_F(NandModelTest, ProgramsPastTheLimitAndOutOfOrderAreCountedUntilTheErase) {
  Setup(kLargePage | SPARE_EN);
  const std::uint32_t first = kScratchBlock * 64;
  const std::vector<std::uint8_t> spare(64, 0xFF);
  std::vector<std::uint8_t> data(2048, 0xFF);
  auto flashInfo = [&] {
    sim::Json info;
    model_->Describe(Machine(), info);
    return info["flash"]["programsSinceErase"];
  };
  const sim::Json before = flashInfo();
  EXPECT_EQ(before["partialProgramLimit"], 4);
  EXPECT_EQ(model_->ProgramCount(63), before["tablePagePrograms"].get<std::uint32_t>());
  // Page 9 five times, each program clearing one more byte; then page 3, below it.
  for (std::uint32_t round = 1; round <= 5; ++round) {
    data[round] = 0x00;
    ASSERT_EQ(Program(first + 9, data, spare) & CS0_BBD, 0u);
    EXPECT_EQ(model_->ProgramCount(first + 9), round);
  }
  EXPECT_EQ(model_->OutOfOrderPrograms(kScratchBlock), 0u);
  ASSERT_EQ(Program(first + 3, data, spare) & CS0_BBD, 0u);
  ASSERT_EQ(Program(first + 10, data, spare) & CS0_BBD, 0u);  // in order again
  EXPECT_EQ(model_->OutOfOrderPrograms(kScratchBlock), 1u);
  std::string log;
  ASSERT_TRUE(sim::ReadWholeFile(Machine().RamDirectory() / "debug.log", &log));
  const std::string past = "page " + std::to_string(first + 9) + " programmed 5 times";
  EXPECT_NE(log.find(past), std::string::npos) << log;
  EXPECT_EQ(log.find("page " + std::to_string(first + 9) + " programmed 4 times"),
            std::string::npos);

  Reattach();
  model_ = sim::NandFlash::Current();
  EXPECT_EQ(model_->ProgramCount(first + 9), 5u);
  const sim::Json after = flashInfo();
  EXPECT_EQ(after["pagesPastLimit"], before["pagesPastLimit"].get<std::uint64_t>() + 1);
  EXPECT_EQ(after["blocksOutOfOrder"], before["blocksOutOfOrder"].get<std::uint64_t>() + 1);
  EXPECT_NE(after["pagesPastLimitFirst"].dump().find("{\"page\":" + std::to_string(first + 9) +
                                                     ",\"programs\":5}"),
            std::string::npos)
      << after.dump();
  EXPECT_NE(after["blocksOutOfOrderFirst"].dump().find(
                "{\"block\":" + std::to_string(kScratchBlock) + ",\"programs\":1}"),
            std::string::npos)
      << after.dump();

  Setup(kLargePage | SPARE_EN);
  ASSERT_EQ(Erase(kScratchBlock) & CS0_BBD, 0u);
  EXPECT_EQ(model_->ProgramCount(first + 9), 0u);
  EXPECT_EQ(model_->OutOfOrderPrograms(kScratchBlock), 0u);
  EXPECT_EQ(flashInfo()["pagesPastLimit"], before["pagesPastLimit"]);
  // A failed erase leaves the counts with the block's content.
  ASSERT_EQ(Program(first + 2, data, spare) & CS0_BBD, 0u);
  Machine().Faults().Add(faults::NandEraseFail{.block = kScratchBlock});
  EXPECT_EQ(Erase(kScratchBlock) & CS0_BBD, CS0_BBD);
  EXPECT_EQ(model_->ProgramCount(first + 2), 1u);
}

// A page programmed past the limit reads disturbed bits (1 bits as 0) while the plan holds a
// disturb item; one within the limit, or another page than the item names, reads as programmed.
TEST_F(NandModelTest, DisturbHitsOnlyPagesProgrammedPastTheLimit) {
  Setup(kLargePage | SPARE_EN);
  const std::uint32_t first = kScratchBlock * 64;
  const std::vector<std::uint8_t> spare(64, 0xFF);
  std::vector<std::uint8_t> data(2048, 0xFF);
  data[0] = 0x00;
  for (std::uint32_t page : {first + 1, first + 2}) {
    for (int round = 0; round < 5; ++round) {
      ASSERT_EQ(Program(page, data, spare) & CS0_BBD, 0u);
    }
  }
  ASSERT_EQ(Program(first + 3, data, spare) & CS0_BBD, 0u);
  struct Case {
    const char* what;
    sim::Json item;
    std::uint32_t page;
    std::vector<std::uint32_t> clearedBits;  // empty: reads as programmed
    std::uint32_t randomBits;                // that many 1 bits read as 0 instead
  };
  const Case cases[] = {
      {"named bits of a page past the limit",
       faults::NandDisturb{.positions = std::vector<std::uint32_t>{8, 16383}},
       first + 1,
       {8, 16383},
       0},
      {"a number of bits", faults::NandDisturb{.bits = 5}, first + 2, {}, 5},
      {"within the limit", faults::NandDisturb{.bits = 5}, first + 3, {}, 0},
      {"another page named", faults::NandDisturb{.page = first + 2, .bits = 5}, first + 1, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine().Faults().Clear();
    Machine().Faults().Add(c.item);
    std::vector<std::uint8_t> expected = data;
    for (std::uint32_t bit : c.clearedBits) {
      expected[bit / 8] &= static_cast<std::uint8_t>(~(1u << (bit % 8)));
    }
    std::vector<std::uint8_t> back;
    std::vector<std::uint8_t> backSpare;
    Read(c.page, &back, &backSpare, 64);
    std::uint32_t cleared = 0;
    std::uint32_t set = 0;
    for (std::size_t i = 0; i < back.size(); ++i) {
      cleared +=
          static_cast<std::uint32_t>(std::popcount(static_cast<unsigned>(expected[i] & ~back[i])));
      set +=
          static_cast<std::uint32_t>(std::popcount(static_cast<unsigned>(~expected[i] & back[i])));
    }
    EXPECT_EQ(set, 0u);
    EXPECT_EQ(cleared, c.randomBits);
    if (c.randomBits == 0) {
      EXPECT_EQ(back, expected);
    }
    // The array itself is not changed: the same bits read disturbed again.
    std::vector<std::uint8_t> again;
    Read(c.page, &again, &backSpare, 64);
    EXPECT_EQ(again, back);
  }
}

TEST_F(NandModelTest, ErasedFlashStaysSparseOnDisk) {
  auto onDisk = [&] {
    struct stat info {};
    ::stat((ModuleDirectory() / "flash.img").c_str(), &info);
    return static_cast<std::uint64_t>(info.st_blocks) * 512;
  };
  Setup(kLargePage | SPARE_EN | ECC_EN);
  const std::uint64_t before = onDisk();
  const std::vector<std::uint8_t> data(2048, 0x00);
  const std::vector<std::uint8_t> spare(40, 0xFF);
  for (std::uint32_t index = 0; index < 64; ++index) {
    Program(kScratchBlock * 64 + index, data, spare);
  }
  EXPECT_GE(onDisk(), before + 0x20000);
  Erase(kScratchBlock);
  EXPECT_EQ(onDisk(), before);
}

TEST_F(NandModelTest, RawPagesPersistAcrossProcesses) {
  std::vector<std::uint8_t> data(2048);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i);
  }
  ASSERT_TRUE(model_->WriteEccPage(kScratchBlock * 64, data.data(), nullptr));
  Reattach();
  model_ = sim::NandFlash::Current();
  std::vector<std::uint8_t> back(2048);
  std::vector<std::uint8_t> spare(64);
  ASSERT_TRUE(model_->ReadRawPage(kScratchBlock * 64, back.data(), spare.data()));
  EXPECT_EQ(back, data);
  EXPECT_EQ(sim::NandEccDecode(back.data(), spare.data()), sim::NandEccResult::kClean);
}

// ---------------------------------------------------------------------------------------------
// The OS flash driver's view and flashwick-module info
// ---------------------------------------------------------------------------------------------
TEST_F(NandModelTest, OsViewUsesTheBootAreaLayoutAndTheTable) {
  sim::OsFlash* os = sim::CurrentOsFlash();
  ASSERT_EQ(os, model_);
  EXPECT_EQ(os->Size(), (1024u - 20u) * 0x20000u);
  ASSERT_TRUE(os->EraseBlock(0));
  ASSERT_TRUE(os->EraseBlock(0x20000));
  std::vector<std::uint8_t> data(3 * 2048);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 13);
  }
  ASSERT_TRUE(os->Program(62 * 2048, data.data(), static_cast<std::uint32_t>(data.size())));
  std::vector<std::uint8_t> raw(2048);
  ASSERT_TRUE(model_->ReadRawPage(64, raw.data(), nullptr));
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), data.begin() + 2048));
  ASSERT_TRUE(model_->ReadRawPage(63, raw.data(), nullptr));
  EXPECT_EQ(raw[0] | raw[1] << 8, 0x524E);
  std::vector<std::uint8_t> back(data.size());
  ASSERT_TRUE(os->Read(62 * 2048, back.data(), static_cast<std::uint32_t>(back.size())));
  EXPECT_EQ(back, data);
  // Page 127 has no place: it reads erased. A page is programmed once.
  std::vector<std::uint8_t> hole(2048);
  ASSERT_TRUE(os->Read(127 * 2048, hole.data(), 2048));
  EXPECT_EQ(hole, std::vector<std::uint8_t>(2048, 0xFF));
  EXPECT_FALSE(os->Program(62 * 2048, data.data(), 4));
}

TEST_F(NandModelTest, InfoShowsTheControllerTiming) {
  sim::Json info;
  model_->Describe(Machine(), info);
  const sim::Json& controller = info["flash"]["controller"];
  char ndtr0[16];
  std::snprintf(ndtr0, sizeof(ndtr0), "0x%08X", model_->Ndtr0());
  EXPECT_EQ(controller["NDTR0CS0"], ndtr0);
  EXPECT_TRUE(controller.contains("NDTR1CS0"));
  EXPECT_EQ(info["flash"]["chipId"], "0xF1EC");
  EXPECT_EQ(info["flash"]["sharedTable"], "loaded (\"BBMT\")");
}

TEST_F(NandModelTest, ModuleFileErrorsNameTheField) {
  struct Case {
    std::function<void(sim::Json&)> edit;
    const char* field;
  };
  const Case cases[] = {
      {[](sim::Json& c) { c["flash"]["chipId"] = "0x1234"; }, "flash.chipId"},
      {[](sim::Json& c) { c["flash"]["storage"] = "plain"; }, "flash.storage"},
      {[](sim::Json& c) { c["flash"]["factoryBadBlocks"] = {0}; }, "flash.factoryBadBlocks.0"},
      {[](sim::Json& c) { c["faults"]["items"] = {faults::NandBitFlip{.page = 1024 * 64}}; },
       "faults.items[0].page"},
      {[](sim::Json& c) { c["faults"]["items"] = {faults::NandNoRequest{.request = "status"}}; },
       "faults.items[0].request"},
      {[](sim::Json& c) { c["faults"]["items"] = {faults::NandDisturb{.page = 1024 * 64}}; },
       "faults.items[0].page"},
      {[](sim::Json& c) {
         c["faults"]["items"] = {faults::NandProgramFail{.page = 64, .leaves = "half"}};
       },
       "faults.items[0].leaves"},
  };
  sim::Detach();
  sim::Json original;
  std::string error;
  ASSERT_TRUE(sim::LoadModuleConfig(ModuleDirectory(), &original, &error)) << error;
  for (const Case& c : cases) {
    sim::Json config = original;
    c.edit(config);
    ASSERT_TRUE(sim::WriteWholeFile(ModuleDirectory() / "module.json", config.dump(2), &error));
    sim::Json loaded;
    EXPECT_FALSE(sim::LoadModuleConfig(ModuleDirectory(), &loaded, &error));
    EXPECT_NE(error.find(std::string("\"") + c.field + "\""), std::string::npos) << error;
  }
  ASSERT_TRUE(sim::WriteWholeFile(ModuleDirectory() / "module.json", original.dump(2), &error));
  // A spare file of the wrong size is named too.
  std::filesystem::resize_file(ModuleDirectory() / "nand.oob", 4096);
  sim::Json loaded;
  EXPECT_FALSE(sim::LoadModuleConfig(ModuleDirectory(), &loaded, &error));
  EXPECT_NE(error.find("nand.oob"), std::string::npos) << error;
  EXPECT_FALSE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error));
  std::filesystem::resize_file(ModuleDirectory() / "nand.oob", 1024ull * 64 * 64);
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
}

}  // namespace
