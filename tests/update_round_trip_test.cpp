// Back up, erase, update from the backup: the module comes back byte for byte, with its files,
// its region table and its versions. On every preset and NAND chip, for all regions, each
// region alone and each pair of neighbours.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/sample_content.h"
#include "sim/module/preset_content.h"
#include "tests/update_test_support.h"

namespace {

using update_test::Bytes;

struct Selection {
  const char* name;
  DWORD kinds;
};
constexpr Selection kSelections[] = {
    {"All", REGION_BOOTLOADER | REGION_CONFIG_BLOCK | REGION_OS_IMAGE | REGION_REGISTRY |
                REGION_FILE_SYSTEM},
    {"Bootloader", REGION_BOOTLOADER},
    {"ConfigBlock", REGION_CONFIG_BLOCK},
    {"OsImage", REGION_OS_IMAGE},
    {"Registry", REGION_REGISTRY},
    {"FileSystem", REGION_FILE_SYSTEM},
    {"BootloaderConfigBlock", REGION_BOOTLOADER | REGION_CONFIG_BLOCK},
    {"ConfigBlockOsImage", REGION_CONFIG_BLOCK | REGION_OS_IMAGE},
    {"OsImageRegistry", REGION_OS_IMAGE | REGION_REGISTRY},
    {"RegistryFileSystem", REGION_REGISTRY | REGION_FILE_SYSTEM},
};

// The module cases with the selections they run: every selection on each preset with its own
// chip; all regions at once on the other NAND chips, whose larger file system regions take
// minutes to erase and restore on the host.
struct RoundTripCase {
  update_test::ModuleCase module;
  bool allSelections;
};

class RoundTrip : public update_test::LibraryTest,
                  public ::testing::WithParamInterface<RoundTripCase> {
 protected:
  std::string Preset() const override { return GetParam().module.preset; }
  std::uint32_t NandChip() const override { return GetParam().module.nandChip; }
  template <typename Map>
  static std::string Names(const Map& files) {
    std::string text;
    for (const auto& [name, content] : files) {
      for (char16_t c : name) {
        text += static_cast<char>(c);
      }
      text += "(" + std::to_string(content.size()) + ") ";
    }
    return text;
  }
  // What a round trip must bring back: every region's used bytes (the registry whole).
  std::vector<Bytes> Contents() {
    std::vector<Bytes> contents;
    for (const FlashRegion& region : Table()) {
      if ((region.flags & REGION_NOT_PRESENT) != 0 ||
          (region.flags & REGION_ALL_TYPES) == REGION_FILE_SYSTEM) {
        contents.emplace_back();
        continue;
      }
      const bool registry = (region.flags & REGION_ALL_TYPES) == REGION_REGISTRY;
      contents.push_back(Flash(region.start, registry ? region.length : region.used));
    }
    return contents;
  }
};

TEST_P(RoundTrip, BackupEraseUpdate_RestoresTheModule) {
  ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
  const std::vector<FlashRegion> table = Table();
  ASSERT_EQ(table.size(), 5u);
  for (const FlashRegion& region : table) {
    ASSERT_EQ(region.flags & REGION_NOT_PRESENT, 0u) << std::hex << region.flags;
  }
  const std::vector<Bytes> contents = Contents();
  const auto files = Files(u"\\Flash Disk");
  ASSERT_FALSE(files.empty());
  const std::string versions = Versions();

  for (const Selection& selection : kSelections) {
    if (!GetParam().allSelections && selection.kinds != kSelections[0].kinds) {
      continue;
    }
    SCOPED_TRACE(selection.name);
    const std::u16string path = ModulePath("round-trip.bin");
    ASSERT_EQ(Backup(path, selection.kinds), FWL_OK);
    ASSERT_EQ(FWLEraseRegions(selection.kinds, nullptr), FWL_OK);
    ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
    if ((selection.kinds & REGION_OS_IMAGE) != 0) {
      EXPECT_NE(Region(REGION_OS_IMAGE).flags & REGION_NOT_PRESENT, 0u) << "erase left the image";
    }
    ASSERT_EQ(Update(path), FWL_OK);
    // The workflow ends with a reset of the module; the OS then finds its files again.
    PowerCycle();
    ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
    const std::vector<FlashRegion> after = Table();
    ASSERT_EQ(after.size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
      EXPECT_EQ(after[i].flags, table[i].flags) << i;
      EXPECT_EQ(after[i].start, table[i].start) << i;
      EXPECT_EQ(after[i].length, table[i].length) << i;
      EXPECT_EQ(after[i].used, table[i].used) << i;
    }
    const std::vector<Bytes> now = Contents();
    for (std::size_t i = 0; i < contents.size(); ++i) {
      EXPECT_TRUE(now[i] == contents[i]) << "region " << i << " differs";
    }
    const auto nowFiles = Files(u"\\Flash Disk");
    EXPECT_TRUE(nowFiles == files) << "files differ: " << Names(nowFiles) << " / " << Names(files);
    EXPECT_EQ(Versions(), versions);
  }
}

INSTANTIATE_TEST_SUITE_P(Modules, RoundTrip,
                         ::testing::Values(RoundTripCase{{"pxa270-32m", 0}, true},
                                           RoundTripCase{{"pxa270-64m", 0}, true},
                                           RoundTripCase{{"pxa320", 0}, true},
                                           RoundTripCase{{"pxa300", 0}, true},
                                           RoundTripCase{{"pxa310", 0}, true},
                                           RoundTripCase{{"pxa320", 0xDAEC}, false},
                                           RoundTripCase{{"pxa320", 0xDCEC}, false},
                                           RoundTripCase{{"pxa320", 0xD3EC}, false},
                                           RoundTripCase{{"pxa320", 0xDCAD}, false}),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) {
                           return update_test::ModuleCaseName(info.param.module) +
                                  (info.param.allSelections ? "" : "_AllRegionsAtOnce");
                         });

}  // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// An OS image as a linker writes it
// ---------------------------------------------------------------------------------------------
class OsImageUpdate : public update_test::EveryModuleTest {};

