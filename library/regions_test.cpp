// The flash region table: what the scan finds on every preset, and how it reads each region's
// content, the OS flash driver's registry key and the storage manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "sim/base/files.h"
#include "sim/base/utf.h"
#include "sim/module/preset_content.h"
#include "sim/os/registry.h"
#include "sim/os/registry_store.h"
#include "tests/support/faults.h"
#include "tests/support/startup_fixture.h"
#include "tests/support/test_names.h"

namespace {

using startup_test::EraseFlash;
using startup_test::ModuleCase;
using startup_test::PutWord;
using startup_test::StartupTest;
using startup_test::WriteFlash;

constexpr const char* kBuiltInKey = "HKLM\\Drivers\\BuiltIn\\StrataFMD";
constexpr const char* kBlockDeviceKey = "HKLM\\Drivers\\BlockDevice\\StrataFMD";
constexpr const char* kProfilesKey = "HKLM\\System\\StorageManager\\Profiles\\";

// The flash driver key that the module's OS loads its driver from.
std::string DriverKey() {
  std::uint32_t value = 0;
  return sim::RegistryGetDword(kBuiltInKey, "MemBase", &value) ? kBuiltInKey : kBlockDeviceKey;
}

std::uint32_t DriverValue(const char* name) {
  std::uint32_t value = 0;
  EXPECT_TRUE(sim::RegistryGetDword(DriverKey(), name, &value)) << name;
  return value;
}

std::uint32_t LayoutValue(sim::Machine& machine, const char* name) {
  return machine.Config()["layout"][name].get<std::uint32_t>();
}

// Bytes of the file system region that hold data: whole sectors that are not erased, counted
// from the flash itself.
std::uint32_t SectorsWithData(std::uint32_t start, std::uint32_t length, std::uint32_t sector) {
  sim::OsFlash* flash = sim::CurrentOsFlash();
  constexpr std::uint32_t kChunk = 1u << 20;
  std::vector<std::uint8_t> bytes(kChunk);
  std::uint32_t inUse = 0;
  for (std::uint32_t at = 0; at < length; at += kChunk) {
    const std::uint32_t take = std::min(kChunk, length - at);
    EXPECT_TRUE(flash->Read(start + at, bytes.data(), take));
    for (std::uint32_t s = 0; s + sector <= take; s += sector) {
      inUse += startup_test::AllErased(bytes.data() + s, sector) ? 0 : 1;
    }
  }
  return inUse * sector;
}

// The bytes the registry stored in flash takes from the region's start: the copy of what
// registry.reg shows.
std::uint32_t StoredRegistryUsed(sim::Machine& machine) {
  std::string text;
  EXPECT_TRUE(sim::ReadWholeFile(machine.Directory() / "registry.reg", &text));
  return static_cast<std::uint32_t>(sim::StoredRegistryBytes(text).size());
}

// The table that the module's layout implies, in flash order.
std::vector<FlashRegion> ExpectedTable(sim::Machine& machine) {
  const std::uint32_t bootloaderOffset = LayoutValue(machine, "bootloaderOffset");
  const std::uint32_t osOffset = LayoutValue(machine, "osOffset");
  const std::uint32_t registryOffset = LayoutValue(machine, "registryOffset");
  const std::uint32_t registryHalf = LayoutValue(machine, "registryHalf");
  const std::uint32_t memBase = DriverValue("MemBase");
  const std::uint32_t memLen = DriverValue("MemLen");
  const std::uint32_t osLength = (LayoutValue(machine, "osLength") + 3) & ~3u;
  std::vector<FlashRegion> table = {
      {REGION_BOOTLOADER, 0, 0x40000, bootloaderOffset + LayoutValue(machine, "bootloaderLength")},
      {REGION_CONFIG_BLOCK, LayoutValue(machine, "configOffset"), 0x40000,
       LayoutValue(machine, "configUsed")},
      {REGION_OS_IMAGE, osOffset, registryOffset - osOffset,
       osLength + 16 + LayoutValue(machine, "osTrailer")},
      {REGION_REGISTRY, registryOffset, 2 * registryHalf, StoredRegistryUsed(machine)},
      {REGION_FILE_SYSTEM, memBase, memLen,
       SectorsWithData(memBase, memLen, DriverValue("SectorSize"))},
  };
  std::stable_sort(table.begin(), table.end(),
                   [](const FlashRegion& a, const FlashRegion& b) { return a.start < b.start; });
  return table;
}

void ExpectRegion(const FlashRegion& actual, const FlashRegion& expected) {
  SCOPED_TRACE("region kind " + std::to_string(expected.flags & REGION_ALL_TYPES));
  EXPECT_EQ(actual.flags, expected.flags);
  EXPECT_EQ(actual.start, expected.start);
  EXPECT_EQ(actual.length, expected.length);
  EXPECT_EQ(actual.used, expected.used);
}

const FlashRegion& EntryOf(RegionType kind) {
  for (int i = 0; i < kRegionCount; ++i) {
    if ((RegionTable[i].flags & REGION_ALL_TYPES) == kind) {
      return RegionTable[i];
    }
  }
  ADD_FAILURE() << "no table entry of kind " << kind;
  return RegionTable[kRegionCount];
}

// ---------------------------------------------------------------------------------------------
// Every preset
// ---------------------------------------------------------------------------------------------
class PresetRegions : public StartupTest, public ::testing::WithParamInterface<ModuleCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
  std::uint32_t NandChip() const override { return GetParam().nandChip; }
};

