// Bin files with more than one file system section, through FWLSetBinFile and FWLDoUpdate as
// the update workflow calls them: every section is checked before anything changes, its flash
// range is part of what the user confirms, and the CPLD section after the last one is found. A
// refused file leaves the flash, the store and the file system driver as they were.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "host/sample_content.h"
#include "sim/hw/cpld_model.h"
#include "tests/support/file_system_fixture.h"
#include "tests/support/test_pattern.h"
#include "tests/support/xsvf_test_stream.h"
#include "tests/update_test_support.h"

namespace {

using sample_content::BinBuilder;
using testing_support::Pattern;
using update_test::Bytes;
using update_test::LibraryTest;

constexpr std::uint32_t kNewUserCode = 0x00020003;

void PutWord(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// Rewrites a word of a section's 348-byte header and seals the header again.
Bytes WithHeaderWord(Bytes section, std::size_t at, std::uint32_t value) {
  PutWord(section, at, value);
  PutWord(section, 344, sample_content::Fletcher32(Bytes(section.begin(), section.begin() + 344)));
  return section;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// FNV-1a of a host file: the module's flash image and spare areas.
std::uint64_t Digest(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  std::uint64_t hash = 0xcbf29ce484222325ull;
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<std::uint8_t>(buffer[static_cast<std::size_t>(i)])) *
             0x100000001b3ull;
    }
  }
  return hash;
}

// Two sector sections of this module's flash disk, taken one after the other with a file
// written in between, and what the store held when the second was taken.
struct Sections {
  Bytes first;
  Bytes second;
  testing_support::StoreImage secondStore;
  DWORD osStart = 0;
};

struct SectionCase {
  const char* name;
  Bytes (*build)(const Sections& sections);
  FwlStatus open;  // what FWLSetBinFile answers
  // On success: the region kinds that the file's range covers (what the user confirms), and
  // whether the update is run.
  DWORD covered;
  bool update;
};

class MultiSectionFiles : public LibraryTest, public ::testing::WithParamInterface<SectionCase> {
 protected:
  std::string Preset() const override { return "pxa320"; }

  Sections TakeSections() {
    Sections sections;
    EXPECT_EQ(Backup(ModulePath("first.bin"), REGION_FILE_SYSTEM), FWL_OK);
    EXPECT_TRUE(testing_support::WriteModuleFile(u"\\Flash Disk\\second.bin", Pattern(70000, 31)));
    EXPECT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
    EXPECT_EQ(Backup(ModulePath("second.bin"), REGION_FILE_SYSTEM), FWL_OK);
    sections.secondStore = testing_support::ReadStore(FileSystemStoreName);
    sections.first = ReadHostFile(HostPath("first.bin"));
    sections.second = ReadHostFile(HostPath("second.bin"));
    sections.osStart = Region(REGION_OS_IMAGE).start;
    return sections;
  }
  std::uint64_t FlashDigest() {
    return Digest(ModuleDirectory() / "flash.img") ^ (Digest(ModuleDirectory() / "nand.oob") * 3);
  }
};

TEST_P(MultiSectionFiles, AreCheckedWholeBeforeAnythingChanges) {
  const SectionCase& c = GetParam();
  const Sections sections = TakeSections();
  ASSERT_FALSE(HasFailure());
  BinBuilder().Raw(c.build(sections)).WriteTo(HostPath("sections.bin"));
  const auto files = Files(u"\\Flash Disk");
  const testing_support::StoreImage store = testing_support::ReadStore(FileSystemStoreName);
  const std::uint64_t flash = FlashDigest();
  Machine().Calls().Enable(true);

  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(ModulePath("sections.bin").c_str(), &info, nullptr, 1), c.open)
      << FwlStatusName(c.open);
  if (c.open != FWL_OK) {
    // Nothing to update: the file was closed, the flash and the driver were not touched.
    EXPECT_EQ(FWLDoUpdate(nullptr, nullptr, nullptr), FWL_ERR_OPEN_FILE);
    Machine().Calls().Enable(false);
    for (const char* call : {"DeactivateDevice", "AdvertiseInterface", "ActivateDeviceEx",
                             "DismountStore", "FormatStore"}) {
      EXPECT_TRUE(Machine().Calls().Entries(call).empty()) << call;
    }
    EXPECT_EQ(FlashDigest(), flash);
    EXPECT_TRUE(Files(u"\\Flash Disk") == files) << "the OS driver no longer serves the disk";
    EXPECT_EQ(testing_support::ReadStore(FileSystemStoreName).data, store.data);
    return;
  }
  DWORD covered = REGION_ALL_TYPES;
  (void)FWLGetRegionsInRange(&covered, info.start, info.length);
  EXPECT_EQ(covered & REGION_ALL_TYPES, c.covered);
  if (!c.update) {
    (void)FWLCloseBinFile();
    return;
  }
  ASSERT_EQ(FWLDoUpdate(nullptr, nullptr, nullptr), FWL_OK);
  (void)FWLCloseBinFile();
  Machine().Calls().Enable(false);
  // Each section got its own driver instance and format; the last one had the last word.
  EXPECT_EQ(Machine().Calls().Entries("ActivateDeviceEx").size(), 2u);
  EXPECT_EQ(Machine().Calls().Entries("FormatStore").size(), 2u);
  const testing_support::StoreImage after = testing_support::ReadStore(FileSystemStoreName);
  EXPECT_EQ(after.inUse, sections.secondStore.inUse);
  EXPECT_TRUE(after.data == sections.secondStore.data) << "sector contents differ";
  DWORD userCode = 0;
  ASSERT_EQ(CpldOpen(), kCpldOk);
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  (void)CpldClose();
  EXPECT_EQ(userCode, kNewUserCode) << "the CPLD section after the sections was not programmed";
}

Bytes UserCodeSection() {
  return BinBuilder()
      .Cpld(sample_content::ProgramStream(
          {{sim::kCpldUserCodeRow, sample_content::UserCodeRow(kNewUserCode)}},
          sample_content::ProgramOptions{}))
      .Data();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MultiSectionFiles,
    ::testing::Values(
        SectionCase{"SecondSectionWithABadChecksum",
                    [](const Sections& s) {
                      Bytes second = s.second;
                      second[348 + 12 + 100] ^= 0x10;  // a byte of the first run
                      return Concat({s.first, second});
                    },
                    FWL_ERR_CHECKSUM, 0, false},
        SectionCase{"SecondSectionOfAnUnknownKind",
                    [](const Sections& s) {
                      return Concat({s.first, WithHeaderWord(s.second, 12, 4)});
                    },
                    FWL_ERR_FILE_VERSION, 0, false},
        // Its store would be formatted over the OS image: the user is shown that region too.
        SectionCase{"SecondSectionOverTheOsImage",
                    [](const Sections& s) {
                      return Concat(
                          {s.first,
                           WithHeaderWord(WithHeaderWord(s.second, 16, s.osStart), 20, 0x100000)});
                    },
                    FWL_OK, REGION_OS_IMAGE | REGION_REGISTRY | REGION_FILE_SYSTEM, false},
        SectionCase{"CpldSectionAfterTwoSections",
                    [](const Sections& s) {
                      return Concat({s.first, s.second, UserCodeSection()});
                    },
                    FWL_OK, REGION_FILE_SYSTEM, true}),
    [](const ::testing::TestParamInfo<SectionCase>& info) { return info.param.name; });

}  // namespace
