// Bin files against an independent implementation of the record format, srecord's srec_cat and
// srec_info: what it writes, the library accepts with the same records, and what the library
// accepts (and backs up), it reads with the same data ranges and bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "host/sample_content.h"
#include "library/library_internal.h"
#include "sim/base/files.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"
#include "tests/support/test_pattern.h"

namespace {

namespace fs = std::filesystem;
using sample_content::BinBuilder;
using sample_content::Bytes;
using testing_support::Pattern;
using testing_support::RunCommand;

struct Range {
  std::uint32_t first;
  std::uint32_t last;  // inclusive, as srec_info prints it
  bool operator==(const Range&) const = default;
};

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

Bytes ReadHostFile(const fs::path& file) {
  Bytes bytes;
  EXPECT_TRUE(sim::ReadWholeFile(file, &bytes)) << file;
  return bytes;
}

void WriteHostFile(const fs::path& file, const Bytes& bytes) {
  std::string error;
  EXPECT_TRUE(sim::WriteWholeFile(file, bytes, &error)) << error;
}

// The data ranges srec_info reports for a bin file ("Data:" and the lines below it).
std::vector<Range> SrecInfoRanges(const fs::path& file) {
  std::string output;
  EXPECT_EQ(RunCommand("srec_info " + Quoted(file) + " -MsBin", &output), 0) << output;
  std::vector<Range> ranges;
  std::istringstream lines(output);
  std::string line;
  bool inData = false;
  while (std::getline(lines, line)) {
    if (line.rfind("Data:", 0) == 0) {
      inData = true;
      line = line.substr(5);
    } else if (!inData || line.empty() || (line[0] != ' ' && line[0] != '\t')) {
      inData = false;
      continue;
    }
    unsigned first = 0;
    unsigned last = 0;
    if (std::sscanf(line.c_str(), " %x - %x", &first, &last) == 2) {
      ranges.push_back({first, last});
    }
  }
  return ranges;
}

struct Record {
  std::uint32_t address;
  Bytes data;
};

// The records of a bin file's image part, read as the format lays them out.
std::vector<Record> Records(const Bytes& file) {
  std::vector<Record> records;
  std::size_t at = 15;
  while (at + 12 <= file.size()) {
    const std::uint32_t address = LoadWord(&file[at]);
    const std::uint32_t length = LoadWord(&file[at + 4]);
    const std::uint32_t checksum = LoadWord(&file[at + 8]);
    at += 12;
    if ((address == 0 && checksum == 0) || at + length > file.size()) {
      break;
    }
    records.push_back({address, Bytes(file.begin() + at, file.begin() + at + length)});
    at += length;
  }
  return records;
}

// Contiguous records merged into ranges, in address order.
std::vector<Range> RangesOf(std::vector<Record> records) {
  std::sort(records.begin(), records.end(),
            [](const Record& a, const Record& b) { return a.address < b.address; });
  std::vector<Range> ranges;
  for (const Record& record : records) {
    if (record.data.empty()) {
      continue;
    }
    const auto last = static_cast<std::uint32_t>(record.address + record.data.size() - 1);
    if (!ranges.empty() && ranges.back().last + 1 == record.address) {
      ranges.back().last = last;
    } else {
      ranges.push_back({record.address, last});
    }
  }
  return ranges;
}

class BinInterop : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ResetLibraryStateForTesting();
    FlashResetForTesting();
    NandResetForTesting();
    ResetKernelModeStateForTesting();
    ASSERT_EQ(FWLInit(), FWL_OK);
  }
  void TearDown() override {
    ResetLibraryStateForTesting();
    ModuleTest::TearDown();
  }
  fs::path HostPath(const std::string& name) { return Machine().FilesDirectory() / name; }
  static std::u16string ModulePath(const std::string& name) {
    return u"\\" + std::u16string(name.begin(), name.end());
  }
  // The bytes srec_cat takes out of a bin file between first and last.
  Bytes SrecData(const fs::path& file, const Range& range) {
    const fs::path out = HostPath("range.raw");
    std::string output;
    char crop[64];
    std::snprintf(crop, sizeof(crop), " -crop 0x%X 0x%llX -offset -0x%X", range.first,
                  static_cast<unsigned long long>(range.last) + 1, range.first);
    EXPECT_EQ(RunCommand(
                  "srec_cat " + Quoted(file) + " -MsBin" + crop + " -o " + Quoted(out) + " -binary",
                  &output),
              0)
        << output;
    return ReadHostFile(out);
  }
};

TEST_F(BinInterop, FileWrittenBySrecCat_ValidatesWithTheSameRecords) {
  // Two pieces of an image linked at 0x80000000, of odd lengths, with a gap between; the entry
  // point goes into the end record, which the format needs.
  const Bytes first = Pattern(70001, 1);
  const Bytes second = Pattern(4099, 2);
  WriteHostFile(HostPath("first.raw"), first);
  WriteHostFile(HostPath("second.raw"), second);
  std::string output;
  ASSERT_EQ(RunCommand("srec_cat " + Quoted(HostPath("first.raw")) +
                           " -binary -offset 0x80000000 " + Quoted(HostPath("second.raw")) +
                           " -binary -offset 0x80020000 -execution-start-address=0x80001000 -o " +
                           Quoted(HostPath("srec.bin")) + " -MsBin",
                       &output),
            0)
      << output;

  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(ModulePath("srec.bin").c_str(), &info, nullptr, 1), FWL_OK);
  EXPECT_EQ(info.types, REGION_OS_IMAGE);
  EXPECT_EQ(info.start, CurrentImageRange.start);
  EXPECT_EQ(info.start, 0x80000000u + AddressOffset);
  EXPECT_EQ(info.dataBytes, first.size() + second.size());
  (void)FWLCloseBinFile();

  // The records hold exactly the pieces, at their addresses.
  const std::vector<Record> records = Records(ReadHostFile(HostPath("srec.bin")));
  ASSERT_FALSE(records.empty());
  Bytes atFirst;
  Bytes atSecond;
  for (const Record& record : records) {
    Bytes& piece = record.address < 0x80020000 ? atFirst : atSecond;
    const std::uint32_t base = record.address < 0x80020000 ? 0x80000000 : 0x80020000;
    ASSERT_EQ(record.address - base, piece.size()) << "records out of order or overlapping";
    piece.insert(piece.end(), record.data.begin(), record.data.end());
  }
  EXPECT_EQ(atFirst, first);
  EXPECT_EQ(atSecond, second);
}