TEST_P(PresetRegions, Scan_GivesTheLayoutOfThePreset) {
  const std::vector<FlashRegion> expected = ExpectedTable(Machine());
  ASSERT_EQ(FWLInit(), FWL_OK);
  for (int i = 0; i < kRegionCount; ++i) {
    ExpectRegion(RegionTable[i], expected[i]);
  }
  EXPECT_EQ(RegionTable[kRegionCount].flags, 0u);
  std::string prefix;
  ASSERT_TRUE(sim::RegistryGetString(DriverKey(), "Prefix", &prefix));
  const std::u16string storeName = sim::FromUtf8(prefix + "1:");
  EXPECT_EQ(std::u16string(FileSystemStoreName), storeName);
  EXPECT_EQ(FileSystemRegionIndex, 4);

  // Every kind asked for: all present, the whole range, the used bytes summed.
  FlashRegion selection{REGION_ALL_TYPES, 0, 0, 0};
  FlashRegion list[kRegionCount + 1];
  std::fill(std::begin(list), std::end(list), FlashRegion{0xEE, 0xEE, 0xEE, 0xEE});
  ASSERT_EQ(FWLGetRegions(&selection, list), FWL_OK);
  std::uint32_t used = 0;
  for (int i = 0; i < kRegionCount; ++i) {
    ExpectRegion(list[i], expected[i]);
    used += expected[i].used;
  }
  EXPECT_EQ(list[kRegionCount].flags, 0u);
  EXPECT_EQ(selection.flags, REGION_ALL_TYPES);
  EXPECT_EQ(selection.start, 0u);
  EXPECT_EQ(selection.length, expected[4].start + expected[4].length);
  EXPECT_EQ(selection.used, used);
}

INSTANTIATE_TEST_SUITE_P(EveryModule, PresetRegions,
                         ::testing::ValuesIn(startup_test::kEveryModule),
                         [](const ::testing::TestParamInfo<ModuleCase>& info) {
                           return startup_test::ModuleCaseName(info.param);
                         });

// ---------------------------------------------------------------------------------------------
// Bootloader (a NOR module, where the bootloader's blocks are plain flash)
// ---------------------------------------------------------------------------------------------
class NorRegions : public StartupTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
};

std::vector<std::uint8_t> CompressedHeader(std::uint32_t dataLength) {
  std::vector<std::uint8_t> header = startup_test::Content(20, 3);
  PutWord(header, 0, 0x504D4F43);  // "COMP"
  PutWord(header, 8, dataLength);
  return header;
}

TEST_F(NorRegions, BootloaderMissing_IsNotPresentAndDroppedFromASelection) {
  EraseFlash(0, 0x40000);
  ASSERT_EQ(FWLInit(), FWL_OK);
  EXPECT_EQ(EntryOf(REGION_BOOTLOADER).flags, REGION_BOOTLOADER | REGION_NOT_PRESENT);
  EXPECT_EQ(EntryOf(REGION_BOOTLOADER).used, 0u);

  FlashRegion selection{REGION_BOOTLOADER, 0, 0, 0};
  EXPECT_EQ(FWLGetRegions(&selection, nullptr), FWL_ERR_NO_REGION);
  EXPECT_EQ(selection.flags, 0u);
  selection = {REGION_BOOTLOADER | REGION_CONFIG_BLOCK, 0, 0, 0};
  FlashRegion list[kRegionCount + 1] = {};
  ASSERT_EQ(FWLGetRegions(&selection, list), FWL_OK);
  EXPECT_EQ(selection.flags, REGION_CONFIG_BLOCK);
  EXPECT_EQ(selection.start, 0x40000u);
  EXPECT_EQ(list[0].flags, REGION_CONFIG_BLOCK);
  EXPECT_EQ(list[1].flags, 0u);
}

