// Control of the OS flash file system driver: unloading it from its store, the registry key of
// the program's own instance, the unload delay on the virtual clock, and finding, dismounting
// and formatting the "Internal Flash" store.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "sim/os/registry.h"
#include "sim/storage/storage_manager.h"
#include "tests/support/faults.h"
#include "tests/support/file_system_fixture.h"
#include "tests/support/test_names.h"

namespace {

using testing_support::FileSystemTest;

constexpr const char* kOsKey = "HKLM\\Drivers\\BuiltIn\\StrataFMD";
constexpr const char* kOwnKey = "HKLM\\Drivers\\BuiltIn\\FWLFMD";
constexpr const char* kProfile = "HKLM\\System\\StorageManager\\Profiles\\FlashDisk";
constexpr const char* kFatKey = "HKLM\\System\\StorageManager\\Profiles\\FlashDisk\\FATFS";

void DeleteValue(const WCHAR* key, const WCHAR* name) {
  HKEY handle = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &handle), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueW(handle, name), ERROR_SUCCESS);
  (void)RegCloseKey(handle);
}

bool HasValue(const char* key, const char* name) {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  return sim::RegistryGetValue(key, name, &type, &data);
}

std::uint32_t Dword(const char* key, const char* name) {
  std::uint32_t value = 0xDEADBEEF;
  EXPECT_TRUE(sim::RegistryGetDword(key, name, &value)) << key << " " << name;
  return value;
}

std::string String(const char* key, const char* name) {
  std::string text;
  EXPECT_TRUE(sim::RegistryGetString(key, name, &text)) << key << " " << name;
  return text;
}

FsSectionHeader Header(DWORD kind) {
  FsSectionHeader header{};
  header.magic = kFsSectionMagic;
  header.version = 1;
  header.headerSize = kFsHeaderBytes;
  header.kind = kind;
  header.memBase = 0x01480000;
  header.memLen = 0x00B80000;
  header.blockSize = 0x40000;
  header.sectorSize = 512;
  header.flags = kFsFlagFormatTfat;
  const std::u16string folder = u"Restored";
  std::copy(folder.begin(), folder.end(), header.folder);
  return header;
}

// ---------------------------------------------------------------------------------------------
// Unloading the OS driver
// ---------------------------------------------------------------------------------------------
class UnloadTest : public FileSystemTest {};

TEST_F(UnloadTest, NoStoreName_SucceedsWithoutDeviceCallsAndStampsTheTime) {
  FileSystemStoreName[0] = 0;
  Sleep(1234);
  Machine().Calls().Enable(true);
  EXPECT_EQ(UnloadFlashDriver(), FWL_OK);
  EXPECT_EQ(DriverUnloadTime, GetTickCount());
  for (const char* call : {"FindFirstDevice", "DeactivateDevice", "AdvertiseInterface"}) {
    EXPECT_TRUE(Machine().Calls().Entries(call).empty()) << call;
  }
  EXPECT_NE(GetFileAttributesW(u"\\Flash Disk"), INVALID_FILE_ATTRIBUTES);
}

struct UnloadCase {
  const char* name;
  std::vector<sim::Json> faults;
  FwlStatus status;
  bool detached;  // the store went away
};

class UnloadFaultTest : public FileSystemTest, public ::testing::WithParamInterface<UnloadCase> {};

TEST_P(UnloadFaultTest, DeviceOrInterfaceCalls_GiveTheirStatus) {
  for (const sim::Json& item : GetParam().faults) {
    Machine().Faults().Add(item);
  }
  Sleep(77);
  EXPECT_EQ(UnloadFlashDriver(), GetParam().status);
  EXPECT_EQ(DriverUnloadTime, GetTickCount());  // stamped on every path
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk") == INVALID_FILE_ATTRIBUTES, GetParam().detached);
}

