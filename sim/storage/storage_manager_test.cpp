// The running module's storage: the flash driver instances the OS loads, the device manager,
// the store of the file system with its partitions, the mounted flash disk and the fault plan,
// all through the platform's own calls (the storage functions as a Windows CE 6 image exports
// them).
#include "sim/storage/storage_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/storage.h"
#include "sim/base/files.h"
#include "sim/base/utf.h"
#include "sim/hw/nand_flash.h"
#include "sim/module/preset_content.h"
#include "sim/os/os_flash.h"
#include "sim/os/real_time_clock.h"
#include "sim/os/registry.h"
#include "sim/storage/store.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"

namespace {

using testing_support::ModuleTest;

// A storage function of "coredll.dll".
template <typename Function>
Function Export(const char* name) {
  HMODULE library = LoadLibraryW(u"coredll.dll");
  EXPECT_NE(library, nullptr);
  const FARPROC address = GetProcAddressW(library, sim::FromUtf8(name).c_str());
  EXPECT_NE(address, nullptr) << name;
  (void)FreeLibrary(library);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

HANDLE OpenStore(const char16_t* name) { return Export<OpenStoreFn>("OpenStore")(name); }
BOOL DismountStore(HANDLE store) { return Export<DismountStoreFn>("DismountStore")(store); }
BOOL FormatStore(HANDLE store) { return Export<FormatStoreFn>("FormatStore")(store); }
BOOL GetStoreInfo(HANDLE store, STOREINFO* info) {
  info->cbSize = sizeof(*info);
  return Export<GetStoreInfoFn>("GetStoreInfo")(store, info);
}

constexpr const char* kDriverKey = "HKLM\\Drivers\\BuiltIn\\StrataFMD";
constexpr std::uint32_t kUnloadDelay = 5000;

// Sector transfer through a store handle.
BOOL Transfer(HANDLE store, DWORD code, DWORD first, DWORD count, std::uint8_t* buffer,
              DWORD sectorSize, SG_REQ* out = nullptr) {
  SG_REQ request{};
  request.sr_start = first;
  request.sr_num_sec = count;
  request.sr_num_sg = 1;
  request.sr_sglist[0].sb_buf = buffer;
  request.sr_sglist[0].sb_len = count * sectorSize;
  DWORD returned = 0;
  const BOOL result =
      DeviceIoControl(store, code, &request, sizeof(request), nullptr, 0, &returned, nullptr);
  if (out != nullptr) {
    *out = request;
  }
  return result;
}

std::vector<DWORD> SectorsInUse(HANDLE store, std::uint64_t sectors) {
  std::vector<DWORD> numbers(static_cast<std::size_t>(sectors));
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    numbers[i] = static_cast<DWORD>(i);
  }
  std::vector<DWORD> addresses(numbers.size());
  DWORD returned = 0;
  const DWORD bytes = static_cast<DWORD>(numbers.size() * 4);
  EXPECT_TRUE(DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, numbers.data(), bytes,
                              addresses.data(), bytes, &returned, nullptr));
  std::vector<DWORD> used;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (addresses[i] != 0xFFFFFFFFu) {
      used.push_back(static_cast<DWORD>(i));
    }
  }
  return used;
}

std::string ReadText(const char16_t* path) {
  HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return "<missing " + std::to_string(GetLastError()) + ">";
  }
  std::string text(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr));
  CloseHandle(file);
  return text;
}