TEST_F(NorRegions, BootloaderOnlyAt0x8000_CountsTheGapAsUsed) {
  EraseFlash(0, 0x40000);
  WriteFlash(0x8000, sim::BuildRomImage(0x80000000, 0x12340, 128814123090000000ull, 7));
  ASSERT_EQ(FWLInit(), FWL_OK);
  EXPECT_EQ(EntryOf(REGION_BOOTLOADER).flags, REGION_BOOTLOADER);
  EXPECT_EQ(EntryOf(REGION_BOOTLOADER).used, 0x12340u + 0x8000u);
}

TEST_F(NorRegions, CompressedBootloader_UsesItsHeaderLength) {
  EraseFlash(0, 0x40000);
  WriteFlash(0, CompressedHeader(0x1000));
  ASSERT_EQ(FWLInit(), FWL_OK);
  EXPECT_EQ(EntryOf(REGION_BOOTLOADER).flags, REGION_BOOTLOADER);
  EXPECT_EQ(EntryOf(REGION_BOOTLOADER).used, 0x1014u);
}

// ---------------------------------------------------------------------------------------------
// Config block, OS image, registry: content cases on the default module
// ---------------------------------------------------------------------------------------------
struct ContentCase {
  const char* name;
  RegionType kind;
  std::uint32_t clearFrom;  // erased first: [clearFrom, clearFrom + clearLength)
  std::uint32_t clearLength;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> writes;
  bool present;
  std::uint32_t used;
};

std::vector<std::uint8_t> ConfigBlock(std::uint32_t firstErasedWord, bool marker) {
  std::vector<std::uint8_t> block = startup_test::Content(firstErasedWord, 11);
  PutWord(block, 0, marker ? 0xCF014000 : 0x12345678);
  return block;
}

std::vector<std::uint8_t> Trailer(std::uint32_t length) {
  std::vector<std::uint8_t> trailer = startup_test::Content(16 + length, 5);
  PutWord(trailer, 0, 0x52435353);  // "SSCR"
  PutWord(trailer, 8, length);
  return trailer;
}

std::vector<std::uint8_t> RegistryHead(std::uint32_t length) {
  std::vector<std::uint8_t> head(8);
  PutWord(head, 0, 0x01234567);
  PutWord(head, 4, length);
  return head;
}

std::vector<ContentCase> ContentCases() {
  constexpr std::uint32_t kConfig = 0x40000;
  constexpr std::uint32_t kOs = 0x80000;
  constexpr std::uint32_t kRegistry = 0x1400000;
  constexpr std::uint32_t kHalf = 0x40000;
  const auto rom = [](std::uint32_t length) {
    return sim::BuildRomImage(0x80000000, length, 128814123090000000ull, 3);
  };
  return {
      {"ConfigWithoutMarker",
       REGION_CONFIG_BLOCK,
       kConfig,
       0x40000,
       {{kConfig, ConfigBlock(0x100, false)}},
       true,
       0},
      {"ConfigFirstErasedWordAt0x1234",
       REGION_CONFIG_BLOCK,
       kConfig,
       0x40000,
       {{kConfig, ConfigBlock(0x1234, true)}},
       true,
       0x1234},
      {"ConfigFirstErasedWordOnAPageStart",
       REGION_CONFIG_BLOCK,
       kConfig,
       0x40000,
       {{kConfig, ConfigBlock(0x2000, true)}},
       true,
       0x2000},
      {"ConfigWithoutErasedWord",
       REGION_CONFIG_BLOCK,
       kConfig,
       0x40000,
       {{kConfig, ConfigBlock(0x40000, true)}},
       true,
       0x40000},
      {"ConfigErased", REGION_CONFIG_BLOCK, kConfig, 0x40000, {}, true, 0},
      {"OsImageWithTrailer",
       REGION_OS_IMAGE,
       kOs,
       0x2000,
       {{kOs, rom(0x1001)}, {kOs + 0x1004, Trailer(100)}},
       true,
       0x1004 + 116},
      {"OsImageWithoutTrailer", REGION_OS_IMAGE, kOs, 0x2000, {{kOs, rom(0x1001)}}, true, 0x1004},
      {"OsImageCompressed",
       REGION_OS_IMAGE,
       kOs,
       0x8000,
       {{kOs, CompressedHeader(0x5000)}},
       true,
       0x5014},
      {"OsImageMissing", REGION_OS_IMAGE, kOs, 0x2000, {}, false, 0},
      {"RegistryInSecondHalfOnly",
       REGION_REGISTRY,
       kRegistry,
       0x2000,
       {{kRegistry + kHalf, RegistryHead(0x1234)}},
       true,
       0x123C},
      {"RegistryInBothHalves",
       REGION_REGISTRY,
       kRegistry,
       0x2000,
       {{kRegistry, RegistryHead(0x100)}, {kRegistry + kHalf, RegistryHead(0x1234)}},
       true,
       0x108},
      {"RegistryInNeitherHalf",
       REGION_REGISTRY,
       kRegistry,
       0x2000,
       {{kRegistry + kHalf, std::vector<std::uint8_t>(8, 0xFF)}},
       true,
       0},
      // The first half erased (a save cut while it was rewritten): the second half's whole copy,
      // which a save writes first, is what the scan counts.
      {"RegistryFirstHalfErased",
       REGION_REGISTRY,
       kRegistry,
       0x2000,
       {{kRegistry + kHalf, RegistryHead(0x2DF8)}},
       true,
       0x2E00},
  };
}

