// The progress and abort callbacks: the counters behind them, and which slots an entry uses.
#include <gtest/gtest.h>

#include <vector>

#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "host/sample_content.h"
#include "library/library_internal.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_pattern.h"

namespace {

using sample_content::BinBuilder;
using testing_support::Pattern;

// Every call of every slot, in order: {slot, arguments...}.
std::vector<std::vector<DWORD>> calls;
DWORD stopAtAllBytes = 0xFFFFFFFF;

int RecordValidate(DWORD done, DWORD total) {
  calls.push_back({0, done, total});
  return 1;
}
int RecordErase(DWORD done, DWORD total) {
  calls.push_back({1, done, total});
  return 1;
}
int RecordSection(DWORD start, DWORD length, DWORD checksum) {
  calls.push_back({2, start, length, checksum});
  return 1;
}
int RecordData(DWORD section, DWORD all) {
  calls.push_back({3, section, all});
  return all < stopAtAllBytes ? 1 : 0;
}
int RecordBegin(const ImageInfo* info) {
  calls.push_back({4, info->types, info->start, info->length, info->dataBytes});
  return 1;
}

void FillEverySlot() {
  ValidateProgressFn = RecordValidate;
  EraseProgressFn = RecordErase;
  SectionBeginFn = RecordSection;
  DataProgressFn = RecordData;
  BackupBeginFn = RecordBegin;
}

class Callbacks : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLibraryStateForTesting();
    calls.clear();
    stopAtAllBytes = 0xFFFFFFFF;
  }
  void TearDown() override { ResetLibraryStateForTesting(); }
};

TEST_F(Callbacks, EmptySlots_AnswerGoOn) {
  const ImageInfo info{};
  EXPECT_EQ(ProgressBeginOperation(&info), 1);
  EXPECT_EQ(ProgressBeginSection(0, 10, 0), 1);
  EXPECT_EQ(ProgressAdd(5), 1);
}

TEST_F(Callbacks, BeginSectionResetsOnlyTheSectionCounter) {
  FillEverySlot();
  stopAtAllBytes = 100;
  const ImageInfo info{REGION_OS_IMAGE, 0x80000, 0x1000, 150};
  ASSERT_EQ(ProgressBeginOperation(&info), 1);
  ASSERT_EQ(ProgressBeginSection(0x100, 40, 7), 1);
  ASSERT_EQ(ProgressAdd(30), 1);
  ASSERT_EQ(ProgressBeginSection(0x200, 80, 0), 1);
  ASSERT_EQ(ProgressAdd(50), 1);
  EXPECT_EQ(ProgressAdd(20), 0);  // the callback asks to stop at 100 bytes
  const std::vector<std::vector<DWORD>> expected = {{4, REGION_OS_IMAGE, 0x80000, 0x1000, 150},
                                                    {2, 0x100, 40, 7},
                                                    {3, 30, 30},
                                                    {2, 0x200, 80, 0},
                                                    {3, 50, 80},
                                                    {3, 70, 100}};
  EXPECT_EQ(calls, expected);
  // Only beginning an operation starts the all-bytes counter afresh.
  ASSERT_EQ(ProgressBeginOperation(&info), 1);
  EXPECT_EQ(ProgressAdd(1), 1);
  EXPECT_EQ(calls.back(), (std::vector<DWORD>{3, 71, 1}));
}

// Entries install the slots they use and empty the others (the erase slot excepted), so a
// callback left over from an earlier operation is never called by a later one.
class CallbackSlots : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ResetLibraryStateForTesting();
    FlashResetForTesting();
    NandResetForTesting();
    ResetKernelModeStateForTesting();
    ASSERT_EQ(FWLInit(), FWL_OK);
    calls.clear();
  }
  void TearDown() override {
    ResetLibraryStateForTesting();
    ModuleTest::TearDown();
  }
};

TEST_F(CallbackSlots, EntriesWithEmptySlots_RunToTheEndWithoutCallingAny) {
  BinBuilder()
      .Header(0x40000, 0x10000)
      .Record(0x40000, Pattern(5000, 1))
      .Record(0x48000, Pattern(300, 2))
      .End()
      .Cpld(Pattern(64, 3))
      .WriteTo(Machine().FilesDirectory() / "slots.bin");
  FillEverySlot();
  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(u"\\slots.bin", &info, nullptr, 1), FWL_OK);
  EXPECT_EQ(info.dataBytes, 5300u);
  EXPECT_EQ(ValidateProgressFn, nullptr);
  EXPECT_EQ(SectionBeginFn, nullptr);
  EXPECT_EQ(DataProgressFn, nullptr);
  EXPECT_EQ(BackupBeginFn, nullptr);
  EXPECT_EQ(EraseProgressFn, &RecordErase);  // only the update sets it
  (void)FWLCloseBinFile();

  FillEverySlot();
  ASSERT_EQ(FWLBackupToFile(u"\\backup.bin", REGION_CONFIG_BLOCK, nullptr, nullptr, nullptr),
            FWL_OK);
  EXPECT_EQ(ValidateProgressFn, nullptr);
  EXPECT_EQ(SectionBeginFn, nullptr);
  EXPECT_EQ(DataProgressFn, nullptr);
  EXPECT_EQ(BackupBeginFn, nullptr);
  EXPECT_TRUE(calls.empty()) << calls.size() << " calls, the first to slot " << calls[0][0];
}

}  // namespace
