// Version records of the bootloader in flash and of the running image, with their build dates.
#include "library/version_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/base/utf.h"
#include "sim/module/preset_content.h"
#include "tests/support/startup_fixture.h"
#include "tests/support/test_names.h"

namespace {

using startup_test::EraseFlash;
using startup_test::PutWord;
using startup_test::StartupTest;
using startup_test::WriteFlash;

// 13 Mar 2009 10:05:09 UTC, the build time of the presets' images.
constexpr std::uint64_t kPresetBuilt = 128814123090000000ull;
constexpr const char* kPresetDate = "13 Mar 2009 10:05:09 (GMT)";
constexpr const char* kBannerDate = "01 Mar 2009 00:00:00 (GMT)";
constexpr const char* kUnknownDate = "Unknown Date";
constexpr const char* kBanner = "Microsoft Windows CE Ethernet Bootloader ";

struct Version {
  VersionInfo info{};
  std::string date;
};

Version Bootloader() {
  Version version;
  WCHAR date[kDateTextUnits] = {};
  ReadBootloaderVersion(&version.info, date);
  version.date = sim::ToUtf8(date);
  return version;
}

Version Image(VersionInfo start = {}) {
  Version version;
  version.info = start;
  WCHAR date[kDateTextUnits] = {};
  ReadImageVersion(&version.info, date);
  version.date = sim::ToUtf8(date);
  return version;
}

void ExpectVersion(const Version& actual, DWORD id, DWORD major, DWORD minorAndBuild,
                   const std::string& date) {
  EXPECT_EQ(actual.info.id, id);
  EXPECT_EQ(actual.info.major, major);
  EXPECT_EQ(actual.info.minorAndBuild, minorAndBuild);
  EXPECT_EQ(actual.date, date);
}

std::vector<std::uint8_t> Record(DWORD id, DWORD major, DWORD minorAndBuild) {
  std::vector<std::uint8_t> record(20);
  PutWord(record, 0, 0x01234567);
  PutWord(record, 4, id);
  PutWord(record, 8, major);
  PutWord(record, 12, minorAndBuild);
  PutWord(record, 16, 0x89ABCDEF);
  return record;
}

std::vector<std::uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

// A bootloader image without a record or banner of its own.
std::vector<std::uint8_t> BareBootloader() {
  return sim::BuildRomImage(0x80000000, 0x20000, kPresetBuilt, 21);
}

// ---------------------------------------------------------------------------------------------
// The presets
// ---------------------------------------------------------------------------------------------
struct PresetCase {
  const char* preset;
  DWORD minorAndBuild;
  const char* date;
};

class PresetVersions : public StartupTest, public ::testing::WithParamInterface<PresetCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
};

TEST_P(PresetVersions, Bootloader_ShowsItsVersionAndBuildDate) {
  ExpectVersion(Bootloader(), 1, 1, GetParam().minorAndBuild, GetParam().date);
}

TEST_P(PresetVersions, RunningImage_ShowsThePlatformsRecordAndTheRomFileDate) {
  ExpectVersion(Image(), 1, 2, 31, kPresetDate);
}

// pxa300 carries the text banner in place of a record; pxa270-64m has its bootloader at 0x8000.
const PresetCase kPresetCases[] = {
    {"pxa320", 4, kPresetDate}, {"pxa300", 4, kBannerDate}, {"pxa270-64m", 4, kPresetDate}};

INSTANTIATE_TEST_SUITE_P(Presets, PresetVersions, ::testing::ValuesIn(kPresetCases),
                         [](const ::testing::TestParamInfo<PresetCase>& info) {
                           return testing_support::ParamName(info.param.preset);
                         });

// ---------------------------------------------------------------------------------------------
// Bootloader content (a NOR module: the bootloader's blocks are plain flash)
// ---------------------------------------------------------------------------------------------
struct BootloaderCase {
  const char* name;
  bool romImage;  // a ROM image (built 13 Mar 2009) at 0
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> writes;
  DWORD id;
  DWORD major;
  DWORD minorAndBuild;
  const char* date;
};