class RegionContent : public StartupTest, public ::testing::WithParamInterface<ContentCase> {};

TEST_P(RegionContent, Scan_ReadsTheRegionsContent) {
  const ContentCase& c = GetParam();
  EraseFlash(c.clearFrom, c.clearLength);
  for (const auto& [offset, bytes] : c.writes) {
    WriteFlash(offset, bytes);
  }
  ASSERT_EQ(FWLInit(), FWL_OK);
  const FlashRegion& region = EntryOf(c.kind);
  EXPECT_EQ(region.flags, c.kind | (c.present ? 0 : REGION_NOT_PRESENT));
  EXPECT_EQ(region.used, c.used);
}

INSTANTIATE_TEST_SUITE_P(Cases, RegionContent, ::testing::ValuesIn(ContentCases()),
                         testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Rescans
// ---------------------------------------------------------------------------------------------
class Regions : public StartupTest {};

TEST_F(Regions, Rescan_AfterTheImageWasErased_MarksItNotPresentAgain) {
  ASSERT_EQ(FWLInit(), FWL_OK);
  ASSERT_EQ(EntryOf(REGION_OS_IMAGE).flags, REGION_OS_IMAGE);
  EraseFlash(0x80000, 0x1000);
  ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
  EXPECT_EQ(EntryOf(REGION_OS_IMAGE).flags, REGION_OS_IMAGE | REGION_NOT_PRESENT);
  EXPECT_EQ(EntryOf(REGION_OS_IMAGE).used, 0u);
  EXPECT_EQ(EntryOf(REGION_OS_IMAGE).length, 0x1400000u - 0x80000u);
}

TEST_F(Regions, Scan_LeavesErrorCorrectionAsItWas) {
  ASSERT_EQ(FWLInit(), FWL_OK);
  for (int setting : {1, 0}) {
    (void)FlashOps.SetEcc(setting);
    ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
    EXPECT_EQ(FlashOps.SetEcc(setting), setting);
  }
}

TEST_F(Regions, QueriesBeforeInit_AreRefused) {
  FlashRegion selection{REGION_ALL_TYPES, 0, 0, 0};
  EXPECT_EQ(FWLGetRegions(&selection, nullptr), FWL_ERR_NOT_INITIALIZED);
  DWORD types = REGION_OS_IMAGE;
  EXPECT_EQ(FWLGetRegionsInRange(&types, 0x80000, 16), FWL_ERR_NOT_INITIALIZED);
  EXPECT_EQ(types, REGION_OS_IMAGE);
  // The table holds its kinds only until the first scan.
  EXPECT_EQ(RegionTable[0].flags, REGION_BOOTLOADER);
  EXPECT_EQ(RegionTable[0].start, 0u);
}

// ---------------------------------------------------------------------------------------------
// File system: the driver key, the profile, the store
// ---------------------------------------------------------------------------------------------
void DeleteDriverValue(const char16_t* name) {
  HKEY key = nullptr;
  ASSERT_EQ(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\StrataFMD", 0, KEY_ALL_ACCESS, &key),
      ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, name), ERROR_SUCCESS);
  (void)RegCloseKey(key);
}

