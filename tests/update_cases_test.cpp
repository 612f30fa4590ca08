// The update's cases that callers and users rely on: a CPLD-only file, the NAND page writer's
// gaps and final page, the boot area written last and read back, an abort in the second
// record, a CPLD that does not answer, the config block's board data across a rewrite, records
// that cannot be written as they stand, and the module time an update takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host/sample_content.h"
#include "sim/hw/cpld_model.h"
#include "sim/hw/nand_flash.h"
#include "sim/hw/nor_flash.h"
#include "tests/support/faults.h"
#include "tests/support/test_names.h"
#include "tests/support/test_pattern.h"
#include "tests/support/xsvf_test_stream.h"
#include "tests/update_test_support.h"

namespace {

using sample_content::BinBuilder;
using testing_support::Pattern;
using update_test::Bytes;
using update_test::LibraryTest;
using update_test::ModuleCase;

bool AllFF(const Bytes& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t length) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
}

template <const char* kPreset>
class OnPreset : public LibraryTest {
 protected:
  std::string Preset() const override { return kPreset; }
};
constexpr char kNandPreset[] = "pxa320";
constexpr char kNorPreset[] = "pxa270-32m";
using NandUpdateTest = OnPreset<kNandPreset>;
using NorUpdateTest = OnPreset<kNorPreset>;

// The physical page that holds a logical NAND offset from block 2 on (no boot-area shift).
std::uint32_t PhysicalPage(std::uint32_t offset) {
  const std::vector<std::uint16_t> map = sim::NandFlash::Current()->OsBlockMap();
  return map[offset / sim::kNandBlockBytes] * sim::kNandPagesPerBlock +
         (offset % sim::kNandBlockBytes) / sim::kNandPageBytes;
}

Bytes RawPage(std::uint32_t page) {
  Bytes data(sim::kNandPageBytes);
  EXPECT_TRUE(sim::NandFlash::Current()->ReadRawPage(page, data.data(), nullptr));
  return data;
}

// ---------------------------------------------------------------------------------------------
// NAND page writer
// ---------------------------------------------------------------------------------------------
TEST_F(NandUpdateTest, PageWriter_FillsSkippedPagesAndKeepsTheLastPageUntilTheFlush) {
  const Bytes first = Pattern(100, 1);
  const Bytes second = Pattern(100, 2);
  sim::NandFlash& nand = *sim::NandFlash::Current();
  FlashLockGuard lock;
  ASSERT_TRUE(lock.Locked());
  ASSERT_EQ(FlashOps.Erase(0x80000, 0x20000), 1);
  ASSERT_EQ(PageWrite(first.data(), 0x80000, 100), FWL_OK);
  ASSERT_EQ(PageWrite(second.data(), 0x82000, 100), FWL_OK);
  const Bytes page = RawPage(PhysicalPage(0x80000));
  EXPECT_TRUE(Slice(page, 0, 100) == first);
  EXPECT_TRUE(AllFF(Slice(page, 100, page.size() - 100)));
  for (std::uint32_t gap : {0x80800u, 0x81000u, 0x81800u}) {
    EXPECT_FALSE(nand.PageErased(PhysicalPage(gap))) << std::hex << gap << " not programmed";
    EXPECT_TRUE(AllFF(RawPage(PhysicalPage(gap)))) << std::hex << gap;
  }
  EXPECT_TRUE(nand.PageErased(PhysicalPage(0x82000))) << "the last page went out before the flush";
  ASSERT_EQ(PageWrite(nullptr, 0, 0), FWL_OK);
  EXPECT_TRUE(Slice(RawPage(PhysicalPage(0x82000)), 0, 100) == second);
  EXPECT_TRUE(nand.PageErased(PhysicalPage(0x82800)));
}