std::vector<BootloaderCase> BootloaderCases() {
  std::vector<std::uint8_t> loneMagic(4);
  PutWord(loneMagic, 0, 0x01234567);
  // The last 16 bytes of this banner's copy end at 0x28000, the end of the searched 128 KiB;
  // the version text that follows lies beyond it.
  const std::uint32_t bannerAtEnd = 0x28000 - static_cast<std::uint32_t>(std::strlen(kBanner));
  return {
      {"RecordInTheLastWordBelow0x40000", true, {{0x3FFFC, Record(1, 3, 7)}}, 1, 3, 7, kPresetDate},
      {"FirstMagicWithoutSecond_Skipped",
       true,
       {{0x200, loneMagic}, {0x204, Record(1, 2, 0x00050001)}},
       1,
       2,
       0x00050001,
       kPresetDate},
      {"LowestRecordWins",
       true,
       {{0x1000, Record(1, 5, 5)}, {0x300, Record(1, 6, 6)}},
       1,
       6,
       6,
       kPresetDate},
      {"RecordWithoutRomImage", false, {{0x100, Record(1, 1, 9)}}, 1, 1, 9, kUnknownDate},
      {"RecordOfAnotherFamily", true, {{0x100, Record(4, 1, 2)}}, 4, 1, 2, kPresetDate},
      {"BannerDate",
       false,
       {{0x9000, Text(std::string(kBanner) + "2.10 for Velmora Kestrin Built Dec 31 2010\r\n")}},
       1,
       2,
       10,
       "31 Dec 2010 00:00:00 (GMT)"},
      {"BannerWithMarchFirst",
       false,
       {{0x9000, Text(std::string(kBanner) + "1.4 for Velmora Kestrin Built Mar  1 2009\r\n")}},
       1,
       1,
       4,
       kBannerDate},
      {"BannerMonthOutsideTheTable",
       false,
       {{0x9000, Text(std::string(kBanner) + "1.4 for Velmora Kestrin Built Mrz  1 2009\r\n")}},
       1,
       1,
       4,
       kUnknownDate},
      {"BannerWithoutFields",
       false,
       {{0x9000, Text(std::string(kBanner) + "for everyone\r\n")}},
       1,
       0,
       0,
       kUnknownDate},
      {"BannerAtTheEndOfTheSearch",
       false,
       {{bannerAtEnd,
         Text(std::string(kBanner) + "1.4 for Velmora Kestrin Built Mar  1 2009\r\n")}},
       1,
       0,
       0,
       kUnknownDate},
      {"NeitherRecordNorBanner", true, {}, 0, 0, 0, kUnknownDate},
  };
}

class BootloaderVersion : public StartupTest, public ::testing::WithParamInterface<BootloaderCase> {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
};

TEST_P(BootloaderVersion, ReadsRecordBannerAndDate) {
  const BootloaderCase& c = GetParam();
  EraseFlash(0, 0x40000);
  if (c.romImage) {
    WriteFlash(0, BareBootloader());
  }
  for (const auto& [offset, bytes] : c.writes) {
    WriteFlash(offset, bytes);
  }
  ExpectVersion(Bootloader(), c.id, c.major, c.minorAndBuild, c.date);
}

INSTANTIATE_TEST_SUITE_P(Cases, BootloaderVersion, ::testing::ValuesIn(BootloaderCases()),
                         testing_support::CaseName());

class NorVersions : public StartupTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
};

TEST_F(NorVersions, RecordWithRomImageAt0x8000_TakesThatImagesDate) {
  EraseFlash(0, 0x40000);
  // Built 31 Dec 2010 23:59:58 UTC.
  WriteFlash(0x8000, sim::BuildRomImage(0x80000000, 0x20000, 129383135980000000ull, 4));
  WriteFlash(0x100, Record(1, 1, 4));
  ExpectVersion(Bootloader(), 1, 1, 4, "31 Dec 2010 23:59:58 (GMT)");
}