// A REG_SZ value stored as the bare code units, without a terminator.
void SetUnterminated(const std::string& key, const char* name, const std::u16string& text) {
  std::vector<std::uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  ASSERT_TRUE(sim::RegistrySetValue(key, name, REG_SZ, bytes));
}

TEST_F(Regions, MemBaseBelowTheOsImage_SortsTheFileSystemThereAndFillsItsLength) {
  ASSERT_TRUE(sim::RegistrySetDword(kBuiltInKey, "MemBase", 0x60000));
  DeleteDriverValue(u"MemLen");
  ASSERT_EQ(FWLInit(), FWL_OK);
  const RegionType order[] = {REGION_BOOTLOADER, REGION_CONFIG_BLOCK, REGION_FILE_SYSTEM,
                              REGION_OS_IMAGE, REGION_REGISTRY};
  for (int i = 0; i < kRegionCount; ++i) {
    EXPECT_EQ(RegionTable[i].flags & REGION_ALL_TYPES, order[i]) << i;
  }
  EXPECT_EQ(FileSystemRegionIndex, 2);
  EXPECT_EQ(RegionTable[2].start, 0x60000u);
  EXPECT_EQ(RegionTable[2].length, 0x80000u - 0x60000u);
  EXPECT_EQ(RegionTable[3].length, 0x1400000u - 0x80000u);
  EXPECT_EQ(RegionTable[2].flags, REGION_FILE_SYSTEM);  // the store is still there
}

TEST_F(Regions, MemLenMissing_RunsTheFileSystemToTheFlashEnd) {
  DeleteDriverValue(u"MemLen");
  ASSERT_EQ(FWLInit(), FWL_OK);
  const FlashRegion& fs = EntryOf(REGION_FILE_SYSTEM);
  EXPECT_EQ(fs.start, DriverValue("MemBase"));
  EXPECT_EQ(fs.length, sim::CurrentOsFlash()->Size() - fs.start);
  EXPECT_EQ(FileSystemRegionIndex, kRegionCount - 1);
}

struct ProfileCase {
  const char* name;
  void (*change)();
};

const ProfileCase kMissedProfiles[] = {
    {"NameIsNotInternalFlash",
     [] {
       ASSERT_TRUE(sim::RegistrySetString(kProfilesKey + std::string("FlashDisk"), "Name",
                                          "Internal flash"));
     }},
    {"ProfileKeyMissing",
     [] { ASSERT_TRUE(sim::RegistryDeleteKey(kProfilesKey + std::string("FlashDisk"))); }},
    {"ProfileNameTooLong",
     [] { ASSERT_TRUE(sim::RegistrySetString(kBuiltInKey, "Profile", "FlashDiskOfTheModule")); }},
};

class MissedProfile : public StartupTest, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(MissedProfile, FileSystem_IsNotPresentAndHasNoStore) {
  GetParam().change();
  ASSERT_EQ(FWLInit(), FWL_OK);
  const FlashRegion& fs = EntryOf(REGION_FILE_SYSTEM);
  EXPECT_EQ(fs.flags, REGION_FILE_SYSTEM | REGION_NOT_PRESENT);
  EXPECT_EQ(fs.used, 0u);
  EXPECT_EQ(fs.start, DriverValue("MemBase"));
  EXPECT_EQ(std::u16string(FileSystemStoreName), u"");
}

INSTANTIATE_TEST_SUITE_P(Cases, MissedProfile, ::testing::ValuesIn(kMissedProfiles),
                         testing_support::CaseName());

TEST_F(Regions, NoDriverKey_KeepsTheDefaultPlaceAndNoStore) {
  ASSERT_TRUE(sim::RegistryDeleteKey(kBuiltInKey));
  ASSERT_EQ(FWLInit(), FWL_OK);
  const FlashRegion& fs = EntryOf(REGION_FILE_SYSTEM);
  EXPECT_EQ(fs.flags, REGION_FILE_SYSTEM | REGION_NOT_PRESENT);
  EXPECT_EQ(fs.start, 0x1480000u);
  EXPECT_EQ(fs.length, sim::CurrentOsFlash()->Size() - 0x1480000u);
  EXPECT_EQ(std::u16string(FileSystemStoreName), u"");
}