TEST_F(NandUpdateTest, PageWriter_WholePagesGoOutDirectlyAndPartialOnesMerge) {
  // A run that starts mid-page, a run that completes that page, then whole pages.
  const Bytes data = Pattern(3 * 2048 + 300, 3);
  FlashLockGuard lock;
  ASSERT_EQ(FlashOps.Erase(0xA0000, 0x20000), 1);
  ASSERT_EQ(PageWrite(data.data(), 0xA0000 + 100, 500), FWL_OK);
  ASSERT_EQ(PageWrite(data.data() + 500, 0xA0000 + 600, static_cast<DWORD>(data.size()) - 500),
            FWL_OK);
  ASSERT_EQ(PageWrite(nullptr, 0, 0), FWL_OK);
  Bytes expected(4 * 2048, 0xFF);
  std::copy(data.begin(), data.end(), expected.begin() + 100);
  Bytes flash;
  for (std::uint32_t page = 0; page < 4; ++page) {
    const Bytes raw = RawPage(PhysicalPage(0xA0000 + page * 2048));
    flash.insert(flash.end(), raw.begin(), raw.end());
  }
  EXPECT_TRUE(flash == expected);
}

// ---------------------------------------------------------------------------------------------
// Boot area
// ---------------------------------------------------------------------------------------------
TEST_F(NandUpdateTest, BootArea_IsWrittenAfterTheOtherRecordsAndReadBack) {
  const Bytes boot = Pattern(0x1000, 4);
  const Bytes config = Pattern(0x800, 5);
  BinBuilder()
      .Header(0, 0x60000)
      .Record(0x10000, boot)
      .Record(0x40000, config)
      .End()
      .WriteTo(HostPath("boot.bin"));
  sim::NandFlash& nand = *sim::NandFlash::Current();
  nand.StartCommandLog();
  ASSERT_EQ(Update(ModulePath("boot.bin")), FWL_OK);
  const std::vector<sim::NandCommandRecord> log = nand.CommandLog();
  const std::uint32_t configPage = PhysicalPage(0x40000);
  const std::uint32_t bootBlocks = 2 * sim::kNandPagesPerBlock;
  const std::vector<std::uint16_t> map = nand.OsBlockMap();
  auto inBootArea = [&](std::uint32_t page) {
    const std::uint32_t block = page / sim::kNandPagesPerBlock;
    return (block == map[0] || block == map[1]) &&
           page != map[0] * sim::kNandPagesPerBlock + sim::kNandTablePage;
  };
  std::ptrdiff_t configProgram = -1;
  std::ptrdiff_t firstBootProgram = -1;
  std::ptrdiff_t lastBootProgram = -1;
  std::ptrdiff_t lastBootRead = -1;
  int bootPrograms = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    const std::uint32_t command = log[i].command & 0xFF;
    const auto at = static_cast<std::ptrdiff_t>(i);
    if (command == 0x80 && log[i].page == configPage) {
      configProgram = at;
    } else if (command == 0x80 && inBootArea(log[i].page)) {
      ++bootPrograms;
      firstBootProgram = firstBootProgram < 0 ? at : firstBootProgram;
      lastBootProgram = at;
    } else if (command == 0x00 && inBootArea(log[i].page)) {
      lastBootRead = at;
    }
  }
  ASSERT_GE(configProgram, 0);
  EXPECT_GT(firstBootProgram, configProgram) << "the boot area went out before the records";
  // The boot area's 127 logical pages, each programmed once, in one pass.
  EXPECT_EQ(bootPrograms, static_cast<int>(bootBlocks - 1));
  EXPECT_GT(lastBootRead, lastBootProgram) << "the boot area was not read back";
  EXPECT_TRUE(Flash(0x10000, 0x1000) == boot);
  EXPECT_TRUE(AllFF(Flash(0, 0x10000)));
  EXPECT_TRUE(AllFF(Flash(0x11000, 0x2F000)));
  EXPECT_TRUE(Flash(0x40000, 0x800) == config);
}

