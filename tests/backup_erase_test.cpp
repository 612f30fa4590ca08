// Region backup and erase: the layouts of the files a backup writes, what other tools make of
// them, and the progress an erase reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "host/sample_content.h"
#include "sim/hw/nand_flash.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"
#include "tests/update_test_support.h"

namespace {

using update_test::Bytes;
using update_test::LibraryTest;
using update_test::ModuleCase;

std::uint32_t Word(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

// A backup file taken apart: header, records, end record, and what follows it.
struct BackupFile {
  bool hasHeader = false;
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  struct Record {
    std::uint32_t address;
    Bytes data;
    std::uint32_t checksum;
  };
  std::vector<Record> records;
  std::uint32_t endLength = 0;
  Bytes rest;

  static BackupFile Parse(const Bytes& bytes) {
    BackupFile file;
    static const char kSignature[] = "B000FF\n";
    if (bytes.size() < 15 || !std::equal(kSignature, kSignature + 7, bytes.begin())) {
      file.rest = bytes;
      return file;
    }
    file.hasHeader = true;
    file.start = Word(bytes, 7);
    file.length = Word(bytes, 11);
    std::size_t at = 15;
    while (at + 12 <= bytes.size()) {
      const std::uint32_t address = Word(bytes, at);
      const std::uint32_t length = Word(bytes, at + 4);
      const std::uint32_t checksum = Word(bytes, at + 8);
      at += 12;
      if (address == 0 && checksum == 0) {
        file.endLength = length;
        break;
      }
      const std::size_t end = std::min<std::size_t>(bytes.size(), at + length);
      file.records.push_back({address,
                              Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(end)),
                              checksum});
      at = end;
    }
    file.rest = Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
    return file;
  }
};

bool StartsWithSection(const Bytes& bytes) {
  return bytes.size() >= 4 && bytes[0] == 'H' && bytes[1] == 'S' && bytes[2] == 'X' &&
         bytes[3] == 'T';
}

// ---------------------------------------------------------------------------------------------
// Layouts
// ---------------------------------------------------------------------------------------------
class BackupLayout : public LibraryTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
  BackupFile TakeBackup(DWORD kinds) {
    EXPECT_EQ(Backup(ModulePath("backup.bin"), kinds), FWL_OK);
    return BackupFile::Parse(ReadHostFile(HostPath("backup.bin")));
  }
  // Each record holds its region's bytes (the registry whole) with their byte sum.
  void ExpectRecordsOf(const BackupFile& file, const std::vector<DWORD>& kinds) {
    ASSERT_EQ(file.records.size(), kinds.size());
    for (std::size_t i = 0; i < kinds.size(); ++i) {
      const FlashRegion region = Region(kinds[i]);
      const BackupFile::Record& record = file.records[i];
      EXPECT_EQ(record.address, region.start);
      const std::uint32_t length = kinds[i] == REGION_REGISTRY ? region.length : region.used;
      EXPECT_EQ(record.data.size(), length);
      EXPECT_EQ(record.checksum, sample_content::ByteSum(record.data));
      EXPECT_TRUE(record.data == Flash(region.start, length)) << "record " << i;
    }
    EXPECT_EQ(file.endLength, 0xBCA01000u);
  }
};

TEST_F(BackupLayout, Bootloader_OneRecordAtZeroInTheBootloaderRange) {
  const FlashRegion loader = Region(REGION_BOOTLOADER);
  ASSERT_EQ(loader.used, 0x23000u);
  const BackupFile file = TakeBackup(REGION_BOOTLOADER);
  EXPECT_EQ(ReadHostFile(HostPath("backup.bin")).size(), 15u + 12 + 0x23000 + 12);
  EXPECT_EQ(file.start, 0u);
  EXPECT_EQ(file.length, 0x40000u);
  ExpectRecordsOf(file, {REGION_BOOTLOADER});
  EXPECT_TRUE(file.rest.empty());
}

TEST_F(BackupLayout, ConfigBlockWithOsImage_OneRangeAndTwoRecordsInAddressOrder) {
  const FlashRegion config = Region(REGION_CONFIG_BLOCK);
  const FlashRegion os = Region(REGION_OS_IMAGE);
  const BackupFile file = TakeBackup(REGION_OS_IMAGE | REGION_CONFIG_BLOCK);
  EXPECT_EQ(file.start, config.start);
  EXPECT_EQ(file.length, os.start + os.length - config.start);
  ExpectRecordsOf(file, {REGION_CONFIG_BLOCK, REGION_OS_IMAGE});
}

