// The NOR flash model, driven at the bus as the processor would drive it.
#include "sim/hw/nor_flash.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "sim/module/machine.h"
#include "sim/os/os_flash.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"

namespace {

using testing_support::ModuleTest;

constexpr std::uint32_t kReadArray = 0x00FF00FF;
constexpr std::uint32_t kReadIdentifier = 0x00900090;
constexpr std::uint32_t kCfiQuery = 0x00980098;
constexpr std::uint32_t kClearStatus = 0x00500050;
constexpr std::uint32_t kLockSetup = 0x00600060;
constexpr std::uint32_t kEraseSetup = 0x00200020;
constexpr std::uint32_t kWordProgram = 0x00400040;
constexpr std::uint32_t kWriteToBuffer = 0x00E800E8;
constexpr std::uint32_t kConfirm = 0x00D000D0;

// A block far above the preset's content, unlocked by the fixture when the flash has it.
constexpr std::uint32_t kScratch = 0x1F00000;

// Sets module.json's flash section (and the image's size) before the module attaches.
void ConfigureFlash(const std::filesystem::path& directory, sim::Json& config,
                    const sim::Json& fields) {
  for (const auto& [key, value] : fields.items()) {
    config["flash"][key] = value;
  }
  std::uint64_t size = 0;
  ASSERT_TRUE(sim::ParseUnsigned(config["flash"]["size"], &size));
  std::filesystem::resize_file(directory / "flash.img", size);
}

class NorModelTest : public ModuleTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
  void SetUp() override {
    ModuleTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    sim::Mmu& mmu = Machine().VirtualMemory();
    base_ = mmu.Reserve(sim::NorSize());
    ASSERT_NE(base_, 0u);
    ASSERT_TRUE(mmu.Map(base_, 0, sim::NorSize()));
    if (UnlockScratch() && sim::NorSize() > kScratch && sim::NorBlockLocked(kScratch, 0)) {
      Unlock(kScratch);
    }
  }
  virtual bool UnlockScratch() const { return true; }
  // Unlocks as the data sheets ask: unlock, then wait for the chips before the next command.
  void Unlock(std::uint32_t offset) {
    Write(offset, kLockSetup);
    Write(offset, kConfirm);
    EXPECT_EQ(WaitReady(offset) & 0x003A003A, 0u);
    Write(offset, kReadArray);
  }
  std::uint32_t Read(std::uint32_t offset) {
    return Machine().VirtualMemory().Read32(base_ + offset);
  }
  void Write(std::uint32_t offset, std::uint32_t value) {
    Machine().VirtualMemory().Write32(base_ + offset, value);
  }
  std::uint32_t Backdoor(std::uint32_t offset) {
    std::uint32_t word = 0;
    EXPECT_TRUE(sim::NorBackdoorRead(offset, &word, 4));
    return word;
  }
  // Polls the status at offset until both chips are ready; returns the status word.
  std::uint32_t WaitReady(std::uint32_t offset) {
    std::uint32_t status = 0;
    for (int polls = 0; polls < 100000; ++polls) {
      status = Read(offset);
      if ((status & 0x00800080) == 0x00800080) {
        return status;
      }
    }
    ADD_FAILURE() << "chips never became ready";
    return status;
  }
  void ExpectReadArray() {
    const auto modes = sim::NorChipModes();
    EXPECT_EQ(modes[0], sim::NorMode::kReadArray) << sim::NorModeName(modes[0]);
    EXPECT_EQ(modes[1], sim::NorMode::kReadArray) << sim::NorModeName(modes[1]);
  }