TEST_F(NandUpdateTest, BootArea_RecordInItsUnstoredLastPage_IsRefusedBeforeTheErase) {
  // The boot area's logical page 127 (0x3F800 to 0x3FFFF) has no page on NAND. A record from
  // 0x3F000 to 0x42000 would lose the bytes there: the file is refused with the flash as it was.
  // Blocks 1 and 2 are erased by the range; block 1 holds the boot area's pages from 0x1F800 on.
  const Bytes before = Flash(0, 0x60000);
  BinBuilder()
      .Header(0x3E000, 0x4000)
      .Record(0x3F000, Pattern(0x3000, 6))
      .End()
      .WriteTo(HostPath("straddle.bin"));
  EXPECT_EQ(Update(ModulePath("straddle.bin")), FWL_ERR_BAD_FILE);
  EXPECT_TRUE(Flash(0, 0x60000) == before);
  // Up to that page and from the next block on, the same data are written.
  const Bytes data = Pattern(0x3000, 6);
  BinBuilder()
      .Header(0x3E000, 0x4000)
      .Record(0x3F000, Slice(data, 0, 0x800))
      .Record(0x40000, Slice(data, 0x1000, 0x2000))
      .End()
      .WriteTo(HostPath("split.bin"));
  ASSERT_EQ(Update(ModulePath("split.bin")), FWL_OK);
  EXPECT_TRUE(Flash(0x3F000, 0x800) == Slice(data, 0, 0x800));
  EXPECT_TRUE(AllFF(Flash(0x3F800, 0x800)));
  EXPECT_TRUE(Flash(0x40000, 0x2000) == Slice(data, 0x1000, 0x2000));
  EXPECT_TRUE(AllFF(Flash(0x20000, 0x1F000)));
  EXPECT_TRUE(Flash(0, 0x1F800) == Slice(before, 0, 0x1F800)) << "the bootloader changed";
}

TEST_F(NandUpdateTest, BootArea_RecordOutsideTheErasedBlocks_IsRefusedBeforeTheErase) {
  // The range erases block 1 only; a record in block 0 could not be programmed.
  const Bytes bootloader = Flash(0, 0x40000);
  BinBuilder()
      .Header(0x20000, 0x20000)
      .Record(0x1000, Pattern(0x100, 13))
      .End()
      .WriteTo(HostPath("outside.bin"));
  EXPECT_EQ(Update(ModulePath("outside.bin")), FWL_ERR_BAD_FILE);
  EXPECT_TRUE(Flash(0, 0x40000) == bootloader);
}

// ---------------------------------------------------------------------------------------------
// Record order and range
// ---------------------------------------------------------------------------------------------
struct FileCase {
  const char* name;
  // Records (flash offsets) in file order, within a header range of 0x80000 at 0x80000.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> records;  // offset, length
  FwlStatus expected;
};

class RecordFiles : public LibraryTest, public ::testing::WithParamInterface<FileCase> {
 protected:
  std::string Preset() const override { return "pxa320"; }
};