TEST_F(BackupLayout, Registry_IsCopiedWhole) {
  const FlashRegion registry = Region(REGION_REGISTRY);
  ASSERT_LT(registry.used, registry.length / 2);
  std::vector<std::pair<DWORD, DWORD>> sections;
  static std::vector<std::pair<DWORD, DWORD>>* seen = nullptr;
  seen = &sections;
  ASSERT_EQ(FWLBackupToFile(
                ModulePath("backup.bin").c_str(), REGION_REGISTRY, nullptr,
                [](DWORD start, DWORD length, DWORD) {
                  seen->emplace_back(start, length);
                  return 1;
                },
                nullptr),
            FWL_OK);
  const BackupFile file = BackupFile::Parse(ReadHostFile(HostPath("backup.bin")));
  EXPECT_EQ(file.start, registry.start);
  EXPECT_EQ(file.length, registry.length);
  ExpectRecordsOf(file, {REGION_REGISTRY});
  // The section announced is the used part; the record is the whole region.
  ASSERT_EQ(sections.size(), 1u);
  EXPECT_EQ(sections[0], std::make_pair(registry.start, registry.used));
}

TEST_F(BackupLayout, FileSystemAlone_IsOnlyItsSection) {
  ASSERT_EQ(Backup(ModulePath("backup.bin"), REGION_FILE_SYSTEM), FWL_OK);
  EXPECT_TRUE(StartsWithSection(ReadHostFile(HostPath("backup.bin"))));
}

TEST_F(BackupLayout, RegistryWithFileSystem_RangeIsTheRegistryAndTheSectionFollows) {
  const FlashRegion registry = Region(REGION_REGISTRY);
  const BackupFile file = TakeBackup(REGION_REGISTRY | REGION_FILE_SYSTEM);
  EXPECT_EQ(file.start, registry.start);
  EXPECT_EQ(file.length, registry.length);
  ExpectRecordsOf(file, {REGION_REGISTRY});
  EXPECT_TRUE(StartsWithSection(file.rest));
}

TEST_F(BackupLayout, MissingKind_IsRefusedWithAnEmptyFile) {
  ASSERT_EQ(FWLEraseRegions(REGION_OS_IMAGE, nullptr), FWL_OK);
  ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
  EXPECT_EQ(Backup(ModulePath("backup.bin"), REGION_OS_IMAGE | REGION_REGISTRY),
            FWL_ERR_INVALID_REGION);
  EXPECT_TRUE(ReadHostFile(HostPath("backup.bin")).empty());
}

TEST_F(BackupLayout, RegionWithNothingUsed_HasNoRecord) {
  // A config block without its marker is present with nothing used.
  ASSERT_EQ(FWLEraseRegions(REGION_CONFIG_BLOCK, nullptr), FWL_OK);
  ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
  ASSERT_EQ(Region(REGION_CONFIG_BLOCK).used, 0u);
  const BackupFile file = TakeBackup(REGION_CONFIG_BLOCK | REGION_OS_IMAGE);
  EXPECT_EQ(file.start, Region(REGION_CONFIG_BLOCK).start);
  ExpectRecordsOf(file, {REGION_OS_IMAGE});
}

// ---------------------------------------------------------------------------------------------
// Backups on NAND: regions with erased pages read back clean
// ---------------------------------------------------------------------------------------------
class NandBackup : public LibraryTest, public ::testing::WithParamInterface<ModuleCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
  std::uint32_t NandChip() const override { return GetParam().nandChip; }
};

TEST_P(NandBackup, RegistryWithErasedPages_IsCopiedAsTheFlashHoldsIt) {
  const FlashRegion registry = Region(REGION_REGISTRY);
  ASSERT_EQ(Backup(ModulePath("registry.bin"), REGION_REGISTRY), FWL_OK);
  const BackupFile file = BackupFile::Parse(ReadHostFile(HostPath("registry.bin")));
  ASSERT_EQ(file.records.size(), 1u);
  EXPECT_TRUE(file.records[0].data == Flash(registry.start, registry.length));
}

INSTANTIATE_TEST_SUITE_P(Modules, NandBackup, ::testing::ValuesIn(update_test::kNandModules),
                         [](const ::testing::TestParamInfo<ModuleCase>& info) {
                           return update_test::ModuleCaseName(info.param);
                         });

// A page of the OS image with bit errors: corrected ones are copied corrected, wherever they
// are; an uncorrectable one fails the backup rather than reaching the file as good data.
struct BitErrorCase {
  const char* name;
  std::uint32_t page;  // of the OS image region
  int bits;
  FwlStatus status;
};