TEST_F(Regions, UnterminatedRegistryStrings_AreReadInFull) {
  // A profile name of the longest size (16 units) and a store name, both stored without their
  // terminators: each is ended inside its buffer, so the key path and the comparison see
  // exactly the stored text.
  SetUnterminated(kBuiltInKey, "Profile", u"FlashDiskVolume1");
  SetUnterminated(kProfilesKey + std::string("FlashDiskVolume1"), "Name", u"Internal Flash");
  ASSERT_EQ(FWLInit(), FWL_OK);
  EXPECT_EQ(EntryOf(REGION_FILE_SYSTEM).flags, REGION_FILE_SYSTEM);
  EXPECT_EQ(std::u16string(FileSystemStoreName), u"DSK1:");
}

TEST_F(Regions, SmallWorkBuffer_CountsTheStoreInBatches) {
  // Measured once with the full buffer, then again in a new process whose heap allows only a
  // 64 KiB buffer (8192 sectors per request, several requests for this store).
  ASSERT_EQ(FWLInit(), FWL_OK);
  const DWORD full = EntryOf(REGION_FILE_SYSTEM).used;
  ASSERT_GT(full, 0u);
  RestartProgram();
  Machine().Faults().Add(faults::Heap{.limit = 100 * 1024});
  ASSERT_EQ(FWLInit(), FWL_OK);
  EXPECT_EQ(EntryOf(REGION_FILE_SYSTEM).used, full);
  EXPECT_EQ(
      EntryOf(REGION_FILE_SYSTEM).used,
      SectorsWithData(DriverValue("MemBase"), DriverValue("MemLen"), DriverValue("SectorSize")));
  EXPECT_EQ(WorkBuffer, nullptr);  // the scan's own buffer is gone again
}

// ---------------------------------------------------------------------------------------------
// FWLGetRegionsInRange on the default module
// ---------------------------------------------------------------------------------------------
struct RangeCase {
  const char* name;
  DWORD types;
  DWORD start;
  DWORD length;
  FwlStatus status;
  DWORD result;
};

const RangeCase kRangeCases[] = {
    {"EmptySetLengthZero", 0, 0x80000, 0, FWL_OK, 0},
    {"EmptySetLengthOne", 0, 0x80000, 1, FWL_ERR_RANGE, 0},
    {"InsideOneRegion", REGION_OS_IMAGE, 0x80000, 0x1000, FWL_OK, REGION_OS_IMAGE},
    {"IntoTheNextRegion", REGION_OS_IMAGE, 0x80000, 0x1400000 - 0x80000 + 1, FWL_ERR_RANGE,
     REGION_OS_IMAGE | REGION_REGISTRY},
    {"TwoAllowedRegions", REGION_BOOTLOADER | REGION_CONFIG_BLOCK, 0, 0x80000, FWL_OK,
     REGION_BOOTLOADER | REGION_CONFIG_BLOCK},
    {"LastByteOfARegion", REGION_BOOTLOADER, 0x3FFFF, 1, FWL_OK, REGION_BOOTLOADER},
    {"EndTouchesNextRegion", REGION_BOOTLOADER, 0x3FFFF, 2, FWL_ERR_RANGE,
     REGION_BOOTLOADER | REGION_CONFIG_BLOCK},
    {"NoLength", REGION_CONFIG_BLOCK, 0x40000, 0, FWL_OK, 0},
    {"RangeWrapsTheTop", REGION_FILE_SYSTEM, 0xFFFFFF00u, 0x200, FWL_OK, 0},
};

class RegionsInRange : public StartupTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(RegionsInRange, ReportsTheRegionsTheRangeTouches) {
  ASSERT_EQ(FWLInit(), FWL_OK);
  DWORD types = GetParam().types;
  EXPECT_EQ(FWLGetRegionsInRange(&types, GetParam().start, GetParam().length), GetParam().status);
  EXPECT_EQ(types, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Cases, RegionsInRange, ::testing::ValuesIn(kRangeCases),
                         testing_support::CaseName());

TEST_F(Regions, RangeOverARegionNotPresent_CarriesItsMark) {
  EraseFlash(0x80000, 0x1000);
  ASSERT_EQ(FWLInit(), FWL_OK);
  DWORD types = REGION_OS_IMAGE;
  EXPECT_EQ(FWLGetRegionsInRange(&types, 0x80000, 0x10), FWL_OK);
  EXPECT_EQ(types, REGION_OS_IMAGE | REGION_NOT_PRESENT);
}

}  // namespace