TEST_P(RecordFiles, AreWrittenInPageOrderOrRefusedBeforeAnythingChanges) {
  const FileCase& c = GetParam();
  const Bytes before = Flash(0x80000, 0x80000);
  BinBuilder builder;
  builder.Header(0x80000, 0x80000);
  Bytes expected(0x80000, 0xFF);
  std::uint32_t seed = 10;
  for (const auto& [offset, length] : c.records) {
    const Bytes data = Pattern(length, seed++);
    builder.Record(offset, data);
    if (offset + length <= 0x100000) {
      std::copy(data.begin(), data.end(), expected.begin() + (offset - 0x80000));
    }
  }
  builder.End().WriteTo(HostPath("order.bin"));
  ASSERT_EQ(Update(ModulePath("order.bin")), c.expected);
  EXPECT_TRUE(Flash(0x80000, 0x80000) == (c.expected == FWL_OK ? expected : before));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordFiles,
    ::testing::Values(
        FileCase{"Ascending", {{0x80000, 4}, {0x80040, 8}, {0x81000, 0x3000}}, FWL_OK},
        // A linker writes the pointer at image start + 0x40 after everything else.
        FileCase{"PointerLast", {{0x80000, 4}, {0x81000, 0x3000}, {0x80040, 8}}, FWL_OK},
        FileCase{"Descending", {{0xC0000, 0x1000}, {0xA0000, 0x1000}, {0x80000, 0x1000}}, FWL_OK},
        FileCase{"SamePageBelow", {{0x80100, 0x100}, {0x80000, 0x100}}, FWL_OK},
        FileCase{"Overlapping", {{0x80000, 0x1000}, {0x80800, 0x1000}}, FWL_ERR_BAD_FILE},
        FileCase{"PastTheRange", {{0x80000, 0x1000}, {0x100000, 0x1000}}, FWL_ERR_BAD_FILE}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Abort in the second record
// ---------------------------------------------------------------------------------------------
int sectionsBegun = 0;
int CountSections(DWORD /*start*/, DWORD /*length*/, DWORD /*checksum*/) {
  ++sectionsBegun;
  return 1;
}
int StopInSecondSection(DWORD /*sectionDone*/, DWORD /*allDone*/) { return sectionsBegun < 2; }

struct AbortCase {
  const char* name;
  const char* preset;
  std::uint32_t first;  // NOR: a record in the boot blocks, written directly
  std::uint32_t second;
};

class AbortInSecondRecord : public LibraryTest, public ::testing::WithParamInterface<AbortCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
};

TEST_P(AbortInSecondRecord, LeavesTheFirstWritten) {
  const AbortCase& c = GetParam();
  const Bytes first = Pattern(0x1000, 7);
  BinBuilder()
      .Header(c.first, c.second + 0x1000 - c.first)
      .Record(c.first, first)
      .Record(c.second, Pattern(0x1000, 8))
      .End()
      .WriteTo(HostPath("abort.bin"));
  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(ModulePath("abort.bin").c_str(), &info, nullptr, 1), FWL_OK);
  sectionsBegun = 0;
  EXPECT_EQ(FWLDoUpdate(nullptr, CountSections, StopInSecondSection), FWL_ERR_ABORTED);
  (void)FWLCloseBinFile();
  EXPECT_EQ(sectionsBegun, 2);
  EXPECT_TRUE(Flash(c.first, 0x1000) == first);
}

INSTANTIATE_TEST_SUITE_P(Modules, AbortInSecondRecord,
                         ::testing::Values(AbortCase{"Nor", "pxa270-32m", 0x20000, 0x30000},
                                           AbortCase{"Nand", "pxa320", 0x80000, 0xA0000}),
                         testing_support::CaseName());

TEST_F(NandUpdateTest, BootArea_UpdateAbortedInItsSecondRecord_KeepsTheFirstAndStillBoots) {
  // A bootloader update of two records, both in the boot area, which the flash gets only
  // after the last record: the user stops it in the second.
  const FlashRegion loader = Region(REGION_BOOTLOADER);
  ASSERT_EQ(loader.flags & REGION_NOT_PRESENT, 0u);
  const Bytes bootloader = Flash(0, loader.used);
  const std::string versions = Versions();
  BinBuilder()
      .Header(0, 0x40000)
      .Record(0, bootloader)
      .Record(0x30000, Pattern(0x1000, 14))
      .End()
      .WriteTo(HostPath("loader.bin"));
  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(ModulePath("loader.bin").c_str(), &info, nullptr, 1), FWL_OK);
  sectionsBegun = 0;
  EXPECT_EQ(FWLDoUpdate(nullptr, CountSections, StopInSecondSection), FWL_ERR_ABORTED);
  (void)FWLCloseBinFile();
  EXPECT_EQ(sectionsBegun, 2);
  EXPECT_TRUE(Flash(0, loader.used) == bootloader) << "the bootloader taken was not written";
  // The next start finds the bootloader where it was, with its version.
  PowerCycle();
  EXPECT_EQ(Region(REGION_BOOTLOADER).flags & REGION_NOT_PRESENT, 0u);
  EXPECT_EQ(Region(REGION_BOOTLOADER).used, loader.used);
  EXPECT_EQ(Versions(), versions);
}

// ---------------------------------------------------------------------------------------------
// Board data of the config block
// ---------------------------------------------------------------------------------------------
struct BoardDataCase {
  const char* name;
  const char* preset;
  bool badSecondRecord;
};