class NandBackupBitErrors : public LibraryTest, public ::testing::WithParamInterface<BitErrorCase> {
 protected:
  std::string Preset() const override { return "pxa320"; }
};

TEST_P(NandBackupBitErrors, AreCorrectedOrFailTheBackup) {
  const BitErrorCase& c = GetParam();
  const FlashRegion os = Region(REGION_OS_IMAGE);
  ASSERT_GT(os.used, (c.page + 1) * sim::kNandPageBytes);
  const Bytes image = Flash(os.start, os.used);
  const std::uint32_t offset = os.start + c.page * sim::kNandPageBytes;
  const std::vector<std::uint16_t> map = sim::NandFlash::Current()->OsBlockMap();
  const std::uint32_t page = map[offset / sim::kNandBlockBytes] * sim::kNandPagesPerBlock +
                             (offset % sim::kNandBlockBytes) / sim::kNandPageBytes;
  Machine().Faults().Add(
      faults::NandBitFlip{.page = page, .bits = static_cast<std::uint64_t>(c.bits)});
  ASSERT_EQ(Backup(ModulePath("os.bin"), REGION_OS_IMAGE), c.status) << FwlStatusName(c.status);
  if (c.status == FWL_OK) {
    const BackupFile file = BackupFile::Parse(ReadHostFile(HostPath("os.bin")));
    ASSERT_EQ(file.records.size(), 1u);
    EXPECT_TRUE(file.records[0].data == image) << "the copy differs from the image";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NandBackupBitErrors,
    ::testing::Values(BitErrorCase{"CorrectedInTheFirstPage", 0, 1, FWL_OK},
                      BitErrorCase{"CorrectedInALaterPage", 5, 1, FWL_OK},
                      BitErrorCase{"UncorrectableInTheFirstPage", 0, 3, FWL_ERR_READ_FLASH},
                      BitErrorCase{"UncorrectableInALaterPage", 5, 3, FWL_ERR_READ_FLASH}),
    [](const ::testing::TestParamInfo<BitErrorCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Other tools read the backups
// ---------------------------------------------------------------------------------------------
struct ToolCase {
  const char* name;
  DWORD kinds;
};

class BackupWithTools : public LibraryTest, public ::testing::WithParamInterface<ToolCase> {
 protected:
  std::string Preset() const override { return "pxa320"; }
};

TEST_P(BackupWithTools, SrecordSeesTheSameDataRanges) {
  if (std::system("command -v srec_info >/dev/null 2>&1 && command -v srec_cat >/dev/null 2>&1") !=
      0) {
    GTEST_SKIP() << "srecord is not installed";
  }
  ASSERT_EQ(Backup(ModulePath("tools.bin"), GetParam().kinds), FWL_OK);
  const std::filesystem::path file = HostPath("tools.bin");
  const BackupFile parsed = BackupFile::Parse(ReadHostFile(file));
  ASSERT_FALSE(parsed.records.empty());
  std::string output;
  ASSERT_EQ(testing_support::RunCommand("srec_info '" + file.string() + "' -MsBin", &output), 0)
      << output;
  // srec_info lists each contiguous data range as "FIRST - LAST" in hexadecimal.
  std::vector<std::pair<unsigned long, unsigned long>> listed;
  const std::regex range("([0-9A-Fa-f]+) - ([0-9A-Fa-f]+)");
  for (auto it = std::sregex_iterator(output.begin(), output.end(), range);
       it != std::sregex_iterator(); ++it) {
    listed.emplace_back(std::stoul((*it)[1].str(), nullptr, 16),
                        std::stoul((*it)[2].str(), nullptr, 16));
  }
  std::vector<std::pair<unsigned long, unsigned long>> expected;
  for (const BackupFile::Record& record : parsed.records) {
    const unsigned long last = record.address + record.data.size() - 1;
    if (!expected.empty() && expected.back().second + 1 == record.address) {
      expected.back().second = last;
    } else {
      expected.emplace_back(record.address, last);
    }
  }
  EXPECT_TRUE(listed == expected) << output;
  // And srec_cat copies out the same bytes.
  testing_support::TemporaryDirectory scratch;
  for (const BackupFile::Record& record : parsed.records) {
    const std::filesystem::path out = scratch.Path() / "range.bin";
    char window[96];
    std::snprintf(window, sizeof(window), " -crop 0x%X 0x%X -offset -0x%X", record.address,
                  static_cast<unsigned>(record.address + record.data.size()), record.address);
    ASSERT_EQ(testing_support::RunCommand("srec_cat '" + file.string() + "' -MsBin" + window +
                                              " -o '" + out.string() + "' -binary",
                                          &output),
              0)
        << output;
    EXPECT_TRUE(ReadHostFile(out) == record.data) << std::hex << record.address;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BackupWithTools,
    ::testing::Values(ToolCase{"ConfigBlockOsImage", REGION_CONFIG_BLOCK | REGION_OS_IMAGE},
                      ToolCase{"OsImageRegistry", REGION_OS_IMAGE | REGION_REGISTRY},
                      ToolCase{"Registry", REGION_REGISTRY}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Erase
// ---------------------------------------------------------------------------------------------
std::vector<std::pair<DWORD, DWORD>> erasedSoFar;
int RecordErase(DWORD done, DWORD total) {
  erasedSoFar.emplace_back(done, total);
  return 1;
}

class EraseProgressSteps : public LibraryTest, public ::testing::WithParamInterface<ModuleCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
  std::uint32_t NandChip() const override { return GetParam().nandChip; }
};

TEST_P(EraseProgressSteps, AreAThirtySecondOfTheRegionButAtLeast128KiB) {
  for (DWORD kind : {REGION_REGISTRY, REGION_OS_IMAGE, REGION_FILE_SYSTEM}) {
    const FlashRegion region = Region(kind);
    const DWORD step = std::max<DWORD>(region.length / 32, 0x20000);
    const DWORD block = FlashOps.BlockSize(region.start);
    // The flash layer reports before the first block and then at the first block boundary at
    // or past every further step.
    std::vector<std::pair<DWORD, DWORD>> expected;
    DWORD next = 0;
    for (DWORD done = 0; done < region.length; done += block) {
      if (done >= next) {
        expected.emplace_back(done, region.length);
        next += step;
      }
    }
    erasedSoFar.clear();
    ASSERT_EQ(FWLEraseRegions(kind, RecordErase), FWL_OK);
    EXPECT_TRUE(erasedSoFar == expected)
        << "kind " << kind << ": " << erasedSoFar.size() << " reports, " << expected.size()
        << " expected with a step of " << step;
  }
  // The regions are erased.
  for (DWORD kind : {REGION_REGISTRY, REGION_OS_IMAGE}) {
    const FlashRegion region = Region(kind);
    const Bytes bytes = Flash(region.start, 0x20000);
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; }));
  }
}

INSTANTIATE_TEST_SUITE_P(Modules, EraseProgressSteps,
                         ::testing::Values(ModuleCase{"pxa270-32m", 0}, ModuleCase{"pxa320", 0}),
                         [](const ::testing::TestParamInfo<ModuleCase>& info) {
                           return update_test::ModuleCaseName(info.param);
                         });

TEST_F(BackupLayout, EraseOfTheFileSystem_DetachesItFirstAndStaysErased) {
  const auto files = Files(u"\\Flash Disk");
  ASSERT_FALSE(files.empty());
  const FlashRegion fileSystem = Region(REGION_FILE_SYSTEM);
  ASSERT_EQ(FWLEraseRegions(REGION_FILE_SYSTEM, nullptr), FWL_OK);
  // The OS no longer serves the disk, so that it cannot write its volume back over the erase,
  // neither now nor when this process leaves the module.
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk"), INVALID_FILE_ATTRIBUTES);
  update_test::ResetProgramState();
  Reattach();
  const Bytes bytes = Flash(fileSystem.start, 0x40000);
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; }))
      << "the volume was written back";
  // The next start finds no file of the old volume (the OS makes a new one).
  PowerCycle();
  for (const auto& [path, content] : files) {
    if (!path.empty() && path.back() != u'\\') {
      EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << "a file came back";
    }
  }
}

TEST_F(BackupLayout, EraseOfAKindNotPresent_ErasesTheOthers) {
  ASSERT_EQ(FWLEraseRegions(REGION_OS_IMAGE, nullptr), FWL_OK);
  ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
  const FlashRegion registry = Region(REGION_REGISTRY);
  EXPECT_EQ(FWLEraseRegions(REGION_OS_IMAGE | REGION_REGISTRY, nullptr), FWL_OK);
  const Bytes bytes = Flash(registry.start, registry.length);
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(FWLEraseRegions(REGION_OS_IMAGE, nullptr), FWL_ERR_NO_REGION);
}

}  // namespace
