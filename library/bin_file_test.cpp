// Opening and walking bin files: what FWLSetBinFile accepts, what it refuses, where an image
// goes, what it reports on the way, and what it leaves behind when it fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "host/sample_content.h"
#include "library/library_internal.h"
#include "sim/os/handles.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"
#include "tests/support/test_pattern.h"

namespace {

using sample_content::AppendWord;
using sample_content::BinBuilder;
using sample_content::Bytes;
using sample_content::Chunk;
using sample_content::FileSystemSection;
using sample_content::Fletcher32;
using testing_support::Pattern;

constexpr WCHAR kBinPath[] = u"\\test.bin";
constexpr DWORD kNoStart = 0xFFFFFFFF;
// The preset's flash layout item with the OS image at 0xC0000 instead of the usual 0x80000, so
// that a test tells the platform's answer from the default.
constexpr char kMovedOsLayout[] = "00000c000000400100000400000000000000000000000000";

// The program's process-wide state as a new process starts with it.
void ForgetProgramState() {
  ResetLibraryStateForTesting();
  FlashResetForTesting();
  NandResetForTesting();
  ResetKernelModeStateForTesting();
}

void PutWord(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// Rewrites a word of a file system section header and seals the header again.
Bytes WithHeaderWord(Bytes section, std::size_t at, std::uint32_t value) {
  const std::uint32_t headerSize = section[8] | (section[9] << 8) | (section[10] << 16);
  PutWord(section, at, value);
  const Bytes header(section.begin(), section.begin() + headerSize - 4);
  PutWord(section, headerSize - 4, Fletcher32(header));
  return section;
}

Bytes Concat(std::vector<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

class BinFileTest : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ForgetProgramState();
    ASSERT_EQ(FWLInit(), FWL_OK);
  }
  void TearDown() override {
    ForgetProgramState();
    ModuleTest::TearDown();
  }
  void WriteFile(const Bytes& bytes) {
    BinBuilder().Raw(bytes).WriteTo(Machine().FilesDirectory() / "test.bin");
  }
  // Opens kBinPath and checks what a failure leaves behind: the file closed, the work buffer
  // freed, the heap and the handle table as they were before.
  FwlStatus Open(int verify, ImageInfo* info, ProgressCallback progress = nullptr) {
    // What an earlier open in the same test left open is not this call's to release.
    (void)FWLCloseBinFile();
    FreeWorkBuffer();
    const std::size_t handlesBefore = sim::OpenHandleCount();
    const std::uint64_t heapBefore = Machine().HeapInUse();
    const FwlStatus status = FWLSetBinFile(kBinPath, info, progress, verify);
    if (status != FWL_OK) {
      EXPECT_EQ(BinFileHandle, INVALID_HANDLE_VALUE);
      EXPECT_EQ(WorkBuffer, nullptr);
      EXPECT_EQ(sim::OpenHandleCount(), handlesBefore);
      EXPECT_EQ(Machine().HeapInUse(), heapBefore);
    } else {
      // Open for the update and back at its start.
      EXPECT_NE(BinFileHandle, INVALID_HANDLE_VALUE);
      EXPECT_EQ(SetFilePointer(BinFileHandle, 0, nullptr, FILE_CURRENT), 0u);
      EXPECT_NE(WorkBuffer, nullptr);
    }
    return status;
  }
};

// ---------------------------------------------------------------------------------------------
// The format: what is accepted, what is refused, and what the file is reported to hold
// ---------------------------------------------------------------------------------------------
struct FormatCase {
  const char* name;
  Bytes (*build)();
  int verify;
  FwlStatus status;
  ImageInfo info;  // expected on success
  DWORD binContents;
};

constexpr DWORD kFsBase = 0x02000000;
constexpr DWORD kFsLength = 0x00400000;

Bytes SmallImage() {
  return BinBuilder().Header(0x40000, 0x1000).Record(0x40000, Pattern(100, 1)).End().Data();
}
Bytes FsSection(const Bytes& payload, std::uint32_t headerSize = 348) {
  return FileSystemSection(3, payload, headerSize, kFsBase, kFsLength);
}
Bytes TwoChunks() { return Concat({Chunk(0, Pattern(1024, 2)), Chunk(8, Pattern(512, 3))}); }
Bytes Cpld(const Bytes& data, std::uint32_t headerSize = 24, std::uint32_t version = 1) {
  return BinBuilder().Cpld(data, headerSize, version).Data();
}

std::vector<FormatCase> FormatCases() {
  constexpr ImageInfo kNothing{0, kNoStart, 0, 0};
  constexpr ImageInfo kSmallImage{REGION_OS_IMAGE, 0x40000, 0x1000, 100};
  constexpr DWORD kCpldData = 64;
  return {
      {"Empty_HoldsNothing", [] { return Bytes{}; }, 1, FWL_OK, kNothing, 0},
      {"FourteenBytes_HoldsNothing", [] { return Pattern(14, 4); }, 1, FWL_OK, kNothing, 0},
      {"SignatureWithoutHeaderWords_HoldsNothing",
       [] {
         return BinBuilder().Raw({'B', '0', '0', '0', 'F', 'F', '\n', 1, 2}).Data();
       },
       1, FWL_OK, kNothing, 0},
      {"SmallImage_Accepted", SmallImage, 1, FWL_OK, kSmallImage, BIN_CONTENTS_IMAGE},
      {"RecordsInAnyOrderOddLengthsAndEntryPoint_Accepted",
       [] {
         return BinBuilder()
             .Header(0x40000, 0x1000)
             .Record(0x40800, Pattern(7, 5))
             .Record(0x40000, Pattern(13, 6))
             .Record(0x40100, {})
             .End(0x80001000)
             .Data();
       },
       1,
       FWL_OK,
       {REGION_OS_IMAGE, 0x40000, 0x1000, 20},
       BIN_CONTENTS_IMAGE},
      {"AddressZeroWithChecksumIsData",
       [] { return BinBuilder().Header(0, 0x1000).Record(0, Pattern(32, 7)).End().Data(); },
       1,
       FWL_OK,
       {REGION_OS_IMAGE, 0, 0x1000, 32},
       BIN_CONTENTS_IMAGE},
      // The update erases the header's whole range before it writes a record.
      {"ImageRangePastTheFlashEnd_Refused",
       [] {
         return BinBuilder()
             .Header(FlashSize - 0x1000, 0x2000)
             .Record(FlashSize - 0x1000, Pattern(64, 7))
             .End()
             .Data();
       },
       0,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"TrailingBytesAfterEndRecord_Ignored",
       [] {
         return Concat({SmallImage(), Pattern(40, 8)});
       },
       1, FWL_OK, kSmallImage, BIN_CONTENTS_IMAGE},
      {"BadRecordChecksum_Refused",
       [] {
         return BinBuilder()
             .Header(0x40000, 0x1000)
             .RecordWithChecksum(0x40000, Pattern(64, 9), 1)
             .End()
             .Data();
       },
       1,
       FWL_ERR_CHECKSUM,
       {},
       0},
      {"BadRecordChecksumWithoutVerifying_NotNoticed",
       [] {
         return BinBuilder()
             .Header(0x40000, 0x1000)
             .RecordWithChecksum(0x40000, Pattern(64, 9), 1)
             .End()
             .Data();
       },
       0,
       FWL_OK,
       {REGION_OS_IMAGE, 0x40000, 0x1000, 64},
       BIN_CONTENTS_IMAGE},
      {"MissingEndRecord_Refused",
       [] { return BinBuilder().Header(0x40000, 0x1000).Record(0x40000, Pattern(8, 1)).Data(); },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"TruncatedRecordHeader_Refused",
       [] { return BinBuilder().Header(0x40000, 0x1000).Raw(Pattern(11, 1)).Data(); },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"TruncatedRecordData_Refused",
       [] {
         Bytes bytes = SmallImage();
         bytes.resize(bytes.size() - 30);
         return bytes;
       },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"TruncatedRecordDataWithoutVerifying_Refused",
       [] {
         Bytes bytes = SmallImage();
         bytes.resize(bytes.size() - 30);
         return bytes;
       },
       0,
       FWL_ERR_BAD_FILE,
       {},
       0},
      // Records outside the header's range, or beyond the flash: the update would write flash
      // that it never erased and that the user never confirmed.
      {"RecordBelowImageStart_Refused",
       [] {
         return BinBuilder().Header(0x40000, 0x1000).Record(0x3FFFC, Pattern(8, 1)).End().Data();
       },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"RecordPastImageEnd_Refused",
       [] {
         return BinBuilder().Header(0x40000, 0x1000).Record(0x40FFC, Pattern(8, 1)).End().Data();
       },
       0,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"RecordEndingAtImageEnd_Accepted",
       [] {
         return BinBuilder().Header(0x40000, 0x1000).Record(0x40FF8, Pattern(8, 1)).End().Data();
       },
       1,
       FWL_OK,
       {REGION_OS_IMAGE, 0x40000, 0x1000, 8},
       BIN_CONTENTS_IMAGE},
      {"RecordPastFlashEnd_Refused",
       [] {
         return BinBuilder().Header(0, 0x40000000).Record(0x3FFFFFF0, Pattern(8, 1)).End().Data();
       },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"StartOutsideEveryRange_Refused",
       [] { return BinBuilder().Header(0x50000000, 0).End().Data(); },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      // File system sections.
      {"FileSystemSectionAlone_Accepted",
       [] { return FsSection(TwoChunks()); },
       1,
       FWL_OK,
       {REGION_FILE_SYSTEM, kFsBase, kFsLength, 1024 + 512 + 24},
       BIN_CONTENTS_FILE_SYSTEM},
      {"FileSystemHeaderOf352_ReadWhole",
       [] { return FsSection(TwoChunks(), 352); },
       1,
       FWL_OK,
       {REGION_FILE_SYSTEM, kFsBase, kFsLength, 1024 + 512 + 24},
       BIN_CONTENTS_FILE_SYSTEM},
      {"FileSystemHeaderOf352WrongChecksum_Refused",
       [] {
         Bytes bytes = FsSection(TwoChunks(), 352);
         bytes[348] ^= 1;
         return bytes;
       },
       1,
       FWL_ERR_CHECKSUM,
       {},
       0},
      {"FileSystemEmptyPayload_Accepted",
       [] { return FsSection({}); },
       1,
       FWL_OK,
       {REGION_FILE_SYSTEM, kFsBase, kFsLength, 0},
       BIN_CONTENTS_FILE_SYSTEM},
      {"ImageAndFileSystem_RangesMerged",
       [] {
         return Concat({SmallImage(), FsSection({})});
       },
       1,
       FWL_OK,
       {REGION_OS_IMAGE | REGION_FILE_SYSTEM, 0x40000, kFsBase + kFsLength - 0x40000, 100},
       BIN_CONTENTS_IMAGE | BIN_CONTENTS_FILE_SYSTEM},
      // Every file system section is checked and reported, not only the first: the restore
      // writes each of them over its own flash range.
      {"SecondFileSystemSectionChunkChecksumWrong_Refused",
       [] {
         Bytes second = FsSection(TwoChunks());
         second[348 + 12 + 500] ^= 1;
         return Concat({FsSection(TwoChunks()), second});
       },
       1,
       FWL_ERR_CHECKSUM,
       {},
       BIN_CONTENTS_FILE_SYSTEM},
      // Below the first: the range reported is the union of both.
      {"SecondFileSystemSectionElsewhere_RangesMerged",
       [] {
         return Concat(
             {FsSection(TwoChunks()), FileSystemSection(3, TwoChunks(), 348, 0x80000, 0x100000)});
       },
       1,
       FWL_OK,
       {REGION_FILE_SYSTEM, 0x80000, kFsBase + kFsLength - 0x80000, 2 * (1024 + 512 + 24)},
       BIN_CONTENTS_FILE_SYSTEM},
      {"CpldAfterTwoFileSystemSections_Found",
       [] {
         return Concat(
             {FsSection(TwoChunks()), FsSection(TwoChunks()), Cpld(Pattern(kCpldData, 3))});
       },
       1,
       FWL_OK,
       {REGION_FILE_SYSTEM | REGION_CPLD_FIRMWARE, kFsBase, kFsLength, 2 * (1024 + 512 + 24)},
       BIN_CONTENTS_FILE_SYSTEM | BIN_CONTENTS_CPLD},
      {"FileSystemSectionPastTheFlashEnd_Refused",
       [] { return FileSystemSection(3, {}, 348, FlashSize - 0x1000, 0x2000); },
       0,
       FWL_ERR_BAD_FILE,
       {},
       0},
      // The restore knows kinds 2 and 3 only; it would refuse another after the store was
      // formatted.
      {"SecondFileSystemSectionOfUnknownKind_Refused",
       [] {
         return Concat(
             {FsSection(TwoChunks()), FileSystemSection(4, TwoChunks(), 348, kFsBase, kFsLength)});
       },
       0,
       FWL_ERR_FILE_VERSION,
       {},
       BIN_CONTENTS_FILE_SYSTEM},
      {"ForeignFileSystemFormat_Refused",
       [] { return WithHeaderWord(FsSection(TwoChunks()), 0, 0x46465348); },
       1,
       FWL_ERR_FILE_VERSION,
       {},
       0},
      {"FileSystemVersion2_Refused",
       [] { return FileSystemSection(3, TwoChunks(), 348, kFsBase, kFsLength, 2); },
       0,
       FWL_ERR_FILE_VERSION,
       {},
       0},
      {"FileSystemHeaderChecksumWrong_Refused",
       [] {
         Bytes bytes = FsSection(TwoChunks());
         bytes[40] ^= 0x80;
         return bytes;
       },
       1,
       FWL_ERR_CHECKSUM,
       {},
       0},
      {"FileSystemHeaderChecksumWrongWithoutVerifying_NotNoticed",
       [] {
         Bytes bytes = FsSection(TwoChunks());
         bytes[40] ^= 0x80;
         return bytes;
       },
       0,
       FWL_OK,
       {REGION_FILE_SYSTEM, kFsBase, kFsLength, 1024 + 512 + 24},
       BIN_CONTENTS_FILE_SYSTEM},
      {"FileSystemChunkChecksumWrong_Refused",
       [] {
         Bytes bytes = FsSection(TwoChunks());
         bytes[348 + 12 + 500] ^= 1;
         return bytes;
       },
       1,
       FWL_ERR_CHECKSUM,
       {},
       0},
      // A header shorter than the fixed fields, or longer than the work buffer it is read
      // into, would make the reader run past the buffer.
      {"FileSystemHeaderBelow348_Refused",
       [] { return WithHeaderWord(FsSection(TwoChunks(), 352), 8, 344); },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"FileSystemHeaderLargerThanWorkBuffer_Refused",
       [] { return WithHeaderWord(FsSection(TwoChunks(), 352), 8, 0x40000000); },
       0,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"FileSystemHeaderPastFileEnd_Refused",
       [] { return WithHeaderWord(FsSection({}, 352), 8, 400); },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      // The chunks must fill the payload exactly.
      {"ChunkRunsPastPayload_Refused",
       [] {
         const Bytes payload = TwoChunks();
         return Concat({WithHeaderWord(FsSection(payload), 24,
                                       static_cast<std::uint32_t>(payload.size() - 4)),
                        Pattern(64, 1)});
       },
       0,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"ChunkSwallowsTheCpldSection_Refused",
       [] {
         Bytes chunk = Chunk(0, Pattern(64, 2));
         PutWord(chunk, 4, 64 + 24 + kCpldData);  // byteCount reaches over the next section
         return Concat({FsSection(chunk), Cpld(Pattern(kCpldData, 3))});
       },
       0,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"PayloadLongerThanItsChunks_Refused",
       [] {
         const Bytes payload = Concat({Chunk(0, Pattern(64, 2)), Pattern(8, 3)});
         return FsSection(payload);
       },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"PayloadPastFileEnd_Refused",
       [] {
         Bytes bytes = FsSection(TwoChunks());
         bytes.resize(bytes.size() - 100);
         return bytes;
       },
       0,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"ImageThenBadFileSystem_KeepsTheImageBit",
       [] {
         return Concat({SmallImage(), WithHeaderWord(FsSection({}), 4, 9)});
       },
       1,
       FWL_ERR_FILE_VERSION,
       {},
       BIN_CONTENTS_IMAGE},
      // CPLD sections (this module has a CPLD).
      {"CpldSectionAlone_Accepted",
       [] { return Cpld(Pattern(kCpldData, 3)); },
       1,
       FWL_OK,
       {REGION_CPLD_FIRMWARE, kNoStart, 0, 0},
       BIN_CONTENTS_CPLD},
      {"CpldHeaderOf28_ChecksumIsItsLastWord",
       [] { return Cpld(Pattern(kCpldData, 3), 28); },
       1,
       FWL_OK,
       {REGION_CPLD_FIRMWARE, kNoStart, 0, 0},
       BIN_CONTENTS_CPLD},
      {"EverythingTogether_Accepted",
       [] {
         return Concat({SmallImage(), FsSection(TwoChunks()), Cpld(Pattern(kCpldData, 3))});
       },
       1,
       FWL_OK,
       {REGION_OS_IMAGE | REGION_FILE_SYSTEM | REGION_CPLD_FIRMWARE, 0x40000,
        kFsBase + kFsLength - 0x40000, 100 + 1024 + 512 + 24},
       BIN_CONTENTS_IMAGE | BIN_CONTENTS_FILE_SYSTEM | BIN_CONTENTS_CPLD},
      {"CpldVersion2_Refused",
       [] { return Cpld(Pattern(kCpldData, 3), 24, 2); },
       1,
       FWL_ERR_FILE_VERSION,
       {},
       0},
      {"CpldChecksumWrong_Refused",
       [] {
         Bytes bytes = Cpld(Pattern(kCpldData, 3));
         bytes[30] ^= 4;
         return bytes;
       },
       1,
       FWL_ERR_CHECKSUM,
       {},
       0},
      {"CpldChecksumWrongWithoutVerifying_NotNoticed",
       [] {
         Bytes bytes = Cpld(Pattern(kCpldData, 3));
         bytes[30] ^= 4;
         return bytes;
       },
       0,
       FWL_OK,
       {REGION_CPLD_FIRMWARE, kNoStart, 0, 0},
       BIN_CONTENTS_CPLD},
      {"CpldHeaderBelow24_Refused",
       [] { return Cpld(Pattern(kCpldData, 3), 20); },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"CpldHeaderLargerThanWorkBuffer_Refused",
       [] {
         Bytes bytes = Cpld(Pattern(kCpldData, 3));
         PutWord(bytes, 8, 0x10000000);
         return bytes;
       },
       0,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"CpldDataCutShort_Refused",
       [] {
         Bytes bytes = Cpld(Pattern(kCpldData, 3));
         bytes.resize(bytes.size() - 1);
         return bytes;
       },
       1,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"CpldDataCutShortWithoutVerifying_Refused",
       [] {
         Bytes bytes = Cpld(Pattern(kCpldData, 3));
         bytes.resize(bytes.size() - 1);
         return bytes;
       },
       0,
       FWL_ERR_BAD_FILE,
       {},
       0},
      {"ImageAndFileSystemThenBadCpld_KeepBothBits",
       [] {
         return Concat({SmallImage(), FsSection({}), Cpld(Pattern(kCpldData, 3), 24, 0)});
       },
       1,
       FWL_ERR_FILE_VERSION,
       {},
       BIN_CONTENTS_IMAGE | BIN_CONTENTS_FILE_SYSTEM},
  };
}

class BinFileFormat : public BinFileTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(BinFileFormat, StatusAndContents) {
  const FormatCase& format = GetParam();
  WriteFile(format.build());
  ImageInfo info{0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA};
  ASSERT_EQ(Open(format.verify, &info), format.status) << FwlStatusName(format.status);
  EXPECT_EQ(BinContents, format.binContents);
  if (format.status == FWL_OK) {
    EXPECT_EQ(info.types, format.info.types);
    EXPECT_EQ(info.start, format.info.start);
    EXPECT_EQ(info.length, format.info.length);
    EXPECT_EQ(info.dataBytes, format.info.dataBytes);
    if ((info.types & REGION_OS_IMAGE) != 0) {
      EXPECT_EQ(CurrentImageRange.start, format.info.start);
    }
  } else {
    // A refused file reports nothing.
    EXPECT_EQ(info.types, 0xAAAAAAAAu);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BinFileFormat, ::testing::ValuesIn(FormatCases()),
                         testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Image start addresses and the AddressOffset they give
// ---------------------------------------------------------------------------------------------
enum class Platform { kAnswers, kSilent };

struct StartCase {
  const char* name;
  Platform platform;
  DWORD start;
  FwlStatus status;
  DWORD flashStart;  // where the image's first byte goes
};

class StartAddress : public BinFileTest, public ::testing::WithParamInterface<StartCase> {
 protected:
  void Configure(sim::Json& config) override {
    if (GetParam().platform == Platform::kAnswers) {
      config["platformItems"]["5"] = kMovedOsLayout;
    } else {
      config["platformItems"].erase("5");
    }
  }
};

TEST_P(StartAddress, OffsetPlacesTheImage) {
  const StartCase& start = GetParam();
  // A record n bytes into the image lands at flash offset flashStart + n.
  constexpr DWORD kInside = 0x124;
  const Bytes data = Pattern(16, 1);
  WriteFile(
      BinBuilder().Header(start.start, 0x1000).Record(start.start + kInside, data).End().Data());
  ImageInfo info{};
  ASSERT_EQ(Open(1, &info), start.status);
  if (start.status != FWL_OK) {
    EXPECT_EQ(BinContents, 0u);
    return;
  }
  EXPECT_EQ(AddressOffset, start.flashStart - start.start);
  EXPECT_EQ(start.start + kInside + AddressOffset, start.flashStart + kInside);
  EXPECT_EQ(CurrentImageRange.start, start.flashStart);
  EXPECT_EQ(CurrentImageRange.length, 0x1000u);
  EXPECT_EQ(info.start, start.flashStart);
  EXPECT_EQ(info.types, REGION_OS_IMAGE);
}

std::vector<StartCase> StartCases() {
  std::vector<StartCase> cases;
  for (const Platform platform : {Platform::kAnswers, Platform::kSilent}) {
    const DWORD os = platform == Platform::kAnswers ? 0xC0000 : 0x80000;
    const std::vector<StartCase> some = {
        {"FlashOffsetZero", platform, 0x00000000, FWL_OK, 0},
        {"FlashOffsetBackup", platform, 0x00200000, FWL_OK, 0x00200000},
        {"VirtualCached", platform, 0x80000000, FWL_OK, os},
        {"VirtualCachedHighest", platform, 0x9C9FF000, FWL_OK, os},
        {"VirtualUncached", platform, 0xA0000000, FWL_OK, os},
        {"VirtualUncachedHighest", platform, 0xBC9FF000, FWL_OK, os},
        {"FlashWindow", platform, 0xBCA00000, FWL_OK, 0},
        {"FlashWindowHighest", platform, 0xBFFFE000, FWL_OK, 0},
        {"Just4C000000", platform, 0x4C000000, FWL_ERR_BAD_FILE, 0},
        {"Peripherals50000000", platform, 0x50000000, FWL_ERR_BAD_FILE, 0},
        {"Gap7FFFF000", platform, 0x7FFFF000, FWL_ERR_BAD_FILE, 0},
        {"Gap9CA00000", platform, 0x9CA00000, FWL_ERR_BAD_FILE, 0},
        {"Gap9FFFF000", platform, 0x9FFFF000, FWL_ERR_BAD_FILE, 0},
        {"EndBFFFFFFF", platform, 0xBFFFFFFF, FWL_ERR_BAD_FILE, 0},
        {"HighC0000000", platform, 0xC0000000, FWL_ERR_BAD_FILE, 0},
    };
    cases.insert(cases.end(), some.begin(), some.end());
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, StartAddress, ::testing::ValuesIn(StartCases()),
                         [](const auto& info) {
                           return std::string(info.param.name) +
                                  (info.param.platform == Platform::kAnswers ? "_PlatformAnswer"
                                                                             : "_NoPlatformAnswer");
                         });

// The platform's answer puts the OS image near the top of the address space: a record's flash
// offset would wrap around to the bottom of the flash, over the bootloader.
class WrappingOsOffset : public BinFileTest {
 protected:
  void Configure(sim::Json& config) override {
    config["platformItems"]["5"] = "00f0ffff0000400100000400000000000000000000000000";
  }
};

TEST_F(WrappingOsOffset, RecordThatWrapsIsRefused) {
  WriteFile(BinBuilder()
                .Header(0x80000000, 0x4000)
                .Record(0x80000000, Pattern(8, 1))
                .Record(0x80002000, Pattern(8, 2))
                .End()
                .Data());
  EXPECT_EQ(Open(1, nullptr), FWL_ERR_BAD_FILE);
}

// ---------------------------------------------------------------------------------------------
// The file system region's own range, the NOR module, entry errors
// ---------------------------------------------------------------------------------------------
TEST_F(BinFileTest, SectionWithoutRange_TakesTheFileSystemRegion) {
  const FlashRegion& region = RegionTable[FileSystemRegionIndex];
  ASSERT_NE(region.length, 0u);
  for (const DWORD memLen : {0u, 0xFFFFFFFFu}) {
    WriteFile(FileSystemSection(3, TwoChunks(), 348, 0xFFFFFFFF, memLen));
    ImageInfo info{};
    ASSERT_EQ(Open(1, &info), FWL_OK);
    EXPECT_EQ(info.start, region.start);
    EXPECT_EQ(info.length, region.length);
  }
}

class NorBinFile : public BinFileTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
};

TEST_F(NorBinFile, CpldSection_WalkedAndVerifiedButNotReported) {
  WriteFile(Concat({SmallImage(), Cpld(Pattern(64, 3))}));
  ImageInfo info{};
  ASSERT_EQ(Open(1, &info), FWL_OK);
  EXPECT_EQ(info.types, REGION_OS_IMAGE);
  EXPECT_EQ(BinContents, BIN_CONTENTS_IMAGE);
  // It is verified all the same.
  Bytes bad = Concat({SmallImage(), Cpld(Pattern(64, 3))});
  bad.back() ^= 1;
  WriteFile(bad);
  EXPECT_EQ(Open(1, &info), FWL_ERR_CHECKSUM);
}

TEST_F(BinFileTest, EntryErrors) {
  EXPECT_EQ(Open(1, nullptr), FWL_ERR_OPEN_FILE);  // no such file
  WriteFile(SmallImage());
  // The file is opened without sharing: a writer that holds it keeps the library out.
  const HANDLE writer =
      CreateFileW(kBinPath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(1, nullptr), FWL_ERR_OPEN_FILE);
  ASSERT_TRUE(CloseHandle(writer));
  EXPECT_EQ(Open(1, nullptr), FWL_OK);
  ResetLibraryStateForTesting();
  EXPECT_EQ(FWLSetBinFile(kBinPath, nullptr, nullptr, 1), FWL_ERR_NOT_INITIALIZED);
  EXPECT_EQ(BinFileHandle, INVALID_HANDLE_VALUE);
}

TEST_F(BinFileTest, ReadFailure_RefusedAndReleased) {
  WriteFile(Concat({SmallImage(), FsSection(TwoChunks())}));
  // Every read of the walk, the first ones that only look for a part included: a part that
  // cannot be read is not a part that is absent.
  for (int skip = 0; skip < 9; ++skip) {
    Machine().Faults().Clear();
    Machine().Faults().Add(faults::Call{.name = "ReadFile", .skip = skip, .count = 1});
    EXPECT_EQ(Open(1, nullptr), FWL_ERR_BAD_FILE) << "read " << skip;
  }
  Machine().Faults().Clear();
  EXPECT_EQ(Open(1, nullptr), FWL_OK);
}

// The work buffer is halved until the heap gives it; whatever its size, headers and data that
// must fit in it are refused when they do not, and data are read in pieces that do.
class SmallHeap : public BinFileTest {
 protected:
  void Configure(sim::Json& config) override {
    config["faults"]["items"].push_back(faults::Heap{.limit = 48 * 1024});
  }
};

TEST_F(SmallHeap, PiecesFitTheBuffer_LargerHeadersAndCpldDataRefused) {
  const Bytes big = Pattern(100000, 1);
  WriteFile(Concat({BinBuilder().Header(0, 0x20000).Record(0, big).End().Data(),
                    FsSection(Chunk(0, Pattern(70000, 2)))}));
  ImageInfo info{};
  ASSERT_EQ(Open(1, &info), FWL_OK);
  EXPECT_EQ(WorkBufferSize, 32u * 1024);
  EXPECT_EQ(info.dataBytes, 100000u + 70012u);
  WriteFile(FsSection({}, 33 * 1024));
  EXPECT_EQ(Open(1, nullptr), FWL_ERR_BAD_FILE);
  WriteFile(Cpld(Pattern(33 * 1024, 3)));
  EXPECT_EQ(Open(1, nullptr), FWL_ERR_NO_MEMORY);
  EXPECT_EQ(Open(0, nullptr), FWL_OK);  // without verifying the data are not read
}

TEST_F(BinFileTest, NoHeapForTheWorkBuffer_NoMemory) {
  WriteFile(SmallImage());
  Machine().Faults().Add(faults::Call{.name = "LocalAlloc", .count = -1});
  EXPECT_EQ(Open(1, nullptr), FWL_ERR_NO_MEMORY);
}

// ---------------------------------------------------------------------------------------------
// Progress reports and aborts
// ---------------------------------------------------------------------------------------------
std::vector<std::pair<DWORD, DWORD>> reports;
int stopAtReport = -1;  // index of the report that answers 0; -1: never

int RecordProgress(DWORD done, DWORD total) {
  reports.emplace_back(done, total);
  return static_cast<int>(reports.size()) - 1 == stopAtReport ? 0 : 1;
}

Bytes ProgressFile() {
  return Concat({BinBuilder()
                     .Header(0x40000, 0x1000)
                     .Record(0x40000, Pattern(100, 1))
                     .Record(0x40200, Pattern(20, 2))
                     .End()
                     .Data(),
                 FsSection(TwoChunks()), Cpld(Pattern(64, 3))});
}

TEST_F(BinFileTest, Progress_ReportsBytesConsumedAndCpldWithTotalZero) {
  const Bytes file = ProgressFile();
  const auto size = static_cast<DWORD>(file.size());
  WriteFile(file);
  reports.clear();
  stopAtReport = -1;
  ASSERT_EQ(Open(1, nullptr, RecordProgress), FWL_OK);
  const DWORD image = 15 + 12 + 100 + 12 + 20 + 12;
  const DWORD fs = image + 348 + 12 + 1024 + 12 + 512;
  const std::vector<std::pair<DWORD, DWORD>> expected = {
      {0, size},     {15, size},          {15 + 12 + 100, size},           {15 + 24 + 120, size},
      {image, size}, {image + 348, size}, {image + 348 + 12 + 1024, size}, {fs, size},
      {fs + 24, 0},  {fs + 24 + 64, 0}};
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(ValidateProgressFn, &RecordProgress);
  // Without verifying: one report per record and one for the whole payload.
  reports.clear();
  ASSERT_EQ(Open(0, nullptr, RecordProgress), FWL_OK);
  const std::vector<std::pair<DWORD, DWORD>> walked = {
      {0, size},           {15, size}, {15 + 12 + 100, size}, {15 + 24 + 120, size}, {image, size},
      {image + 348, size}, {fs, size}, {fs + 24, 0}};
  EXPECT_EQ(reports, walked);
}

TEST_F(BinFileTest, ProgressAnsweringZero_AbortsAtEveryReport) {
  WriteFile(ProgressFile());
  reports.clear();
  stopAtReport = -1;
  ASSERT_EQ(Open(1, nullptr, RecordProgress), FWL_OK);
  const std::size_t count = reports.size();
  ASSERT_GT(count, 5u);
  for (std::size_t stop = 0; stop < count; ++stop) {
    reports.clear();
    stopAtReport = static_cast<int>(stop);
    EXPECT_EQ(Open(1, nullptr, RecordProgress), FWL_ERR_ABORTED) << "report " << stop;
    EXPECT_EQ(reports.size(), stop + 1);  // nothing is reported after the answer
  }
  stopAtReport = -1;
}

}  // namespace