class BoardData : public LibraryTest, public ::testing::WithParamInterface<BoardDataCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
  static Bytes Item(DWORD subCode, DWORD size) {
    Bytes item(size);
    EXPECT_EQ(QueryPlatform(subCode, item.data(), size), size) << subCode;
    return item;
  }
};

TEST_P(BoardData, SurvivesAConfigBlockRewrite) {
  const Bytes item0 = Item(0, 8);
  const Bytes item8 = Item(8, 8);
  const Bytes item12 = Item(12, 4);
  // A new config block with its marker and other board data.
  Bytes block = Pattern(0x400, 9);
  sample_content::Bytes marker;
  sample_content::AppendWord(marker, 0xCF014000);
  std::copy(marker.begin(), marker.end(), block.begin());
  BinBuilder builder;
  builder.Header(0x40000, 0x40000).Record(0x40000, block);
  if (GetParam().badSecondRecord) {
    builder.RecordWithChecksum(0x41000, Pattern(0x100, 10), 0x12345678);
  }
  builder.End().WriteTo(HostPath("config.bin"));
  // Opened without verifying, so that the bad record reaches the update.
  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(ModulePath("config.bin").c_str(), &info, nullptr, 0), FWL_OK);
  EXPECT_EQ(FWLDoUpdate(nullptr, nullptr, nullptr),
            GetParam().badSecondRecord ? FWL_ERR_CHECKSUM : FWL_OK);
  (void)FWLCloseBinFile();
  EXPECT_TRUE(Item(0, 8) == item0);
  EXPECT_TRUE(Item(8, 8) == item8);
  EXPECT_TRUE(Item(12, 4) == item12);
  // Everything behind the items is the file's.
  const Bytes now = Flash(0x40000, 0x400);
  const auto differs = std::mismatch(now.begin() + 24, now.end(), block.begin() + 24);
  EXPECT_TRUE(differs.first == now.end()) << "differs at " << (differs.first - now.begin()) << ": "
                                          << int(*differs.first) << " vs " << int(*differs.second);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoardData,
    ::testing::Values(BoardDataCase{"NorAllRecordsGood", "pxa270-32m", false},
                      BoardDataCase{"NorSecondRecordFailsItsChecksum", "pxa270-32m", true},
                      BoardDataCase{"NandAllRecordsGood", "pxa320", false},
                      BoardDataCase{"NandSecondRecordFailsItsChecksum", "pxa320", true}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// CPLD section
// ---------------------------------------------------------------------------------------------
Bytes UserCodeStream(std::uint32_t userCode) {
  return sample_content::ProgramStream(
      {{sim::kCpldUserCodeRow, sample_content::UserCodeRow(userCode)}},
      sample_content::ProgramOptions{});
}

TEST_F(NandUpdateTest, CpldOnlyFile_ProgramsTheCpldAndTouchesNoFlash) {
  // First an image update, then a file with nothing but a CPLD section.
  BinBuilder()
      .Header(0x80000, 0x1000)
      .Record(0x80000, Pattern(0x1000, 11))
      .End()
      .WriteTo(HostPath("image.bin"));
  ASSERT_EQ(Update(ModulePath("image.bin")), FWL_OK);
  BinBuilder().Cpld(UserCodeStream(0x00020003)).WriteTo(HostPath("cpld.bin"));
  const auto files = Files(u"\\Flash Disk");
  ASSERT_FALSE(files.empty());
  ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
  const std::vector<FlashRegion> table = Table();
  const sim::NandBusyTotals before = sim::NandFlash::Current()->Totals();
  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(ModulePath("cpld.bin").c_str(), &info, nullptr, 1), FWL_OK);
  ASSERT_EQ(info.types, REGION_CPLD_FIRMWARE);
  EXPECT_EQ(FWLDoUpdate(nullptr, nullptr, nullptr), FWL_OK);
  (void)FWLCloseBinFile();
  const sim::NandBusyTotals after = sim::NandFlash::Current()->Totals();
  EXPECT_EQ(after.erases, before.erases);
  EXPECT_EQ(after.programs, before.programs);
  // The file system driver stayed loaded: the flash disk is still there.
  EXPECT_TRUE(Files(u"\\Flash Disk") == files);
  DWORD userCode = 0;
  ASSERT_EQ(CpldOpen(), kCpldOk);
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  (void)CpldClose();
  EXPECT_EQ(userCode, 0x00020003u);
  ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
  const std::vector<FlashRegion> now = Table();
  ASSERT_EQ(now.size(), table.size());
  for (std::size_t i = 0; i < now.size(); ++i) {
    EXPECT_EQ(now[i].used, table[i].used) << i;
  }
}