  std::uintptr_t base_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Identification and geometry by device code
// ---------------------------------------------------------------------------------------------
struct ChipCase {
  const char* deviceCode;
  const char* size;
  const char* layout;  // for codes outside the table
  std::uint32_t cfiSizeExponent;
  bool parameterBlocks;
  bool lockedAtPowerUp;  // volatile lock bits; chips that keep theirs come new and unlocked
};

class NorChipTypeTest : public NorModelTest, public ::testing::WithParamInterface<ChipCase> {
 protected:
  void Configure(sim::Json& config) override {
    sim::Json fields = {{"deviceCode", GetParam().deviceCode}, {"size", GetParam().size}};
    if (GetParam().layout != nullptr) {
      fields["layout"] = GetParam().layout;
    }
    ConfigureFlash(ModuleDirectory(), config, fields);
  }
};

TEST_P(NorChipTypeTest, IdentifiesItselfAndErasesItsOwnBlocks) {
  const ChipCase& chip = GetParam();
  std::uint64_t code = 0;
  ASSERT_TRUE(sim::ParseUnsigned(sim::Json(chip.deviceCode), &code));
  Write(0, kReadIdentifier);
  EXPECT_EQ(Read(0), 0x00890089u);
  EXPECT_EQ(Read(4), code | code << 16);
  EXPECT_EQ(Read(8), chip.lockedAtPowerUp ? 0x00010001u : 0u);
  Write(0, kCfiQuery);
  EXPECT_EQ(Read(0x10 * 4), 0x00510051u);  // "Q"
  EXPECT_EQ(Read(0x11 * 4), 0x00520052u);  // "R"
  EXPECT_EQ(Read(0x12 * 4), 0x00590059u);  // "Y"
  EXPECT_EQ(Read(0x27 * 4), chip.cfiSizeExponent * 0x10001u);
  EXPECT_EQ(Read(0x2C * 4), (chip.parameterBlocks ? 2u : 1u) * 0x10001u);
  const sim::NorChipType* type = sim::FindNorChipType(static_cast<std::uint16_t>(code));
  if (type != nullptr) {
    for (std::uint32_t i = 0; i < 8; ++i) {
      EXPECT_EQ(Read((0x1F + i) * 4), type->timing[i] * 0x10001u) << "timing byte " << i;
    }
  }
  Write(0, kReadArray);

  // Unlock and erase at 0x10000 after filling the low 512 KiB: a parameter chip erases one
  // 64 KiB block there, a uniform chip the whole first 256 KiB.
  std::vector<std::uint8_t> zeros(0x80000, 0);
  ASSERT_TRUE(sim::NorBackdoorWrite(0, zeros.data(), zeros.size()));
  Unlock(0x10000);
  Write(0x10000, kEraseSetup);
  Write(0x10000, kConfirm);
  EXPECT_EQ(WaitReady(0x10000) & 0x003A003A, 0u);
  Write(0x10000, kReadArray);
  const std::uint32_t erasedFrom = chip.parameterBlocks ? 0x10000 : 0;
  const std::uint32_t erasedTo = chip.parameterBlocks ? 0x20000 : 0x40000;
  for (std::uint32_t offset : {0x0u, 0xFFFCu, 0x10000u, 0x1FFFCu, 0x20000u, 0x3FFFCu, 0x40000u}) {
    const bool erased = offset >= erasedFrom && offset < erasedTo;
    EXPECT_EQ(Read(offset), erased ? 0xFFFFFFFFu : 0u) << "offset 0x" << std::hex << offset;
  }
  EXPECT_TRUE(sim::NorProtocolErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(
    DeviceCodes, NorChipTypeTest,
    ::testing::Values(ChipCase{"0x0018", "0x2000000", nullptr, 24, false, false},
                      ChipCase{"0x0019", "0x4000000", nullptr, 25, false, false},
                      ChipCase{"0x8801", "0x1000000", nullptr, 23, false, true},
                      ChipCase{"0x881B", "0x2000000", nullptr, 24, true, true},
                      ChipCase{"0x8922", "0x4000000", nullptr, 25, true, true},
                      ChipCase{"0x8820", "0x1000000", nullptr, 23, true, true},
                      ChipCase{"0x8960", "0x8000000", "uniform", 26, false, true},
                      ChipCase{"0x1234", "0x1000000", "bottom-parameter", 23, true, true}),
    [](const ::testing::TestParamInfo<ChipCase>& info) {
      return std::string("Code") + (info.param.deviceCode + 2);
    });

// ---------------------------------------------------------------------------------------------
// Command sequence errors
// ---------------------------------------------------------------------------------------------
struct Access {
  std::uint32_t offset;  // from kScratch
  std::uint32_t value;
};
struct SequenceCase {
  const char* name;
  std::vector<Access> writes;
  const char* recorded;  // part of the recorded error
};

class NorSequenceErrorTest : public NorModelTest,
                             public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(NorSequenceErrorTest, SetsBothErrorBitsRecordsAndProgramsNothing) {
  ASSERT_TRUE(sim::NorBackdoorErase(kScratch, 0x40000));
  for (const Access& access : GetParam().writes) {
    Write(kScratch + access.offset, access.value);
  }
  // Status bits 4 and 5 together: a bad command sequence.
  EXPECT_EQ(Read(kScratch) & 0x00300030, 0x00300030u);
  const auto errors = sim::NorProtocolErrors();
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors.front().find(GetParam().recorded), std::string::npos) << errors.front();
  Write(kScratch, kClearStatus);
  Write(kScratch, kReadArray);
  for (std::uint32_t offset = 0; offset < 0x100; offset += 4) {
    EXPECT_EQ(Backdoor(kScratch + offset), 0xFFFFFFFFu);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, NorSequenceErrorTest,
    ::testing::Values(
        SequenceCase{"HalvesDiffer", {{0, 0x00FF0090}}, "different commands"},
        SequenceCase{"DataOutsideCommand", {{0, 0x12341234}}, "outside a command"},
        SequenceCase{"CountBeyondBuffer", {{0, kWriteToBuffer}, {0, 0x00400040}}, "exceeds"},
        SequenceCase{"CrossesWindow", {{0, kWriteToBuffer}, {0, 0x000F000F}, {0x60, 0}}, "crosses"},
        SequenceCase{"FewerWordsThanAnnounced",
                     {{0, kWriteToBuffer}, {0, 0x00030003}, {0, 0}, {4, 0}, {8, 0}, {8, kConfirm}},
                     "written twice"},
        SequenceCase{"MoreWordsThanAnnounced",
                     {{0, kWriteToBuffer}, {0, 0x00010001}, {0, 0}, {4, 0}, {8, 0}},
                     "more data than announced"},
        SequenceCase{"EraseWithoutConfirm", {{0, kEraseSetup}, {0, kReadArray}}, "confirm"},
        SequenceCase{"EraseConfirmInAnotherBlock",
                     {{0, kEraseSetup}, {0x40000, kConfirm}},
                     "outside the block"}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Programming, erasing, locks and busy time
// ---------------------------------------------------------------------------------------------
TEST_F(NorModelTest, BufferedProgram_BusyForItsCfiTimeThenProgrammed) {
  ASSERT_TRUE(sim::NorBackdoorErase(kScratch, 0x40000));
  Write(kScratch, kCfiQuery);
  const std::uint32_t bufferExponent = Read(0x20 * 4) & 0xFF;
  Write(kScratch, kWriteToBuffer);
  EXPECT_EQ(Read(kScratch), 0x00800080u) << "write buffer available";
  Write(kScratch, 0x00010001);  // two words
  Write(kScratch, 0x11223344);
  Write(kScratch + 4, 0x55667788);
  Write(kScratch + 4, kConfirm);
  const std::uint64_t confirmed = Machine().Clock().Now();
  EXPECT_EQ(Read(kScratch) & 0x00800080, 0u) << "busy right after the confirm";
  EXPECT_EQ(Backdoor(kScratch), 0xFFFFFFFFu) << "not programmed before the chips are done";
  int polls = 1;
  while ((Read(kScratch) & 0x00800080) != 0x00800080) {
    ++polls;
    ASSERT_LT(polls, 100);
  }
  const std::uint64_t busy = (std::uint64_t{1} << bufferExponent) * sim::kMicrosecond;
  const std::uint64_t took = Machine().Clock().Now() - confirmed;
  EXPECT_GE(took, busy);
  EXPECT_LE(took, busy + busy / 10);
  Write(kScratch, kReadArray);
  EXPECT_EQ(Read(kScratch), 0x11223344u);
  EXPECT_EQ(Read(kScratch + 4), 0x55667788u);
  ExpectReadArray();
  EXPECT_TRUE(sim::NorProtocolErrors().empty());
}

TEST_F(NorModelTest, ProgramOverProgrammedBits_OnlyClearsAndReportsAnError) {
  ASSERT_TRUE(sim::NorBackdoorErase(kScratch, 0x40000));
  Write(kScratch, kWordProgram);
  Write(kScratch, 0xFF0FFF0F);
  EXPECT_EQ(WaitReady(kScratch) & 0x00100010, 0u);
  // 0xF0 over 0x0F needs erased bits; a 0xFF byte asks for nothing and passes.
  Write(kScratch, kWordProgram);
  Write(kScratch, 0xFFF0FFFF);
  const std::uint32_t status = WaitReady(kScratch);
  EXPECT_EQ(status & 0x00100010, 0x00100000u) << "program error in chip 1 only";
  Write(kScratch, kReadArray);
  EXPECT_EQ(Read(kScratch), 0xFF00FF0Fu) << "bits only ever go from 1 to 0";
  EXPECT_FALSE(sim::NorProtocolErrors().empty());
}

TEST_F(NorModelTest, LockedBlocks_RefuseUntilUnlockedAndAllRelockAtPowerUp) {
  const std::uint32_t before = Read(0x100);
  Write(0x100, kWordProgram);
  Write(0x100, 0);
  EXPECT_EQ(Read(0x100), 0x00920092u) << "ready, program error, block locked";
  Write(0, kClearStatus);
  Write(0, kEraseSetup);
  Write(0, kConfirm);
  EXPECT_EQ(Read(0), 0x00A200A2u) << "ready, erase error, block locked";
  Write(0, kClearStatus);
  Write(0, kReadArray);
  EXPECT_EQ(Read(0x100), before);

  Write(0, kLockSetup);
  Write(0, kConfirm);
  Write(0, kReadIdentifier);
  EXPECT_EQ(Read(8), 0u);
  Write(0, kReadArray);
  // The lock bits live as long as the chips are powered: a new process sees them unlocked...
  Reattach();
  EXPECT_FALSE(sim::NorBlockLocked(0, 0));
  EXPECT_TRUE(sim::NorBlockLocked(0x10000, 0));
  EXPECT_FALSE(sim::NorBlockLocked(kScratch, 0));
  // ...and a power cycle locks every block again.
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  for (const std::uint32_t offset : {0x0u, 0x30000u, 0x40000u, kScratch, sim::NorSize() - 1}) {
    EXPECT_TRUE(sim::NorBlockLocked(offset, 0)) << std::hex << offset;
    EXPECT_TRUE(sim::NorBlockLocked(offset, 1)) << std::hex << offset;
  }
}

// Chips that keep their lock bits across power cycles (0x0017..0x0019), made with every block
// locked.
class NorKeptLocksTest : public NorModelTest {
 protected:
  bool UnlockScratch() const override { return false; }
  void Configure(sim::Json& config) override {
    ConfigureFlash(ModuleDirectory(), config,
                   {{"deviceCode", "0x0018"}, {"size", "0x2000000"}, {"lockedBelow", "0x2000000"}});
  }
  void PowerCycle() {
    sim::Detach();
    std::string error;
    ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
    ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
    sim::Mmu& mmu = Machine().VirtualMemory();
    base_ = mmu.Reserve(sim::NorSize());
    ASSERT_TRUE(mmu.Map(base_, 0, sim::NorSize()));
  }
  sim::Json LockFile() {
    std::string text;
    EXPECT_TRUE(sim::ReadWholeFile(ModuleDirectory() / "nor-locks.json", &text));
    return sim::Json::parse(text, nullptr, false);
  }
};

TEST_F(NorKeptLocksTest, OneUnlockClearsEveryBlockInItsTime_AndTheBitsOutlastAPowerCycle) {
  for (const std::uint32_t offset : {0x0u, 0x40000u, 0x1FC0000u}) {
    EXPECT_TRUE(sim::NorBlockLocked(offset, 0)) << std::hex << offset;
  }
  Write(0x80000, kLockSetup);
  Write(0x80000, kConfirm);
  const std::uint64_t confirmed = Machine().Clock().Now();
  EXPECT_EQ(Read(0x80000) & 0x00800080, 0u) << "busy clearing the lock bits";
  Write(0x80000, kReadIdentifier);  // lost: the chips take only status and read array now
  EXPECT_FALSE(sim::NorProtocolErrors().empty());
  sim::NorClearProtocolErrors();
  EXPECT_EQ(WaitReady(0x80000) & 0x003A003A, 0u);
  EXPECT_GE(Machine().Clock().Now() - confirmed, 500 * sim::kMillisecond);
  EXPECT_LT(Machine().Clock().Now() - confirmed, 600 * sim::kMillisecond);
  for (const std::uint32_t offset : {0x0u, 0x40000u, 0x80000u, 0x1FC0000u}) {
    EXPECT_FALSE(sim::NorBlockLocked(offset, 0)) << std::hex << offset;
    EXPECT_FALSE(sim::NorBlockLocked(offset, 1)) << std::hex << offset;
  }
  // Setting one block's bit takes the chips' time too; there is no lock-down.
  Write(0xC0000, kLockSetup);
  Write(0xC0000, 0x00010001);
  EXPECT_EQ(Read(0xC0000) & 0x00800080, 0u);
  EXPECT_EQ(WaitReady(0xC0000) & 0x003A003A, 0u);
  Write(0xC0000, kLockSetup);
  Write(0xC0000, 0x002F002F);
  EXPECT_EQ(Read(0xC0000) & 0x00300030, 0x00300030u) << "lock-down is a bad sequence here";
  Write(0xC0000, kClearStatus);
  Write(0xC0000, kReadArray);
  EXPECT_EQ(LockFile(), sim::Json({{"chip0", {"0xC0000"}}, {"chip1", {"0xC0000"}}}));

  // A power cycle keeps the bits as they were (module.json's lockedBelow no longer applies).
  PowerCycle();
  EXPECT_TRUE(sim::NorBlockLocked(0xC0000, 0));
  EXPECT_TRUE(sim::NorBlockLocked(0xC0000, 1));
  EXPECT_FALSE(sim::NorBlockLocked(0x0, 0));
  EXPECT_FALSE(sim::NorBlockLocked(0x80000, 1));
  ExpectReadArray();

  // The OS driver's unlock before it erases clears every bit as well, and takes the time.
  sim::OsFlash* os = sim::CurrentOsFlash();
  ASSERT_NE(os, nullptr);
  const std::uint64_t before = Machine().Clock().Now();
  ASSERT_TRUE(os->EraseBlock(0xC0000));
  EXPECT_GE(Machine().Clock().Now() - before, 500 * sim::kMillisecond);
  EXPECT_FALSE(sim::NorBlockLocked(0xC0000, 0));
  EXPECT_EQ(LockFile(), sim::Json({{"chip0", sim::Json::array()}, {"chip1", sim::Json::array()}}));
}

TEST_F(NorKeptLocksTest, LockFileThatIsNoListOfBlocks_NamesTheFile) {
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(ModuleDirectory() / "nor-locks.json",
                                  R"({"chip0": ["0x10"], "chip1": []})", &error));
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  EXPECT_FALSE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error));
  EXPECT_NE(error.find("nor-locks.json"), std::string::npos) << error;
  EXPECT_NE(error.find("0x10"), std::string::npos) << error;
}

TEST_F(NorModelTest, ReadOfArrayWhileBusy_AnswersStatusAndIsRecorded) {
  ASSERT_TRUE(sim::NorBackdoorWrite(kScratch, "\0\0\0\0", 4));
  Write(kScratch, kEraseSetup);
  Write(kScratch, kConfirm);
  Write(kScratch, kReadArray);  // a busy chip takes read array, but cannot show the array yet
  EXPECT_EQ(Read(kScratch), 0u);
  ASSERT_FALSE(sim::NorProtocolErrors().empty());
  EXPECT_NE(sim::NorProtocolErrors().front().find("busy"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Faults from the plan
// ---------------------------------------------------------------------------------------------
TEST_F(NorModelTest, EraseFailFault_SetsEraseErrorAndKeepsTheData) {
  Machine().Faults().Add(faults::NorEraseFail{.block = kScratch + 0x1000});
  ASSERT_TRUE(sim::NorBackdoorWrite(kScratch + 0x2000, "\x12\x34\x56\x78", 4));
  Write(kScratch, kEraseSetup);
  Write(kScratch, kConfirm);
  EXPECT_EQ(WaitReady(kScratch), 0x00A000A0u);
  EXPECT_EQ(Backdoor(kScratch + 0x2000), 0x78563412u);
}

TEST_F(NorModelTest, ProgramFailFault_FailsTheChipOwningTheByte) {
  ASSERT_TRUE(sim::NorBackdoorErase(kScratch, 0x40000));
  Machine().Faults().Add(faults::NorProgramFail{.offset = kScratch + 0x0A});
  Write(kScratch, kWriteToBuffer);
  Write(kScratch, 0x00030003);
  for (std::uint32_t i = 0; i < 4; ++i) {
    Write(kScratch + 4 * i, 0);
  }
  Write(kScratch + 12, kConfirm);
  EXPECT_EQ(WaitReady(kScratch), 0x00900080u) << "program error in chip 1 only";
  // Chip 1 stopped at the failing word; chip 0 programmed all four.
  EXPECT_EQ(Backdoor(kScratch + 4), 0u);
  EXPECT_EQ(Backdoor(kScratch + 8), 0xFFFF0000u);
  EXPECT_EQ(Backdoor(kScratch + 12), 0xFFFF0000u);
}

TEST_F(NorModelTest, ManufacturerFault_AnswersAnotherMaker) {
  Machine().Faults().Add(faults::NorManufacturer{.code = 0x01, .chip = 1});
  Write(0, kReadIdentifier);
  EXPECT_EQ(Read(0), 0x00010089u);
  Write(0, kReadArray);
}

TEST_F(NorModelTest, NeverReadyFault_StaysBusyAndTakesOnlyStatusAndReadArray) {
  Machine().Faults().Add(faults::NorNeverReady{.block = kScratch});
  ASSERT_TRUE(sim::NorBackdoorWrite(kScratch, "\0\0\0\0", 4));
  Write(kScratch, kEraseSetup);
  Write(kScratch, kConfirm);
  Machine().Clock().Advance(60'000 * sim::kMillisecond);
  EXPECT_EQ(Read(kScratch), 0u);
  Write(kScratch, kClearStatus);  // lost on a busy chip
  Write(kScratch, kReadArray);
  ExpectReadArray();
  EXPECT_EQ(sim::NorChipStatus()[0] & 0x80, 0);
  EXPECT_EQ(Backdoor(kScratch), 0u);
}

// A process that ends (killed) while the chips erase: the chips go on without it, and the next
// process finds them ready with the block erased, module time gone by at least the erase's.
TEST_F(NorModelTest, EraseOfAProcessThatEnded_IsDoneWhenTheNextProcessAttaches) {
  Write(kScratch, kCfiQuery);
  const std::uint64_t erase = (std::uint64_t{1} << (Read(0x21 * 4) & 0xFF)) * sim::kMillisecond;
  Write(kScratch, kReadArray);
  ASSERT_TRUE(sim::NorBackdoorWrite(kScratch, std::vector<std::uint8_t>(64, 0).data(), 64));
  Write(kScratch, kEraseSetup);
  Write(kScratch, kConfirm);
  const std::uint64_t started = Machine().Clock().Now();
  ASSERT_EQ(sim::NorChipStatus()[0] & 0x80, 0) << "busy";
  Reattach();
  EXPECT_TRUE(Machine().FirstProcess());
  EXPECT_EQ(sim::NorChipStatus()[0] & 0x80, 0x80);
  EXPECT_EQ(sim::NorChipStatus()[1] & 0x80, 0x80);
  EXPECT_GE(Machine().Clock().Now() - started, erase);
  for (std::uint32_t offset = 0; offset < 64; offset += 4) {
    EXPECT_EQ(Backdoor(kScratch + offset), 0xFFFFFFFFu) << offset;
  }
}

TEST_F(NorModelTest, CfiByteFault_AnswersTheGivenValue) {
  Machine().Faults().Add(faults::NorCfiByte{.address = 0x27, .value = 0xFF});
  Write(0, kCfiQuery);
  EXPECT_EQ(Read(0x9C), 0x00FF00FFu);
  Write(0, kReadArray);
}

// ---------------------------------------------------------------------------------------------
// Storage, the OS driver's view, module.json
// ---------------------------------------------------------------------------------------------
TEST_F(NorModelTest, ImageHoldsComplementsAndErasedBlocksAreHoles) {
  const auto image = ModuleDirectory() / "flash.img";
  ASSERT_TRUE(sim::NorBackdoorErase(0, sim::NorSize()));
  struct stat info {};
  ASSERT_EQ(::stat(image.c_str(), &info), 0);
  EXPECT_EQ(info.st_blocks, 0) << "an erased flash is all hole";

  Write(kScratch, kWordProgram);
  Write(kScratch, 0x12345678);
  WaitReady(kScratch);
  Write(kScratch, kReadArray);
  std::ifstream file(image, std::ios::binary);
  file.seekg(kScratch);
  std::uint8_t stored[4] = {};
  file.read(reinterpret_cast<char*>(stored), 4);
  EXPECT_EQ(stored[0], 0x87);  // ~0x78
  EXPECT_EQ(stored[3], 0xED);  // ~0x12
  ASSERT_EQ(::stat(image.c_str(), &info), 0);
  EXPECT_GT(info.st_blocks, 0);

  Write(kScratch, kEraseSetup);
  Write(kScratch, kConfirm);
  WaitReady(kScratch);
  Write(kScratch, kReadArray);
  ASSERT_EQ(::stat(image.c_str(), &info), 0);
  EXPECT_EQ(info.st_blocks, 0);
}

TEST_F(NorModelTest, OsDriverView_ProgramsOnlyErasedFlashAndMeetsFaults) {
  sim::OsFlash* os = sim::CurrentOsFlash();
  ASSERT_NE(os, nullptr);
  EXPECT_EQ(os->BlockSize(0), 0x10000u);
  EXPECT_EQ(os->BlockSize(kScratch), 0x40000u);
  ASSERT_TRUE(os->EraseBlock(kScratch));
  const std::uint8_t data[3] = {1, 2, 3};
  ASSERT_TRUE(os->Program(kScratch + 1, data, 3));
  EXPECT_EQ(Backdoor(kScratch), 0x030201FFu);
  EXPECT_FALSE(os->Program(kScratch + 1, "\xFF\xFF\xF0", 3)) << "0xF0 over 0x03";
  Machine().Faults().Add(faults::NorEraseFail{.block = kScratch});
  EXPECT_FALSE(os->EraseBlock(kScratch));
  EXPECT_EQ(Backdoor(kScratch), 0x030201FFu);
  ExpectReadArray();
}

TEST_F(NorModelTest, Describe_ShowsChipsLocksAndStorage) {
  sim::Json info;
  for (sim::Component* component : sim::AllComponents()) {
    component->Describe(Machine(), info);
  }
  const sim::Json& flash = info["flash"];
  EXPECT_EQ(flash["kind"], "nor");
  EXPECT_EQ(flash["deviceCode"], "0x881B");
  EXPECT_EQ(flash["storage"], "complemented");
  EXPECT_EQ(flash["blockEraseMilliseconds"], 1024);
  EXPECT_EQ(flash["lockBits"], "volatile (all locked at power-up)");
  // Four parameter blocks and 127 main blocks, all but the fixture's scratch block locked.
  ASSERT_EQ(flash["lockedBlocks"].size(), 130u);
  EXPECT_EQ(flash["lockedBlocks"][4], "0x40000");
  EXPECT_EQ(flash["lockedBlocks"][129], "0x1FC0000");
  EXPECT_EQ(flash["chips"][1]["mode"], "read array");
}

struct ConfigCase {
  const char* name;
  sim::Json flash;    // fields merged into "flash"
  const char* field;  // named in the error
};

class NorConfigTest : public NorModelTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(NorConfigTest, BadFlashSection_NamesFileAndField) {
  sim::Json config = Machine().Config();
  for (const auto& [key, value] : GetParam().flash.items()) {
    config["flash"][key] = value;
  }
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(ModuleDirectory() / "module.json", config.dump(2), &error));
  sim::Json loaded;
  EXPECT_FALSE(sim::LoadModuleConfig(ModuleDirectory(), &loaded, &error));
  EXPECT_NE(error.find("module.json"), std::string::npos) << error;
  EXPECT_NE(error.find(GetParam().field), std::string::npos) << error;
  EXPECT_FALSE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error));
}

TEST_F(NorModelTest, ImageOfAnotherSize_NamesTheImage) {
  sim::Detach();
  std::filesystem::resize_file(ModuleDirectory() / "flash.img", 0x1000000);
  std::string error;
  EXPECT_FALSE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error));
  EXPECT_NE(error.find("flash.img"), std::string::npos) << error;
  EXPECT_NE(error.find("flash.size"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, NorConfigTest,
    ::testing::Values(
        ConfigCase{"KnownChipWrongSize", {{"size", "0x4000000"}}, "flash.size"},
        ConfigCase{"SizeNotPowerOfTwo", {{"size", "0x3000000"}}, "flash.size"},
        ConfigCase{"PlainStorage", {{"storage", "plain"}}, "flash.storage"},
        ConfigCase{"UnknownLayout",
                   {{"deviceCode", "0x1234"}, {"layout", "top-parameter"}},
                   "flash.layout"},
        ConfigCase{"LockBeyondFlash", {{"lockedBelow", "0x8000000"}}, "flash.lockedBelow"},
        ConfigCase{"DeviceCodeTooWide", {{"deviceCode", "0x12345"}}, "flash.deviceCode"}),
    testing_support::CaseName());

}  // namespace