// ---------------------------------------------------------------------------------------------
// ROM images and month names
// ---------------------------------------------------------------------------------------------
TEST_F(NorVersions, StoredImageLength_ReadsRomAndCompressedHeaders) {
  EraseFlash(0, 0x40000);
  EXPECT_EQ(StoredImageLength(0), 0u);
  WriteFlash(0, sim::BuildRomImage(0x80000000, 0x1001, kPresetBuilt, 1));
  EXPECT_EQ(StoredImageLength(0), 0x1001u);
  ROMHDR header{};
  DWORD headerOffset = 0;
  ASSERT_EQ(CheckRomHeader(0, &header, &headerOffset), 1);
  EXPECT_EQ(header.physfirst, 0x80000000u);
  EXPECT_EQ(header.physlast, 0x80001001u);
  EXPECT_EQ(headerOffset % 4, 0u);

  // A header address that does not agree with its offset is no image.
  std::vector<std::uint8_t> words(12);
  PutWord(words, 0, 0x43454345);
  PutWord(words, 4, 0x80000000 + headerOffset + 4);
  PutWord(words, 8, headerOffset);
  WriteFlash(0x40, words);
  EXPECT_EQ(CheckRomHeader(0, &header, nullptr), 0);
  EXPECT_EQ(StoredImageLength(0), 0u);

  std::vector<std::uint8_t> compressed(20, 0);
  PutWord(compressed, 0, 0x504D4F43);
  PutWord(compressed, 8, 0x777);
  WriteFlash(0x10000, compressed);
  EXPECT_EQ(StoredImageLength(0x10000), 0x777u + 20u);
  // Beyond the flash nothing is found.
  EXPECT_EQ(StoredImageLength(0xFFFFFFF0u), 0u);
}

TEST(MonthNames, OnlyTheTablesSpellingsCount) {
  const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(MonthFromName(months[i]), i + 1) << months[i];
  }
  for (const char* other : {"", "mar", "MAR", "March", "Ma", "Mrz"}) {
    EXPECT_EQ(MonthFromName(other), 0) << other;
  }
}

// ---------------------------------------------------------------------------------------------
// The running image
// ---------------------------------------------------------------------------------------------
class ImageVersion : public StartupTest {
 protected:
  static void CreateRomFile(const char16_t* path, std::uint64_t created) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const FILETIME time{static_cast<DWORD>(created), static_cast<DWORD>(created >> 32)};
    EXPECT_TRUE(SetFileTime(file, &time, &time, &time));
    (void)CloseHandle(file);
  }
};

TEST_F(ImageVersion, NoRomFile_GivesUnknownDateButTheRecord) {
  ASSERT_TRUE(DeleteFileW(u"\\Windows\\wince.nls"));
  ExpectVersion(Image(), 1, 2, 31, kUnknownDate);
}

TEST_F(ImageVersion, LaterRomFile_GivesItsDateWhenTheFirstIsMissing) {
  ASSERT_TRUE(DeleteFileW(u"\\Windows\\wince.nls"));
  CreateRomFile(u"\\Windows\\initobj.dat", 128803392000000000ull);  // 1 Mar 2009
  CreateRomFile(u"\\Windows\\default.hv", 129383135980000000ull);   // 31 Dec 2010
  ExpectVersion(Image(), 1, 2, 31, "31 Dec 2010 23:59:58 (GMT)");
}

TEST_F(ImageVersion, PlatformWithoutRecord_LeavesTheCallersRecord) {
  Machine().Config()["imageVersion"] = nullptr;  // an image without the version control
  ExpectVersion(Image({7, 8, 9}), 7, 8, 9, kPresetDate);
}

TEST_F(ImageVersion, BetaBuild_TravelsInTheHighHalf) {
  Machine().Config()["imageVersion"] = {{"id", 1}, {"major", 3}, {"minor", 2}, {"beta", 5}};
  ExpectVersion(Image(), 1, 3, 0x00050002, kPresetDate);
}

}  // namespace