TEST_F(BinInterop, CorruptedSrecCatFile_Refused) {
  WriteHostFile(HostPath("piece.raw"), Pattern(5000, 3));
  std::string output;
  ASSERT_EQ(RunCommand("srec_cat " + Quoted(HostPath("piece.raw")) +
                           " -binary -offset 0x00040000 -execution-start-address=0x40000 -o " +
                           Quoted(HostPath("srec.bin")) + " -MsBin",
                       &output),
            0)
      << output;
  Bytes file = ReadHostFile(HostPath("srec.bin"));
  file[15 + 12 + 100] ^= 0x10;
  WriteHostFile(HostPath("srec.bin"), file);
  EXPECT_EQ(FWLSetBinFile(ModulePath("srec.bin").c_str(), nullptr, nullptr, 1), FWL_ERR_CHECKSUM);
}

struct AcceptedCase {
  const char* name;
  Bytes (*build)();
};

class AcceptedFile : public BinInterop, public ::testing::WithParamInterface<AcceptedCase> {};

TEST_P(AcceptedFile, SrecInfoReadsTheSameRangesAndBytes) {
  const Bytes bytes = GetParam().build();
  WriteHostFile(HostPath("ours.bin"), bytes);
  ASSERT_EQ(FWLSetBinFile(u"\\ours.bin", nullptr, nullptr, 1), FWL_OK);
  (void)FWLCloseBinFile();
  const std::vector<Record> records = Records(bytes);
  const std::vector<Range> expected = RangesOf(records);
  ASSERT_EQ(SrecInfoRanges(HostPath("ours.bin")), expected);
  // Byte for byte: the records laid out in address order.
  std::vector<Record> sorted = records;
  std::sort(sorted.begin(), sorted.end(),
            [](const Record& a, const Record& b) { return a.address < b.address; });
  for (const Range& range : expected) {
    Bytes laid;
    for (const Record& record : sorted) {
      if (record.address >= range.first && record.address <= range.last) {
        laid.insert(laid.end(), record.data.begin(), record.data.end());
      }
    }
    EXPECT_EQ(SrecData(HostPath("ours.bin"), range), laid)
        << std::hex << range.first << "-" << range.last;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, AcceptedFile,
                         ::testing::Values(AcceptedCase{"OsImageRecordsOutOfOrderOddLengths",
                                                        [] {
                                                          return BinBuilder()
                                                              .Header(0x80000000, 0x20000)
                                                              .Record(0x80010000, Pattern(777, 1))
                                                              .Record(0x80000000, Pattern(4096, 2))
                                                              .Record(0x80001000, Pattern(13, 3))
                                                              .Record(0x80018001, Pattern(3, 4))
                                                              .End(0x80001000)
                                                              .Data();
                                                        }},
                                           AcceptedCase{"BackupOfFlashOffsets",
                                                        [] {
                                                          return BinBuilder()
                                                              .Header(0x00040000, 0x40000)
                                                              .Record(0x00040000,
                                                                      Pattern(0x8000, 5))
                                                              .End()
                                                              .Data();
                                                        }},
                                           AcceptedCase{"ImageAtTheFlashWindow",
                                                        [] {
                                                          return BinBuilder()
                                                              .Header(0xBCA00000, 0x2000)
                                                              .Record(0xBCA00004, Pattern(100, 6))
                                                              .Record(0xBCA01000, Pattern(100, 7))
                                                              .End()
                                                              .Data();
                                                        }}),
                         testing_support::CaseName());

// A backup that the library writes itself is read back by srec_info with the region's range.
TEST_F(BinInterop, OwnBackup_ReadBySrecInfo) {
  FlashRegion selection{REGION_CONFIG_BLOCK, 0, 0, 0};
  FlashRegion list[kRegionCount + 1] = {};
  ASSERT_EQ(FWLGetRegions(&selection, list), FWL_OK);
  ASSERT_GT(list[0].used, 0u);
  ASSERT_NE(list[0].start, 0u);  // srecord would take a record at 0 for the end
  ASSERT_EQ(FWLBackupToFile(u"\\backup.bin", REGION_CONFIG_BLOCK, nullptr, nullptr, nullptr),
            FWL_OK);
  const Bytes bytes = ReadHostFile(HostPath("backup.bin"));
  const std::vector<Record> records = Records(bytes);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(SrecInfoRanges(HostPath("backup.bin")),
            (std::vector<Range>{{list[0].start, list[0].start + list[0].used - 1}}));
  EXPECT_EQ(SrecData(HostPath("backup.bin"), {list[0].start, list[0].start + list[0].used - 1}),
            records[0].data);
}

}  // namespace