bool Exists(const char16_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

HANDLE FindDevice(const char16_t* name, DEVMGR_DEVICE_INFORMATION* info) {
  *info = DEVMGR_DEVICE_INFORMATION{};
  info->dwSize = kDevmgrDeviceInformationSize;
  return FindFirstDevice(DeviceSearchByLegacyName, name, info);
}

// Removes the host folder of the flash disk, so that only the sectors hold its files.
void ForgetHostFolder(const std::filesystem::path& module) {
  std::error_code code;
  std::filesystem::remove_all(module / "files" / "Flash Disk", code);
  ASSERT_FALSE(std::filesystem::exists(module / "files" / "Flash Disk"));
}

// ---------------------------------------------------------------------------------------------
// The OS at boot, on every preset
// ---------------------------------------------------------------------------------------------
class StorageBootTest : public ModuleTest, public ::testing::WithParamInterface<const char*> {
 protected:
  std::string Preset() const override { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Presets, StorageBootTest,
                         ::testing::Values("pxa270-32m", "pxa270-64m", "pxa320", "pxa300",
                                           "pxa310"),
                         testing_support::PresetName());

TEST_P(StorageBootTest, FlashDiskOfThePreset_IsMountedWithItsFiles) {
  sim::PresetSpec presetSpec;
  std::string error;
  ASSERT_TRUE(sim::FindPreset(GetParam(), 0, &presetSpec, &error));
  // What the preset's layout implies: the file system behind the registry's two halves, to the
  // end of the flash the OS driver serves.
  const sim::PresetLayout layout = sim::LayoutForPreset(presetSpec);
  const std::uint32_t memBase = layout.registryOffset + 2 * layout.registryHalf;
  std::uint32_t flashEnd = presetSpec.norSize;
  std::uint32_t blockSize = 0x40000;  // two 128 KiB chip blocks side by side
  std::uint32_t sectorSize = 512;
  if (!presetSpec.nor) {
    const sim::NandChip* chip = sim::FindNandChip(presetSpec.nandChipId);
    ASSERT_NE(chip, nullptr);
    blockSize = sim::kNandBlockBytes;
    flashEnd = (chip->blocks - chip->blocks * 2 / 100) * blockSize;
    sectorSize = sim::kNandPageBytes;
  }
  const std::string key = presetSpec.name == "pxa300" ? "HKLM\\Drivers\\BlockDevice\\StrataFMD"
                                                      : "HKLM\\Drivers\\BuiltIn\\StrataFMD";
  std::uint32_t value = 0;
  ASSERT_TRUE(sim::RegistryGetDword(key, "MemBase", &value));
  EXPECT_EQ(value, memBase);
  ASSERT_TRUE(sim::RegistryGetDword(key, "MemLen", &value));
  EXPECT_EQ(value, flashEnd - memBase);
  ASSERT_TRUE(sim::RegistryGetDword(key, "BlockSize", &value));
  EXPECT_EQ(value, blockSize);
  ASSERT_TRUE(sim::RegistryGetDword(key, "SectorSize", &value));
  EXPECT_EQ(value, sectorSize);
  std::string text;
  ASSERT_TRUE(sim::RegistryGetString(key, "Profile", &text));
  ASSERT_TRUE(
      sim::RegistryGetString("HKLM\\System\\StorageManager\\Profiles\\" + text, "Name", &text));
  EXPECT_EQ(text, "Internal Flash");

  const std::vector<sim::StoreState> stores = sim::storage::Stores();
  ASSERT_EQ(stores.size(), 1u);
  EXPECT_EQ(stores[0].deviceName, u"DSK1:");
  EXPECT_EQ(stores[0].storeName, u"Internal Flash");
  EXPECT_EQ(stores[0].geometry.memBase, memBase);
  ASSERT_EQ(stores[0].partitions.size(), 1u);
  EXPECT_EQ(stores[0].partitions[0].entry.sectors, (flashEnd - memBase) / sectorSize - 1);
  EXPECT_TRUE(stores[0].partitions[0].mounted);

  EXPECT_EQ(ReadText(u"\\Flash Disk\\Config\\network.ini").rfind("[Ethernet]", 0), 0u);
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk\\Data\\calibration.dat"),
            FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk\\Logs"), FILE_ATTRIBUTE_DIRECTORY);

  // The storage manager's own block driver is no device of the device manager.
  DEVMGR_DEVICE_INFORMATION info;
  HANDLE search = FindDevice(u"DSK1:", &info);
  if (presetSpec.name == "pxa300") {
    EXPECT_EQ(search, INVALID_HANDLE_VALUE);
  } else {
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(info.szLegacyName), u"DSK1:");
    EXPECT_EQ(std::u16string(info.szDeviceName), u"$device\\DSK1");
    EXPECT_FALSE(FindNextDevice(search, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(FindClose(search));
  }
}

// ---------------------------------------------------------------------------------------------
// The mounted flash disk
// ---------------------------------------------------------------------------------------------
class FlashDiskTest : public ModuleTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
};

TEST_F(FlashDiskTest, Search_ShowsTheVolumeFolderAndNeverDotEntries) {
  WIN32_FIND_DATAW data{};
  HANDLE search = FindFirstFileW(u"\\Flash Disk", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u"Flash Disk");
  EXPECT_NE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_TRUE(FindClose(search));
  std::vector<std::u16string> names;
  std::vector<std::u16string> folders = {u"\\Flash Disk"};
  while (!folders.empty()) {
    const std::u16string folder = folders.back();
    folders.pop_back();
    search = FindFirstFileW((folder + u"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
      continue;
    }
    do {
      names.push_back(data.cFileName);
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        folders.push_back(folder + u"\\" + data.cFileName);
      }
    } while (FindNextFileW(search, &data));
    FindClose(search);
  }
  EXPECT_EQ(names.size(), 7u);  // 3 folders, 4 files
  for (const std::u16string& name : names) {
    EXPECT_NE(name, u".");
    EXPECT_NE(name, u"..");
  }
}

TEST_F(FlashDiskTest, FreeSpace_FollowsThePartitionAndWhatTheFilesTake) {
  ULARGE_INTEGER available{};
  ULARGE_INTEGER total{};
  ULARGE_INTEGER free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"\\Flash Disk", &available, &total, &free));
  const std::uint64_t partitionBytes = (0xB80000 / 512 - 1) * 512ull;
  EXPECT_EQ(total.QuadPart, partitionBytes);
  EXPECT_LT(free.QuadPart, total.QuadPart);
  HANDLE file =
      CreateFileW(u"\\Flash Disk\\new.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::vector<std::uint8_t> bytes(10000, 0x42);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, bytes.data(), 10000, &written, nullptr));
  ULARGE_INTEGER after{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"\\Flash Disk", nullptr, nullptr, &after));
  // The volume's sectors hold its entries and contents packed: 10000 bytes and the entry
  // (36 bytes and the name), to within the one sector that the rounding moves.
  const std::int64_t taken = static_cast<std::int64_t>(free.QuadPart - after.QuadPart);
  EXPECT_LT(std::abs(taken - (10000 + 36 + 14)), 512);
  // What does not fit is refused whole.
  std::vector<std::uint8_t> huge(static_cast<std::size_t>(after.QuadPart) + 1, 0x42);
  EXPECT_FALSE(WriteFile(file, huge.data(), static_cast<DWORD>(huge.size()), &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_TRUE(CloseHandle(file));
}

class FlashDiskResetTest : public ModuleTest, public ::testing::WithParamInterface<const char*> {
 protected:
  std::string Preset() const override { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(NorAndNand, FlashDiskResetTest, ::testing::Values("pxa270-32m", "pxa320"),
                         testing_support::PresetName());

TEST_P(FlashDiskResetTest, FilesComeBackFromTheSectorsAfterAReset) {
  ASSERT_TRUE(CreateDirectoryW(u"\\Flash Disk\\Keep", nullptr));
  ASSERT_TRUE(SetFileAttributesW(u"\\Flash Disk\\Keep", FILE_ATTRIBUTE_HIDDEN));
  HANDLE file = CreateFileW(u"\\Flash Disk\\Keep\\odd.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string content(3001, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) {
    content[i] = static_cast<char>(i * 31 + 7);
  }
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, content.data(), 3001, &written, nullptr));
  const FILETIME created = sim::ToFileTime(127000000000000000ull);
  const FILETIME accessed = sim::ToFileTime(127000000100000000ull);
  const FILETIME changed = sim::ToFileTime(127000000200000000ull);
  ASSERT_TRUE(SetFileTime(file, &created, &accessed, &changed));
  ASSERT_TRUE(CloseHandle(file));
  ASSERT_TRUE(SetFileAttributesW(u"\\Flash Disk\\Keep\\odd.bin", FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(DeleteFileW(u"\\Flash Disk\\Readme.txt"));
  WIN32_FIND_DATAW before[2]{};
  for (int i = 0; i < 2; ++i) {
    HANDLE search = FindFirstFileW(i == 0 ? u"\\Flash Disk\\Keep" : u"\\Flash Disk", &before[i]);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
  }

  sim::Detach();
  ForgetHostFolder(ModuleDirectory());
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;

  EXPECT_EQ(ReadText(u"\\Flash Disk\\Keep\\odd.bin"), content);
  EXPECT_FALSE(Exists(u"\\Flash Disk\\Readme.txt"));
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk\\Keep\\odd.bin"), FILE_ATTRIBUTE_READONLY);
  WIN32_FIND_DATAW data{};
  HANDLE search = FindFirstFileW(u"\\Flash Disk\\Keep\\odd.bin", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  EXPECT_EQ(sim::FromFileTime(data.ftCreationTime), sim::FromFileTime(created));
  EXPECT_EQ(sim::FromFileTime(data.ftLastAccessTime), sim::FromFileTime(accessed));
  EXPECT_EQ(sim::FromFileTime(data.ftLastWriteTime), sim::FromFileTime(changed));
  for (int i = 0; i < 2; ++i) {
    search = FindFirstFileW(i == 0 ? u"\\Flash Disk\\Keep" : u"\\Flash Disk", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_EQ(data.dwFileAttributes, before[i].dwFileAttributes) << i;
    EXPECT_EQ(sim::FromFileTime(data.ftCreationTime), sim::FromFileTime(before[i].ftCreationTime))
        << i;
    EXPECT_EQ(sim::FromFileTime(data.ftLastWriteTime), sim::FromFileTime(before[i].ftLastWriteTime))
        << i;
  }
}

// The sectors follow the folder at every flush point (opening the store, detaching), however
// the folder changed: an edit on the host that keeps the file's length, seen while its times are
// fresh and again once they have settled, and sectors erased under a folder that did not change.
TEST_P(FlashDiskResetTest, HostEditsAndErasedSectors_AreBroughtTogetherAtTheNextFlush) {
  const std::filesystem::path readme = Machine().FilesDirectory() / "Flash Disk" / "Readme.txt";
  const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
  const auto resetAndAttach = [&] {
    sim::Detach();
    ForgetHostFolder(ModuleDirectory());
    std::string error;
    ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
    ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  };
  std::string original;
  ASSERT_TRUE(sim::ReadWholeFile(readme, &original));
  settle();
  Reattach();  // the folder and the sectors agree, and the folder has settled
  for (const bool settled : {false, true}) {
    std::string edited = original;
    edited[0] = settled ? 'S' : 'F';  // the same length, the same name
    std::string error;
    ASSERT_TRUE(sim::WriteWholeFile(readme, edited, &error)) << error;
    if (settled) {
      settle();
    }
    Reattach();
    resetAndAttach();
    EXPECT_EQ(ReadText(u"\\Flash Disk\\Readme.txt"), edited) << "settled " << settled;
    settle();
    Reattach();
  }

  HANDLE store = OpenStore(u"DSK1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  STOREINFO info{};
  ASSERT_TRUE(GetStoreInfo(store, &info));
  CloseHandle(store);
  sim::Json described;
  for (sim::Component* component : sim::AllComponents()) {
    component->Describe(Machine(), described);
  }
  const auto memBase = static_cast<std::uint32_t>(
      std::stoul(described["storage"]["stores"][0]["memBase"].get<std::string>(), nullptr, 16));
  sim::OsFlash* flash = sim::CurrentOsFlash();
  ASSERT_NE(flash, nullptr);
  // The volume's sectors erased, the partition table in the store's first sector kept.
  std::vector<std::uint8_t> table(info.dwBytesPerSector);
  ASSERT_TRUE(sim::PeekFlash(memBase, table.data(), info.dwBytesPerSector));
  for (std::uint32_t at = memBase; at < memBase + 4 * flash->BlockSize(memBase);
       at += flash->BlockSize(at)) {
    ASSERT_TRUE(flash->EraseBlock(at));
  }
  ASSERT_TRUE(flash->Program(memBase, table.data(), info.dwBytesPerSector));
  const std::string expected = ReadText(u"\\Flash Disk\\Readme.txt");
  Reattach();
  resetAndAttach();
  EXPECT_EQ(ReadText(u"\\Flash Disk\\Readme.txt"), expected);
}

// The sectors in use follow every program and erase at once, also where the flash's file has
// data that reads erased (a sector programmed with 0xFF) and where a block was erased again.
TEST_P(FlashDiskResetTest, SectorsInUse_FollowEveryProgramAndEraseAtOnce) {
  HANDLE store = OpenStore(u"DSK1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  STOREINFO info{};
  ASSERT_TRUE(GetStoreInfo(store, &info));
  sim::Json described;
  for (sim::Component* component : sim::AllComponents()) {
    component->Describe(Machine(), described);
  }
  const auto memBase = static_cast<std::uint32_t>(
      std::stoul(described["storage"]["stores"][0]["memBase"].get<std::string>(), nullptr, 16));
  const std::vector<DWORD> before = SectorsInUse(store, info.snNumSectors);
  ASSERT_FALSE(before.empty());
  sim::OsFlash* flash = sim::CurrentOsFlash();
  ASSERT_NE(flash, nullptr);
  const DWORD sectorSize = info.dwBytesPerSector;
  const auto last = static_cast<DWORD>(info.snNumSectors - 1);
  const std::uint32_t lastOffset = memBase + last * sectorSize;
  const std::uint32_t blockSize = flash->BlockSize(lastOffset);
  const std::uint32_t blockOffset = lastOffset / blockSize * blockSize;
  const DWORD blockFirst = (blockOffset - memBase) / sectorSize;
  ASSERT_TRUE(before.back() < blockFirst) << "the store's last block holds data";

  std::vector<std::uint8_t> sector(sectorSize, 0xFF);
  ASSERT_TRUE(flash->Program(blockOffset, sector.data(), sectorSize));  // programmed, erased
  sector[sectorSize - 1] = 0x7F;  // one bit at the sector's end
  ASSERT_TRUE(flash->Program(lastOffset, sector.data(), sectorSize));
  std::vector<DWORD> expected = before;
  expected.push_back(last);
  EXPECT_EQ(SectorsInUse(store, info.snNumSectors), expected);
  std::uint32_t storeId = 0;
  ASSERT_EQ(sim::storage::OpenStoreByName(u"DSK1:", &storeId), ERROR_SUCCESS);
  EXPECT_EQ(sim::storage::SectorsInUse(storeId), expected.size());

  ASSERT_TRUE(flash->EraseBlock(blockOffset));
  EXPECT_EQ(SectorsInUse(store, info.snNumSectors), before);
  ASSERT_TRUE(flash->Program(lastOffset, sector.data(), sectorSize));
  EXPECT_EQ(SectorsInUse(store, info.snNumSectors), expected);

  // Answers that share the caller's buffer with the numbers: in place, and one word behind
  // them (each answer lands on the next number before that number is looked up).
  const auto count = static_cast<DWORD>(info.snNumSectors);
  for (const DWORD shift : {0u, 1u}) {
    std::vector<DWORD> words(count + shift);
    for (DWORD i = 0; i < count; ++i) {
      words[i] = i;
    }
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, words.data(), count * 4,
                                words.data() + shift, count * 4, &returned, nullptr));
    std::vector<DWORD> used;
    for (DWORD i = 0; i < count; ++i) {
      if (words[i + shift] != 0xFFFFFFFFu) {
        used.push_back(i);
      }
    }
    EXPECT_EQ(used, expected) << "answers " << shift << " words behind the numbers";
  }
  CloseHandle(store);
}

TEST_F(FlashDiskTest, SectorCopyOfTheStore_BringsTheFilesBackAndFormattingLosesThem) {
  HANDLE store = OpenStore(u"DSK1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  STOREINFO info{};
  ASSERT_TRUE(GetStoreInfo(store, &info));
  const std::vector<DWORD> used = SectorsInUse(store, info.snNumSectors);
  ASSERT_FALSE(used.empty());
  std::vector<std::vector<std::uint8_t>> saved;
  for (const DWORD sector : used) {
    saved.emplace_back(512);
    ASSERT_TRUE(Transfer(store, IOCTL_DISK_READ, sector, 1, saved.back().data(), 512));
  }
  ASSERT_TRUE(DismountStore(store));
  ASSERT_TRUE(FormatStore(store));
  EXPECT_TRUE(SectorsInUse(store, info.snNumSectors).empty());
  ASSERT_TRUE(CloseHandle(store));
  std::string error;
  sim::Detach();
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  // The OS found an empty store, partitioned and formatted it.
  EXPECT_TRUE(Exists(u"\\Flash Disk"));
  EXPECT_FALSE(Exists(u"\\Flash Disk\\Readme.txt"));

  store = OpenStore(u"DSK1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(DismountStore(store));
  ASSERT_TRUE(FormatStore(store));
  for (std::size_t i = 0; i < used.size(); ++i) {
    ASSERT_TRUE(Transfer(store, IOCTL_DISK_WRITE, used[i], 1, saved[i].data(), 512));
  }
  EXPECT_EQ(SectorsInUse(store, info.snNumSectors), used);
  ASSERT_TRUE(CloseHandle(store));
  sim::Detach();
  ForgetHostFolder(ModuleDirectory());
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_EQ(ReadText(u"\\Flash Disk\\Readme.txt").rfind("This flash disk", 0), 0u);
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk\\Data\\calibration.dat"),
            FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(FlashDiskTest, AnotherProcess_SeesTheSameVolumeWithoutRewritingIt) {
  HANDLE file =
      CreateFileW(u"\\Flash Disk\\shared.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "abc", 3, &written, nullptr));
  ASSERT_TRUE(CloseHandle(file));
  const auto host = ModuleDirectory() / "files" / "Flash Disk" / "shared.txt";
  struct stat before {};
  ASSERT_EQ(::stat(host.c_str(), &before), 0);
  const std::uint64_t clock = Machine().Clock().Now();
  Reattach();
  EXPECT_EQ(ReadText(u"\\Flash Disk\\shared.txt"), "abc");
  EXPECT_TRUE(sim::storage::Stores().at(0).partitions.at(0).mounted);
  // The volume was written back when the first process left (the chips' time), and the new
  // process took the mounted volume as it is.
  EXPECT_GT(Machine().Clock().Now(), clock);
  struct stat after {};
  ASSERT_EQ(::stat(host.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
}

// ---------------------------------------------------------------------------------------------
// Device manager
// ---------------------------------------------------------------------------------------------
class DeviceManagerTest : public ModuleTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
  HANDLE Device() {
    DEVMGR_DEVICE_INFORMATION info;
    HANDLE search = FindDevice(u"DSK1:", &info);
    EXPECT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    return info.hDevice;
  }
  // A driver key of the program's kind: the OS driver's values, and a profile.
  void WriteKey(const std::string& key, const char* profile) {
    ASSERT_TRUE(sim::RegistrySetString(key, "Dll", sim::kFlashDriverDll));
    ASSERT_TRUE(sim::RegistrySetString(key, "Prefix", "DSK"));
    ASSERT_TRUE(sim::RegistrySetString(key, "Profile", profile));
    ASSERT_TRUE(sim::RegistrySetString(key, "IClass", "{A4E7EDDA-E575-4252-9D6B-4195D48BB865}"));
    for (const char* name : {"MemBase", "MemLen", "BlockSize", "SectorSize"}) {
      std::uint32_t value = 0;
      ASSERT_TRUE(sim::RegistryGetDword(kDriverKey, name, &value));
      ASSERT_TRUE(sim::RegistrySetDword(key, name, value));
    }
  }
};

TEST_F(DeviceManagerTest, Deactivation_DismountsAndActivationWaitsForTheUnloadDelay) {
  HANDLE device = Device();
  ASSERT_TRUE(DeactivateDevice(device));
  EXPECT_FALSE(Exists(u"\\Flash Disk"));
  EXPECT_EQ(OpenStore(u"DSK1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_AVAILABLE));
  EXPECT_FALSE(DeactivateDevice(device));  // gone already

  // Until the delay has passed, the old store holds the flash.
  Sleep(kUnloadDelay - 1);
  EXPECT_EQ(ActivateDeviceEx(u"Drivers\\BuiltIn\\StrataFMD", nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
  Sleep(1);
  HANDLE again = ActivateDeviceEx(u"Drivers\\BuiltIn\\StrataFMD", nullptr, 0, nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadText(u"\\Flash Disk\\Readme.txt").rfind("This flash disk", 0), 0u);
  const auto stores = sim::storage::Stores();
  ASSERT_EQ(stores.size(), 1u);
  EXPECT_EQ(stores[0].deviceName, u"DSK1:");
}

TEST_F(DeviceManagerTest, ActivatedKey_NamesItsStoreByProfileAndMountsAsAutoMountSays) {
  ASSERT_TRUE(DeactivateDevice(Device()));
  Sleep(kUnloadDelay);
  const std::string profile = "HKLM\\System\\StorageManager\\Profiles\\FlashDisk";
  for (const std::uint32_t autoMount : {0u, 1u}) {
    SCOPED_TRACE(autoMount);
    ASSERT_TRUE(sim::RegistrySetDword(profile, "AutoMount", autoMount));
    WriteKey("HKLM\\Drivers\\BuiltIn\\FWLFMD", "FlashDisk");
    HANDLE device = ActivateDeviceEx(u"Drivers\\BuiltIn\\FWLFMD", nullptr, 0, nullptr);
    ASSERT_NE(device, nullptr);
    const auto stores = sim::storage::Stores();
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(stores[0].storeName, u"Internal Flash");
    ASSERT_EQ(stores[0].partitions.size(), 1u);
    EXPECT_EQ(stores[0].partitions[0].mounted, autoMount != 0);
    EXPECT_EQ(Exists(u"\\Flash Disk\\Readme.txt"), autoMount != 0);
    ASSERT_TRUE(DeactivateDevice(device));
    Sleep(kUnloadDelay);
  }
}

TEST_F(DeviceManagerTest, SecondInstanceOfOneKey_SharesTheFlashAnotherKeyDoesNot) {
  // Over the OS driver's attached store, a driver from another key stays off the flash.
  WriteKey("HKLM\\Drivers\\BuiltIn\\FWLFMD", "FlashDisk");
  EXPECT_EQ(ActivateDeviceEx(u"Drivers\\BuiltIn\\FWLFMD", nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
  ASSERT_TRUE(DeactivateDevice(Device()));
  Sleep(kUnloadDelay);
  // A key activated twice gives two instances, each with a store of its own.
  HANDLE first = ActivateDeviceEx(u"Drivers\\BuiltIn\\FWLFMD", nullptr, 0, nullptr);
  ASSERT_NE(first, nullptr);
  HANDLE second = ActivateDeviceEx(u"Drivers\\BuiltIn\\FWLFMD", nullptr, 0, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  const auto stores = sim::storage::Stores();
  ASSERT_EQ(stores.size(), 2u);
  EXPECT_EQ(stores[0].deviceName, u"DSK1:");
  EXPECT_EQ(stores[1].deviceName, u"DSK2:");
  EXPECT_EQ(stores[1].storeName, u"Internal Flash");
}

TEST_F(DeviceManagerTest, KeysTheDriverCannotServe_AreRefused) {
  ASSERT_TRUE(DeactivateDevice(Device()));
  Sleep(kUnloadDelay);
  struct Case {
    const char* name;
    std::function<void(const std::string&)> spoil;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"no key", [](const std::string& key) { sim::RegistryDeleteKey(key); }, ERROR_FILE_NOT_FOUND},
      {"another driver",
       [](const std::string& key) { sim::RegistrySetString(key, "Dll", "serial.dll"); },
       ERROR_FILE_NOT_FOUND},
      {"block size",
       [](const std::string& key) { sim::RegistrySetDword(key, "BlockSize", 0x20000); },
       ERROR_INVALID_PARAMETER},
      {"past the flash",
       [](const std::string& key) { sim::RegistrySetDword(key, "MemLen", 0x1000000); },
       ERROR_INVALID_PARAMETER},
      {"sector size", [](const std::string& key) { sim::RegistrySetDword(key, "SectorSize", 300); },
       ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteKey("HKLM\\Drivers\\BuiltIn\\Test", "FlashDisk");
    c.spoil("HKLM\\Drivers\\BuiltIn\\Test");
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\BuiltIn\\Test", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_TRUE(sim::storage::Stores().empty());
  }
}

class BlockDeviceTest : public ModuleTest {
 protected:
  std::string Preset() const override { return "pxa300"; }
};

TEST_F(BlockDeviceTest, WithdrawnInterface_DetachesTheStoreAndItComesBackAfterTheDelay) {
  // The store's driver is the storage manager's own: the device manager does not know it.
  DEVMGR_DEVICE_INFORMATION info;
  EXPECT_EQ(FindDevice(u"DSK1:", &info), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(AdvertiseInterface(&BLOCK_DRIVER_GUID, u"DSK1:", TRUE));
  EXPECT_TRUE(Exists(u"\\Flash Disk\\Readme.txt"));
  EXPECT_TRUE(AdvertiseInterface(&BLOCK_DRIVER_GUID, u"DSK1:", FALSE));
  EXPECT_FALSE(Exists(u"\\Flash Disk"));
  // Announced again too soon, the old store is still unloading.
  EXPECT_TRUE(AdvertiseInterface(&BLOCK_DRIVER_GUID, u"DSK1:", TRUE));
  EXPECT_FALSE(Exists(u"\\Flash Disk"));
  Sleep(kUnloadDelay);
  EXPECT_TRUE(AdvertiseInterface(&BLOCK_DRIVER_GUID, u"DSK1:", TRUE));
  EXPECT_TRUE(Exists(u"\\Flash Disk\\Readme.txt"));
}

// ---------------------------------------------------------------------------------------------
// Fault plan: every kind surfaces as the platform's failure result
// ---------------------------------------------------------------------------------------------
struct FaultCase {
  const char* name;
  sim::Json item;
  // Runs the call that meets the fault; returns the error it reported (0: it did not fail).
  std::function<DWORD()> provoke;
  DWORD error;
};

DWORD ErrorOf(bool failed) { return failed ? GetLastError() : 0; }

HANDLE OpenPart00(HANDLE* store) {
  *store = OpenStore(u"DSK1:");
  return Export<OpenPartitionFn>("OpenPartition")(*store, u"Part00");
}

const std::vector<FaultCase>& FaultCases() {
  static const std::vector<FaultCase> cases = {
      {"deactivation", faults::Call{.name = "DeactivateDevice"},
       [] {
         DEVMGR_DEVICE_INFORMATION info;
         FindDevice(u"DSK1:", &info);
         const DWORD error = ErrorOf(!DeactivateDevice(info.hDevice));
         EXPECT_TRUE(Exists(u"\\Flash Disk"));
         return error;
       },
       ERROR_GEN_FAILURE},
      {"activation", faults::Call{.name = "ActivateDeviceEx", .error = 5},
       [] {
         return ErrorOf(ActivateDeviceEx(u"Drivers\\BuiltIn\\StrataFMD", nullptr, 0, nullptr) ==
                        nullptr);
       },
       ERROR_ACCESS_DENIED},
      {"withdrawal after an announcement", faults::Call{.name = "AdvertiseInterface", .skip = 1},
       [] {
         EXPECT_TRUE(AdvertiseInterface(&BLOCK_DRIVER_GUID, u"DSK1:", TRUE));
         const DWORD error = ErrorOf(!AdvertiseInterface(&BLOCK_DRIVER_GUID, u"DSK1:", FALSE));
         EXPECT_TRUE(Exists(u"\\Flash Disk"));
         return error;
       },
       ERROR_GEN_FAILURE},
      {"store dismount", faults::StorageStore{.fail = "dismount"},
       [] {
         const DWORD error = ErrorOf(!DismountStore(OpenStore(u"DSK1:")));
         EXPECT_TRUE(Exists(u"\\Flash Disk"));
         return error;
       },
       ERROR_GEN_FAILURE},
      {"store format", faults::StorageStore{.fail = "format", .device = "dsk1:", .error = 29},
       [] {
         HANDLE store = OpenStore(u"DSK1:");
         EXPECT_TRUE(DismountStore(store));
         const DWORD error = ErrorOf(!FormatStore(store));
         STOREINFO info{};
         EXPECT_TRUE(GetStoreInfo(store, &info));
         EXPECT_EQ(info.dwPartitionCount, 1u);
         return error;
       },
       ERROR_WRITE_FAULT},
      {"partition creation", faults::Call{.name = "CreatePartitionEx"},
       [] {
         HANDLE store = OpenStore(u"DSK1:");
         return ErrorOf(!Export<CreatePartitionExFn>("CreatePartitionEx")(store, u"P", 0x0C, 1));
       },
       ERROR_GEN_FAILURE},
      {"partition open", faults::Call{.name = "OpenPartition"},
       [] {
         HANDLE store = nullptr;
         return ErrorOf(OpenPart00(&store) == INVALID_HANDLE_VALUE);
       },
       ERROR_GEN_FAILURE},
      {"partition format", faults::Call{.name = "FormatPartition"},
       [] {
         HANDLE store = nullptr;
         HANDLE partition = OpenPart00(&store);
         EXPECT_TRUE(DismountStore(store));
         return ErrorOf(!Export<FormatPartitionFn>("FormatPartition")(partition));
       },
       ERROR_GEN_FAILURE},
      {"partition mount", faults::Call{.name = "MountPartition"},
       [] {
         HANDLE store = nullptr;
         HANDLE partition = OpenPart00(&store);
         EXPECT_TRUE(DismountStore(store));
         const DWORD error = ErrorOf(!Export<MountPartitionFn>("MountPartition")(partition));
         EXPECT_FALSE(Exists(u"\\Flash Disk"));
         return error;
       },
       ERROR_GEN_FAILURE},
      {"partition attributes", faults::Call{.name = "SetPartitionAttributes"},
       [] {
         HANDLE store = nullptr;
         HANDLE partition = OpenPart00(&store);
         return ErrorOf(!Export<SetPartitionAttributesFn>("SetPartitionAttributes")(partition, 0));
       },
       ERROR_GEN_FAILURE},
      {"partition search", faults::Call{.name = "FindFirstPartition"},
       [] {
         PARTINFO info{};
         info.cbSize = sizeof(info);
         return ErrorOf(Export<FindFirstPartitionFn>("FindFirstPartition")(
                            OpenStore(u"DSK1:"), &info) == INVALID_HANDLE_VALUE);
       },
       ERROR_GEN_FAILURE},
      {"file creation", faults::StorageFile{.path = "\\flash disk\\*.TXT"},
       [] {
         // Opening the existing file is no creation; replacing it is.
         EXPECT_EQ(ReadText(u"\\Flash Disk\\Readme.txt").rfind("This", 0), 0u);
         const DWORD error =
             ErrorOf(CreateFileW(u"\\Flash Disk\\Readme.txt", GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, 0, nullptr) == INVALID_HANDLE_VALUE);
         EXPECT_EQ(ReadText(u"\\Flash Disk\\Readme.txt").rfind("This", 0), 0u);
         EXPECT_FALSE(Exists(u"\\Flash Disk\\new.txt") ||
                      CreateFileW(u"\\Flash Disk\\new.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  0, nullptr) != INVALID_HANDLE_VALUE);
         return error;
       },
       ERROR_ACCESS_DENIED},
      {"sector read", faults::StorageSector{.operation = "read", .sector = 5},
       [] {
         HANDLE store = OpenStore(u"DSK1:");
         std::vector<std::uint8_t> buffer(4 * 512);
         EXPECT_TRUE(Transfer(store, IOCTL_DISK_READ, 0, 4, buffer.data(), 512));
         SG_REQ request{};
         const DWORD error =
             ErrorOf(!Transfer(store, IOCTL_DISK_READ, 2, 4, buffer.data(), 512, &request));
         EXPECT_EQ(request.sr_status, error);
         return error;
       },
       ERROR_READ_FAULT},
      {"sector write", faults::StorageSector{.operation = "write", .error = 31},
       [] {
         HANDLE store = OpenStore(u"DSK1:");
         std::vector<std::uint8_t> buffer(512, 0);
         const DWORD error =
             ErrorOf(!Transfer(store, IOCTL_DISK_WRITE, 20000, 1, buffer.data(), 512));
         EXPECT_TRUE(Transfer(store, IOCTL_DISK_READ, 20000, 1, buffer.data(), 512));
         EXPECT_EQ(buffer, std::vector<std::uint8_t>(512, 0xFF));  // nothing written
         return error;
       },
       ERROR_GEN_FAILURE},
  };
  return cases;
}

class StorageFaultTest : public ModuleTest, public ::testing::WithParamInterface<std::size_t> {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
};
INSTANTIATE_TEST_SUITE_P(Kinds, StorageFaultTest,
                         ::testing::Range<std::size_t>(0, FaultCases().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return testing_support::ParamName(FaultCases()[info.param].name);
                         });

TEST_P(StorageFaultTest, SurfacesAsTheCallsFailure) {
  const FaultCase& c = FaultCases()[GetParam()];
  Machine().Faults().Add(c.item);
  EXPECT_EQ(c.provoke(), c.error);
}

// ---------------------------------------------------------------------------------------------
// What flashwick-module info shows
// ---------------------------------------------------------------------------------------------
TEST_F(FlashDiskTest, Describe_ShowsStorePartitionFolderAndSectorsInUse) {
  sim::Json info;
  for (sim::Component* component : sim::AllComponents()) {
    component->Describe(Machine(), info);
  }
  const sim::Json& store = info["storage"]["stores"][0];
  EXPECT_EQ(store["device"], "DSK1:");
  EXPECT_EQ(store["name"], "Internal Flash");
  EXPECT_EQ(store["memBase"], "0x1480000");
  EXPECT_EQ(store["partitions"][0]["folder"], "\\Flash Disk");
  HANDLE handle = OpenStore(u"DSK1:");
  STOREINFO storeInfo{};
  ASSERT_TRUE(GetStoreInfo(handle, &storeInfo));
  EXPECT_EQ(store["sectorsInUse"], SectorsInUse(handle, storeInfo.snNumSectors).size());
  EXPECT_EQ(info["storage"]["drivers"][0]["loadedBy"], "device manager");
}

}  // namespace