TEST_P(OsImageUpdate, LinkedAtItsVirtualAddress_LandsInTheOsRegionAlone) {
  constexpr std::uint32_t kBase = 0x80000000;
  constexpr std::uint32_t kLength = 0x180000;
  const Bytes image = sim::BuildRomImage(kBase, kLength, 0x01C9A0B0C0D0E0F0ull, 31);
  // The start, the body in 64 KiB records, then the signature and table-of-contents pointer at
  // +0x40, which the linker knows only at the end.
  sample_content::BinBuilder builder;
  builder.Header(kBase, kLength).Record(kBase, Bytes(image.begin(), image.begin() + 0x40));
  for (std::uint32_t at = 0x48; at < kLength;) {
    const std::uint32_t end = std::min<std::uint32_t>((at & ~0xFFFFu) + 0x10000, kLength);
    builder.Record(kBase + at, Bytes(image.begin() + at, image.begin() + end));
    at = end;
  }
  builder.Record(kBase + 0x40, Bytes(image.begin() + 0x40, image.begin() + 0x48)).End(kBase);
  builder.WriteTo(HostPath("nk.bin"));
  const FlashRegion os = Region(REGION_OS_IMAGE);
  const Bytes bootAndConfig = Flash(0, os.start);
  const Bytes registry = Flash(Region(REGION_REGISTRY).start, Region(REGION_REGISTRY).length);

  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(ModulePath("nk.bin").c_str(), &info, nullptr, 1), FWL_OK);
  EXPECT_EQ(info.start, os.start);
  ASSERT_EQ(FWLDoUpdate(nullptr, nullptr, nullptr), FWL_OK);
  (void)FWLCloseBinFile();

  EXPECT_TRUE(Flash(os.start, kLength) == image);
  EXPECT_TRUE(Flash(0, os.start) == bootAndConfig) << "bootloader or config block changed";
  EXPECT_TRUE(Flash(Region(REGION_REGISTRY).start, Region(REGION_REGISTRY).length) == registry);
  ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
  EXPECT_EQ(Region(REGION_OS_IMAGE).flags & REGION_NOT_PRESENT, 0u);
  EXPECT_EQ(Region(REGION_OS_IMAGE).start, os.start);
}

INSTANTIATE_TEST_SUITE_P(Modules, OsImageUpdate, ::testing::ValuesIn(update_test::kEveryModule),
                         [](const ::testing::TestParamInfo<update_test::ModuleCase>& info) {
                           return update_test::ModuleCaseName(info.param);
                         });

}  // namespace