sim::Json Call(const char* name, int skip = 0) {
  return faults::Call{.name = name, .skip = skip, .count = 1};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnloadFaultTest,
    ::testing::Values(
        UnloadCase{"Deactivated", {}, FWL_OK, true},
        UnloadCase{"DeactivationFails", {Call("DeactivateDevice")}, FWL_ERR_FS_DRIVER, false},
        UnloadCase{"Withdrawn", {Call("FindFirstDevice")}, FWL_OK, true},
        UnloadCase{"AnnouncementFails",
                   {Call("FindFirstDevice"), Call("AdvertiseInterface")},
                   FWL_ERR_FS_DRIVER,
                   false},
        UnloadCase{"WithdrawalFails",
                   {Call("FindFirstDevice"), Call("AdvertiseInterface", 1)},
                   FWL_ERR_FS_DRIVER,
                   false}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// The unload delay, on the virtual clock
// ---------------------------------------------------------------------------------------------
struct DelayCase {
  const char* name;
  bool delaySet;
  DWORD delay;
  DWORD elapsed;
  DWORD slept;
};

class UnloadDelayTest : public FileSystemTest, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(UnloadDelayTest, SleepsWhatIsLeftOfTheDelayAndAMargin) {
  const DelayCase& c = GetParam();
  if (c.delaySet) {
    ASSERT_TRUE(sim::RegistrySetDword("HKLM\\System\\StorageManager", "PNPUnloadDelay", c.delay));
  } else {
    DeleteValue(u"System\\StorageManager", u"PNPUnloadDelay");
  }
  // Unsigned: with a young clock the unload lies "before" tick 0, as after a wrap.
  DriverUnloadTime = GetTickCount() - c.elapsed;
  const DWORD before = GetTickCount();
  EXPECT_EQ(WaitForUnloadDelay(), FWL_OK);
  EXPECT_EQ(GetTickCount() - before, c.slept);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnloadDelayTest,
                         ::testing::Values(DelayCase{"Missing_4900Elapsed", false, 0, 4900, 200},
                                           DelayCase{"Missing_5000Elapsed", false, 0, 5000, 0},
                                           DelayCase{"Missing_NothingElapsed", false, 0, 0, 5100},
                                           DelayCase{"Set_2000_1999Elapsed", true, 2000, 1999, 101},
                                           DelayCase{"Set_2000_9000Elapsed", true, 2000, 9000, 0},
                                           DelayCase{"Zero", true, 0, 0, 0}),
                         testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// The FWLFMD key and the profile
// ---------------------------------------------------------------------------------------------
struct KeyCase {
  const char* name;
  std::function<void()> prepare;
  std::function<void(FsSectionHeader*)> header;
  FwlStatus status;
  std::function<void()> check;
};

class DriverKeyTest : public FileSystemTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(DriverKeyTest, ValuesWrittenAsTheSectionSays) {
  const KeyCase& c = GetParam();
  c.prepare();
  FsSectionHeader header = Header(FS_SECTION_FILES);
  c.header(&header);
  EXPECT_EQ(ConfigureFlashDriverKey(header), c.status);
  c.check();
}

void Nothing() {}
void SameHeader(FsSectionHeader* /*header*/) {}

void ExpectCopiesAndFixedValues() {
  EXPECT_EQ(String(kOwnKey, "Dll"), String(kOsKey, "Dll"));
  EXPECT_EQ(String(kOwnKey, "Profile"), "FlashDisk");
  std::uint32_t type = 0;
  std::vector<std::uint8_t> source;
  std::vector<std::uint8_t> copy;
  ASSERT_TRUE(sim::RegistryGetValue(kOsKey, "IClass", &type, &source));
  ASSERT_TRUE(sim::RegistryGetValue(kOwnKey, "IClass", &type, &copy));
  EXPECT_EQ(type, static_cast<std::uint32_t>(REG_SZ));  // whatever the source's type
  EXPECT_EQ(copy, source);
  EXPECT_EQ(Dword(kOwnKey, "Order"), 0u);
  EXPECT_EQ(String(kOwnKey, "Prefix"), "DSK");
}

void ExpectGeometry() {
  EXPECT_EQ(Dword(kOwnKey, "MemBase"), 0x01480000u);
  EXPECT_EQ(Dword(kOwnKey, "MemLen"), 0x00B80000u);
  EXPECT_EQ(Dword(kOwnKey, "BlockSize"), 0x40000u);
  EXPECT_EQ(Dword(kOwnKey, "SectorSize"), 512u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverKeyTest,
    ::testing::Values(
        KeyCase{"FilesSection", Nothing, SameHeader, FWL_OK,
                [] {
                  ExpectCopiesAndFixedValues();
                  ExpectGeometry();
                  EXPECT_EQ(String(kProfile, "Folder"), "Restored");
                  EXPECT_EQ(Dword(kProfile, "AutoMount"), 0u);
                  EXPECT_EQ(Dword(kFatKey, "FormatTfat"), 1u);
                }},
        KeyCase{"WithoutTfat", Nothing, [](FsSectionHeader* header) { header->flags = 0xFFFFFFFE; },
                FWL_OK, [] { EXPECT_EQ(Dword(kFatKey, "FormatTfat"), 0u); }},
        KeyCase{"NoGeometry", Nothing,
                [](FsSectionHeader* header) {
                  header->memBase = header->memLen = header->blockSize = header->sectorSize =
                      0xFFFFFFFF;
                },
                FWL_OK,
                [] {
                  ExpectCopiesAndFixedValues();
                  for (const char* name : {"MemBase", "MemLen", "BlockSize", "SectorSize"}) {
                    EXPECT_FALSE(HasValue(kOwnKey, name)) << name;
                  }
                }},
        KeyCase{"SectorsSection", Nothing,
                [](FsSectionHeader* header) {
                  header->kind = FS_SECTION_SECTORS;
                  header->flags = 0;
                },
                FWL_OK,
                [] {
                  ExpectGeometry();
                  EXPECT_EQ(String(kProfile, "Folder"), "Flash Disk");
                  EXPECT_EQ(Dword(kFatKey, "FormatTfat"), 1u);
                  EXPECT_EQ(Dword(kProfile, "AutoMount"), 0u);
                }},
        KeyCase{"SourceWithoutIClass",
                [] { DeleteValue(u"Drivers\\BuiltIn\\StrataFMD", u"IClass"); }, SameHeader,
                FWL_ERR_FS_DRIVER,
                [] {
                  // Everything after the failed copy was still written; the profile was not.
                  EXPECT_FALSE(HasValue(kOwnKey, "IClass"));
                  EXPECT_EQ(Dword(kOwnKey, "Order"), 0u);
                  EXPECT_EQ(String(kOwnKey, "Prefix"), "DSK");
                  ExpectGeometry();
                  EXPECT_EQ(Dword(kProfile, "AutoMount"), 1u);
                }},
        KeyCase{"NoOsDriverKey", [] { ASSERT_TRUE(sim::RegistryDeleteKey(kOsKey)); }, SameHeader,
                FWL_ERR_FS_DRIVER, [] { EXPECT_FALSE(sim::RegistryKeyExists(kOwnKey)); }},
        KeyCase{"NoProfileKey", [] { ASSERT_TRUE(sim::RegistryDeleteKey(kProfile)); }, SameHeader,
                FWL_ERR_FS_DRIVER,
                [] {
                  ExpectCopiesAndFixedValues();
                  EXPECT_FALSE(sim::RegistryKeyExists(kProfile));
                }},
        KeyCase{"NoFatKey", [] { ASSERT_TRUE(sim::RegistryDeleteKey(kFatKey)); }, SameHeader,
                FWL_ERR_FS_DRIVER,
                [] {
                  EXPECT_EQ(Dword(kProfile, "AutoMount"), 0u);
                  EXPECT_FALSE(sim::RegistryKeyExists(kFatKey));
                }},
        KeyCase{"NoFatKeyForSectors", [] { ASSERT_TRUE(sim::RegistryDeleteKey(kFatKey)); },
                [](FsSectionHeader* header) { header->kind = FS_SECTION_SECTORS; }, FWL_OK,
                [] { EXPECT_FALSE(sim::RegistryKeyExists(kFatKey)); }}),
    testing_support::CaseName());

// Sections of one restore share the key: geometry that one section gave is not left for the
// next, which gives none and takes the driver's own layout.
TEST_F(FileSystemTest, GeometryOfAnEarlierSection_IsNotLeftForOneWithout) {
  ASSERT_EQ(ConfigureFlashDriverKey(Header(FS_SECTION_FILES)), FWL_OK);
  ExpectGeometry();
  FsSectionHeader partly = Header(FS_SECTION_SECTORS);
  partly.memLen = partly.sectorSize = 0xFFFFFFFF;
  ASSERT_EQ(ConfigureFlashDriverKey(partly), FWL_OK);
  EXPECT_EQ(Dword(kOwnKey, "MemBase"), 0x01480000u);
  EXPECT_EQ(Dword(kOwnKey, "BlockSize"), 0x40000u);
  EXPECT_FALSE(HasValue(kOwnKey, "MemLen"));
  EXPECT_FALSE(HasValue(kOwnKey, "SectorSize"));
  FsSectionHeader none = Header(FS_SECTION_SECTORS);
  none.memBase = none.memLen = none.blockSize = none.sectorSize = 0xFFFFFFFF;
  ASSERT_EQ(ConfigureFlashDriverKey(none), FWL_OK);
  for (const char* name : {"MemBase", "MemLen", "BlockSize", "SectorSize"}) {
    EXPECT_FALSE(HasValue(kOwnKey, name)) << name;
  }
}

TEST_F(FileSystemTest, CleanKey_RemovesTheDriverValuesOnlyAndNeedsNoKey) {
  EXPECT_EQ(CleanFlashDriverKey(), FWL_OK);
  EXPECT_FALSE(sim::RegistryKeyExists(kOwnKey));
  ASSERT_EQ(ConfigureFlashDriverKey(Header(FS_SECTION_FILES)), FWL_OK);
  ASSERT_TRUE(sim::RegistrySetString(kOwnKey, "FriendlyName", "kept"));
  EXPECT_EQ(CleanFlashDriverKey(), FWL_OK);
  EXPECT_TRUE(sim::RegistryKeyExists(kOwnKey));
  for (const char* name : {"Dll", "Profile", "IClass", "Order", "Prefix", "MemBase", "MemLen",
                           "BlockSize", "SectorSize"}) {
    EXPECT_FALSE(HasValue(kOwnKey, name)) << name;
  }
  EXPECT_EQ(String(kOwnKey, "FriendlyName"), "kept");
  // The profile keeps what the section put there until the module resets.
  EXPECT_EQ(String(kProfile, "Folder"), "Restored");
  EXPECT_EQ(Dword(kProfile, "AutoMount"), 0u);
}

// ---------------------------------------------------------------------------------------------
// Loading the program's instance
// ---------------------------------------------------------------------------------------------
TEST_F(FileSystemTest, LoadDriver_ActivatesTheKeyAndSettles) {
  ASSERT_EQ(UnloadFlashDriver(), FWL_OK);
  ASSERT_EQ(ConfigureFlashDriverKey(Header(FS_SECTION_FILES)), FWL_OK);
  EXPECT_EQ(LoadFlashDriver(), FWL_ERR_FS_DRIVER);  // the old store holds the flash still
  ASSERT_EQ(WaitForUnloadDelay(), FWL_OK);
  const DWORD before = GetTickCount();
  EXPECT_EQ(LoadFlashDriver(), FWL_OK);
  EXPECT_EQ(GetTickCount() - before, 500u);
  const auto stores = sim::storage::Stores();
  ASSERT_EQ(stores.size(), 1u);
  EXPECT_EQ(stores[0].storeName, u"Internal Flash");
  EXPECT_EQ(stores[0].geometry.memBase, 0x01480000u);
  // AutoMount 0: nothing of it is mounted.
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk"), INVALID_FILE_ATTRIBUTES);
  Machine().Faults().Add(Call("ActivateDeviceEx"));
  EXPECT_EQ(LoadFlashDriver(), FWL_ERR_FS_DRIVER);
}

// ---------------------------------------------------------------------------------------------
// Formatting the store
// ---------------------------------------------------------------------------------------------
std::vector<DWORD> phases;
int RecordPhase(DWORD done, DWORD total) {
  EXPECT_EQ(total, 0u);
  phases.push_back(done);
  return 1;
}
DWORD stopAt = 0;
int StopAtPhase(DWORD done, DWORD /*total*/) {
  phases.push_back(done);
  return done == stopAt ? 0 : 1;
}

class FormatStoreTest : public FileSystemTest {
 protected:
  void SetUp() override {
    FileSystemTest::SetUp();
    phases.clear();
  }
};

TEST_F(FormatStoreTest, InternalFlash_IsDismountedAndFormattedWithItsPhases) {
  EraseProgressFn = RecordPhase;
  FileSystemStoreName[0] = 0;
  HANDLE store = nullptr;
  EXPECT_EQ(FormatInternalStore(&store), FWL_OK);
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(FileSystemStoreName), u"DSK1:");
  EXPECT_EQ(phases, (std::vector<DWORD>{2, 3}));
  STOREINFO info{};
  info.cbSize = sizeof(info);
  ASSERT_TRUE(GetStoreInfo(store, &info));
  EXPECT_EQ(info.dwPartitionCount, 0u);
  EXPECT_TRUE(CloseHandle(store));
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FormatStoreTest, PhaseAnswered0_AbortsAndHandsTheStoreOut) {
  for (const DWORD phase : {2u, 3u}) {
    SCOPED_TRACE(phase);
    phases.clear();
    stopAt = phase;
    EraseProgressFn = StopAtPhase;
    Machine().Calls().Clear();
    Machine().Calls().Enable(true);
    HANDLE store = nullptr;
    EXPECT_EQ(FormatInternalStore(&store), FWL_ERR_ABORTED);
    Machine().Calls().Enable(false);
    EXPECT_EQ(phases.back(), phase);
    EXPECT_EQ(Machine().Calls().Entries("FormatStore").size(), phase == 2 ? 0u : 1u);
    ASSERT_NE(store, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(store));
  }
}

TEST_F(FormatStoreTest, OnlyTheExactStoreNameMatches) {
  ASSERT_EQ(UnloadFlashDriver(), FWL_OK);
  ASSERT_TRUE(sim::RegistrySetString(kProfile, "Name", "internal flash"));
  ASSERT_EQ(WaitForUnloadDelay(), FWL_OK);
  ASSERT_NE(ActivateDeviceEx(u"Drivers\\BuiltIn\\StrataFMD", nullptr, 0, nullptr), nullptr);
  Machine().Calls().Enable(true);
  HANDLE store = nullptr;
  EXPECT_EQ(FormatInternalStore(&store), FWL_ERR_FORMAT_STORE);
  EXPECT_EQ(store, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FileSystemStoreName[0], 0);
  EXPECT_TRUE(Machine().Calls().Entries("OpenStore").empty());
  EXPECT_NE(GetFileAttributesW(u"\\Flash Disk\\Readme.txt"), INVALID_FILE_ATTRIBUTES);
}

struct FormatCase {
  const char* name;
  sim::Json fault;
  bool handedOut;  // a store was opened before the failure
};

class FormatFaultTest : public FileSystemTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatFaultTest, FailureIsFormatStore) {
  Machine().Faults().Add(GetParam().fault);
  HANDLE store = nullptr;
  EXPECT_EQ(FormatInternalStore(&store), FWL_ERR_FORMAT_STORE);
  EXPECT_EQ(store != INVALID_HANDLE_VALUE, GetParam().handedOut);
  if (store != INVALID_HANDLE_VALUE) {
    EXPECT_TRUE(CloseHandle(store));
  }
  if (!GetParam().handedOut) {
    EXPECT_NE(GetFileAttributesW(u"\\Flash Disk\\Readme.txt"), INVALID_FILE_ATTRIBUTES);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatFaultTest,
    ::testing::Values(FormatCase{"NoStoreSearch", Call("FindFirstStore"), false},
                      FormatCase{"StoreWontOpen", Call("OpenStore"), false},
                      FormatCase{"Dismount", faults::StorageStore{.fail = "dismount"}, true},
                      FormatCase{"Format", faults::StorageStore{.fail = "format"}, true}),
    testing_support::CaseName());

}  // namespace