TEST_F(NandUpdateTest, CpldThatDoesNotAnswer_GivesNoCpldAndLeavesThePortClosed) {
  BinBuilder().Cpld(UserCodeStream(0x00020003)).WriteTo(HostPath("cpld.bin"));
  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(ModulePath("cpld.bin").c_str(), &info, nullptr, 1), FWL_OK);
  Machine().Faults().Add(faults::CpldAbsent{});
  EXPECT_EQ(FWLDoUpdate(nullptr, nullptr, nullptr), FWL_ERR_NO_CPLD);
  (void)FWLCloseBinFile();
  DWORD userCode = 0;
  EXPECT_EQ(CpldReadUserCode(&userCode), kCpldNotOpen);
  Machine().Faults().Clear();
  ASSERT_EQ(CpldOpen(), kCpldOk);
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  (void)CpldClose();
  EXPECT_NE(userCode, 0x00020003u);
}

// ---------------------------------------------------------------------------------------------
// Module time
// ---------------------------------------------------------------------------------------------
TEST_F(NorUpdateTest, FullUpdate_ModuleTimeIsTheChipsBusyTimeWithinTenPercent) {
  // An OS image of 4 MiB: its erase and programs dominate what the update costs.
  const FlashRegion os = Region(REGION_OS_IMAGE);
  ASSERT_GE(os.length, 0x400000u);
  BinBuilder()
      .Header(os.start, 0x400000)
      .Record(os.start, Pattern(0x400000, 12))
      .End()
      .WriteTo(HostPath("full.bin"));
  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(ModulePath("full.bin").c_str(), &info, nullptr, 1), FWL_OK);
  const sim::NorStatistics before = sim::NorStats();
  const std::uint64_t start = Machine().Clock().Now();
  ASSERT_EQ(FWLDoUpdate(nullptr, nullptr, nullptr), FWL_OK);
  const std::uint64_t elapsed = Machine().Clock().Now() - start;
  (void)FWLCloseBinFile();
  const std::uint64_t busy = sim::NorStats().busyNanoseconds - before.busyNanoseconds;
  ASSERT_GT(busy, 0u);
  EXPECT_GE(elapsed, busy);
  EXPECT_LE(elapsed, busy + busy / 10) << "module " << elapsed << " ns, chips " << busy << " ns";
  // The library reports the same time, in milliseconds.
  EXPECT_NEAR(static_cast<double>(FWLGetOperationTime()), static_cast<double>(elapsed) / 1e6, 2.0);
}

TEST_F(NandUpdateTest, EveryLongOperation_ReportsItsModuleTime) {
  const std::uint64_t start = Machine().Clock().Now();
  ASSERT_EQ(FWLEraseRegions(REGION_REGISTRY, nullptr), FWL_OK);
  const double eraseMs = static_cast<double>(Machine().Clock().Now() - start) / 1e6;
  EXPECT_GT(FWLGetOperationTime(), 0u);
  EXPECT_NEAR(static_cast<double>(FWLGetOperationTime()), eraseMs, 2.0);
  const std::uint64_t backupStart = Machine().Clock().Now();
  ASSERT_EQ(Backup(ModulePath("os.bin"), REGION_OS_IMAGE), FWL_OK);
  const double backupMs = static_cast<double>(Machine().Clock().Now() - backupStart) / 1e6;
  EXPECT_GT(FWLGetOperationTime(), 0u);
  EXPECT_NEAR(static_cast<double>(FWLGetOperationTime()), backupMs, 2.0);
}

}  // namespace
