// The module's storage manager as the program reaches it: by name from "coredll.dll" on a
// Windows CE 6 module, through the implicit system calls and "\StoreMgr" on a Windows CE 5 one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/storage.h"
#include "sim/base/utf.h"
#include "sim/storage/storage_manager.h"
#include "storage/store_binding.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

using testing_support::TemporaryModule;

std::string Text(const WCHAR* text) { return sim::ToUtf8(text); }

std::string Describe(const STOREINFO& info) {
  return Text(info.szDeviceName) + " \"" + Text(info.szStoreName) +
         "\" profile=" + Text(info.sdi.szProfile) +
         " sectors=" + std::to_string(info.snNumSectors) +
         " bps=" + std::to_string(info.dwBytesPerSector) +
         " free=" + std::to_string(info.snFreeSectors) +
         " biggest=" + std::to_string(info.snBiggestPartCreatable) +
         " attributes=" + std::to_string(info.dwAttributes) +
         " partitions=" + std::to_string(info.dwPartitionCount) +
         " mounts=" + std::to_string(info.dwMountCount);
}

std::string Describe(const PARTINFO& info) {
  return Text(info.szPartitionName) + " fs=" + Text(info.szFileSys) +
         " volume=" + Text(info.szVolumeName) + " sectors=" + std::to_string(info.snNumSectors) +
         " attributes=" + std::to_string(info.dwAttributes) +
         " type=" + std::to_string(info.bPartType);
}

std::string Bool(BOOL result) {
  return result ? "TRUE" : "FALSE/" + std::to_string(GetLastError());
}

std::string Handle(HANDLE handle) {
  return handle != INVALID_HANDLE_VALUE ? "handle" : "invalid/" + std::to_string(GetLastError());
}

// Everything the program's calls answer along a typical sequence, times left out.
std::vector<std::string> Transcript() {
  std::vector<std::string> lines;
  STOREINFO store{};
  store.cbSize = sizeof(store);
  HANDLE search = FindFirstStore(&store);
  lines.push_back("FindFirstStore " + Handle(search) + " " + Describe(store));
  store.cbSize = sizeof(store);
  lines.push_back("FindNextStore " + Bool(FindNextStore(search, &store)));
  lines.push_back("FindCloseStore " + Bool(FindCloseStore(search)));
  lines.push_back("OpenStore(nothing) " + Handle(OpenStore(u"DSK9:")));
  HANDLE handle = OpenStore(u"DSK1:");
  lines.push_back("OpenStore " + Handle(handle));
  auto partitions = [&] {
    PARTINFO part{};
    part.cbSize = sizeof(part);
    HANDLE found = FindFirstPartition(handle, &part);
    lines.push_back("FindFirstPartition " + Handle(found));
    while (found != INVALID_HANDLE_VALUE) {
      lines.push_back("  " + Describe(part));
      part.cbSize = sizeof(part);
      if (!FindNextPartition(found, &part)) {
        lines.push_back("FindNextPartition " + Bool(FALSE));
        lines.push_back("FindClosePartition " + Bool(FindClosePartition(found)));
        break;
      }
    }
    store = STOREINFO{};
    store.cbSize = sizeof(store);
    const std::string result = Bool(GetStoreInfo(handle, &store));
    lines.push_back("GetStoreInfo " + result + " " + Describe(store));
  };
  partitions();
  lines.push_back("FormatStore(mounted) " + Bool(FormatStore(handle)));
  lines.push_back("DismountStore " + Bool(DismountStore(handle)));
  lines.push_back("FormatStore " + Bool(FormatStore(handle)));
  partitions();
  lines.push_back("CreatePartitionEx(too big) " +
                  Bool(CreatePartitionEx(handle, u"Huge", 0x0C, 0x100000005ull)));
  lines.push_back("CreatePartitionEx " + Bool(CreatePartitionEx(handle, u"Part00", 0x0C, 5000)));
  lines.push_back("CreatePartitionEx(same name) " +
                  Bool(CreatePartitionEx(handle, u"PART00", 0x0C, 10)));
  store.cbSize = sizeof(store);
  (void)GetStoreInfo(handle, &store);
  lines.push_back("CreatePartitionEx(rest) " +
                  Bool(CreatePartitionEx(handle, u"Data", 0x0B, store.snBiggestPartCreatable)));
  lines.push_back("OpenPartition(nothing) " + Handle(OpenPartition(handle, u"None")));
  for (const char16_t* name : {u"Part00", u"Data"}) {
    HANDLE partition = OpenPartition(handle, name);
    lines.push_back("OpenPartition " + Handle(partition));
    lines.push_back("MountPartition(unformatted) " + Bool(MountPartition(partition)));
    lines.push_back("FormatPartition " + Bool(FormatPartition(partition)));
    lines.push_back("MountPartition " + Bool(MountPartition(partition)));
    lines.push_back("MountPartition(again) " + Bool(MountPartition(partition)));
    lines.push_back("SetPartitionAttributes " +
                    Bool(SetPartitionAttributes(partition, PARTITION_ATTRIBUTE_ACTIVE)));
    lines.push_back("CloseHandle " + Bool(CloseHandle(partition)));
  }
  partitions();
  lines.push_back("CloseHandle " + Bool(CloseHandle(handle)));
  return lines;
}

std::vector<std::string> TranscriptOn(DWORD osVersion) {
  TemporaryModule module("pxa270-32m");
  sim::Json config;
  std::string error;
  EXPECT_TRUE(sim::LoadModuleConfig(module.Directory(), &config, &error)) << error;
  config["os"]["version"] = osVersion;
  EXPECT_TRUE(sim::WriteWholeFile(module.Directory() / "module.json", config.dump(2), &error));
  EXPECT_TRUE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_EQ(IsOsVersion6(), osVersion == 6);
  std::vector<std::string> lines = Transcript();
  sim::Detach();
  return lines;
}

TEST(StorageBothWays, SameCallsGiveTheSameResults) {
  const std::vector<std::string> ce6 = TranscriptOn(6);
  const std::vector<std::string> ce5 = TranscriptOn(5);
  EXPECT_EQ(ce6, ce5);
  // A few of the answers that both must give.
  const std::string all = [&] {
    std::string text;
    for (const std::string& line : ce6) {
      text += line + "\n";
    }
    return text;
  }();
  EXPECT_NE(all.find("FindFirstStore handle DSK1: \"Internal Flash\" profile=FlashDisk "
                     "sectors=23552 bps=512"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("FormatStore(mounted) FALSE/170"), std::string::npos) << all;
  EXPECT_NE(all.find("GetStoreInfo TRUE DSK1: \"Internal Flash\" profile=FlashDisk "
                     "sectors=23552 bps=512 free=0 biggest=0 attributes=56 partitions=2 mounts=2"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("Part00 fs=FATFS volume=\\Flash Disk sectors=5000 attributes=24 type=12"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("Data fs=FATFS volume=\\Flash Disk2 sectors=18551 attributes=24 type=11"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("CreatePartitionEx(too big) FALSE/112"), std::string::npos) << all;
}

// ---------------------------------------------------------------------------------------------
// Each OS version's own rules
// ---------------------------------------------------------------------------------------------
class StorageOsTest : public testing_support::ModuleTest,
                      public ::testing::WithParamInterface<DWORD> {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
  void Configure(sim::Json& config) override { config["os"]["version"] = GetParam(); }
  void TearDown() override {
    ReleaseStorageLibrary();
    ModuleTest::TearDown();
  }
};
INSTANTIATE_TEST_SUITE_P(Os, StorageOsTest, ::testing::Values(5u, 6u),
                         [](const auto& info) { return "Ce" + std::to_string(info.param); });

TEST_P(StorageOsTest, LongDeviceName_IsCutToFitThePathOnCe5) {
  const std::u16string name(300, u'A');
  Machine().Calls().Enable(true);
  EXPECT_EQ(OpenStore(name.c_str()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const auto opens = Machine().Calls().Entries("OpenStore");
  ASSERT_EQ(opens.size(), 1u);
  // The storage manager sees "\StoreMgr\" + 245 units on CE 5, the whole name on CE 6.
  EXPECT_EQ(opens[0].input.size(), GetParam() == 5 ? 245u : 300u);
  if (GetParam() == 5) {
    const auto creates = Machine().Calls().Entries("CreateFileW");
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(std::string(creates[0].input.begin(), creates[0].input.end()),
              "\\StoreMgr\\" + std::string(245, 'A'));
  }
}

TEST_P(StorageOsTest, SectorCountAbove32Bits_ReachesTheStoreWhole) {
  HANDLE store = OpenStore(u"DSK1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  Machine().Calls().Enable(true);
  EXPECT_FALSE(CreatePartitionEx(store, u"Big", 0x0C, 0x100000005ull));
  const auto calls = Machine().Calls().Entries("CreatePartitionEx");
  ASSERT_EQ(calls.size(), 1u);
  // The sector count the storage manager rebuilt from the high and low words on CE 5.
  EXPECT_EQ(calls[0].args[2], 0x100000005ull);
  EXPECT_TRUE(CloseHandle(store));
}

TEST_P(StorageOsTest, BoolResultOfTwo_IsFalseOnlyOnCe5) {
  // The storage manager does the work and answers 2: CE 5's calls are normalised, CE 6's
  // results are passed on.
  for (const char* call : {"DismountStore", "FindCloseStore", "MountPartition"}) {
    Machine().Faults().Add(faults::StorageResult{.call = call, .value = 2});
  }
  HANDLE store = OpenStore(u"DSK1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  const BOOL expected = GetParam() == 5 ? FALSE : 2;
  EXPECT_EQ(DismountStore(store), expected);
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk"), INVALID_FILE_ATTRIBUTES);  // the work was done
  STOREINFO info{};
  info.cbSize = sizeof(info);
  HANDLE search = FindFirstStore(&info);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FindCloseStore(search), expected);
  HANDLE partition = OpenPartition(store, u"Part00");
  ASSERT_NE(partition, INVALID_HANDLE_VALUE);
  EXPECT_EQ(MountPartition(partition), expected);
  EXPECT_NE(GetFileAttributesW(u"\\Flash Disk"), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(CloseHandle(partition));
  EXPECT_TRUE(CloseHandle(store));
}

// CE 6 only: CE 5 reaches the storage manager without names.
class StorageCe6Test : public testing_support::ModuleTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
  void Configure(sim::Json& config) override { config["os"]["version"] = 6; }
  void TearDown() override {
    ReleaseStorageLibrary();
    ModuleTest::TearDown();
  }
};

TEST_F(StorageCe6Test, UnresolvableName_GivesTheFailureResultAndHoldsTheLibrary) {
  struct Case {
    const char* name;
    std::function<bool()> failed;  // the call, with the unresolved-name result
  };
  HANDLE store = OpenStore(u"DSK1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  STOREINFO info{};
  info.cbSize = sizeof(info);
  PARTINFO part{};
  part.cbSize = sizeof(part);
  const HANDLE bad = INVALID_HANDLE_VALUE;
  const std::vector<Case> cases = {
      {"OpenStore", [] { return OpenStore(u"DSK1:") == INVALID_HANDLE_VALUE; }},
      {"DismountStore", [&] { return DismountStore(store) == FALSE; }},
      {"FormatStore", [&] { return FormatStore(store) == FALSE; }},
      {"FindFirstStore", [&] { return FindFirstStore(&info) == INVALID_HANDLE_VALUE; }},
      {"FindNextStore", [&] { return FindNextStore(bad, &info) == FALSE; }},
      {"FindCloseStore", [&] { return FindCloseStore(bad) == FALSE; }},
      {"GetStoreInfo", [&] { return GetStoreInfo(store, &info) == FALSE; }},
      {"CreatePartitionEx", [&] { return CreatePartitionEx(store, u"X", 0x0C, 1) == FALSE; }},
      {"OpenPartition", [&] { return OpenPartition(store, u"Part00") == INVALID_HANDLE_VALUE; }},
      {"MountPartition", [&] { return MountPartition(bad) == FALSE; }},
      {"SetPartitionAttributes", [&] { return SetPartitionAttributes(bad, 0) == FALSE; }},
      {"FormatPartition", [&] { return FormatPartition(bad) == FALSE; }},
      {"FindFirstPartition",
       [&] { return FindFirstPartition(store, &part) == INVALID_HANDLE_VALUE; }},
      {"FindNextPartition", [&] { return FindNextPartition(bad, &part) == FALSE; }},
      {"FindClosePartition", [&] { return FindClosePartition(bad) == FALSE; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine().Faults().Add(faults::Call{.name = std::string("GetProcAddressW/") + c.name});
    Machine().Calls().Clear();
    Machine().Calls().Enable(true);
    EXPECT_TRUE(c.failed());
    // The storage manager never saw the call, and the library stays held.
    EXPECT_TRUE(Machine().Calls().Entries(c.name).empty());
    EXPECT_NE(CoreLibraryHandle, nullptr);
    // The next call releases it before loading it again, and releases it after itself.
    Machine().Calls().Clear();
    info.cbSize = sizeof(info);
    EXPECT_TRUE(GetStoreInfo(store, &info));
    EXPECT_EQ(CoreLibraryHandle, nullptr);
    EXPECT_EQ(Machine().Calls().Entries("FreeLibrary").size(), 2u);
    EXPECT_EQ(Machine().Calls().Entries("LoadLibraryW").size(), 1u);
    Machine().Calls().Enable(false);
  }
  EXPECT_TRUE(CloseHandle(store));
}

TEST_P(StorageOsTest, SectorsWrittenThroughTheStore_ReadBackAndCountAsInUse) {
  HANDLE store = OpenStore(u"DSK1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(DismountStore(store));
  ASSERT_TRUE(FormatStore(store));
  STOREINFO info{};
  info.cbSize = sizeof(info);
  ASSERT_TRUE(GetStoreInfo(store, &info));
  EXPECT_EQ(info.dwPartitionCount, 0u);
  // A formatted store has nothing in use.
  std::vector<DWORD> sectors(static_cast<std::size_t>(info.snNumSectors));
  for (std::size_t i = 0; i < sectors.size(); ++i) {
    sectors[i] = static_cast<DWORD>(i);
  }
  std::vector<DWORD> addresses(sectors.size());
  DWORD returned = 0;
  const DWORD bytes = static_cast<DWORD>(sectors.size() * 4);
  ASSERT_TRUE(DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, sectors.data(), bytes,
                              addresses.data(), bytes, &returned, nullptr));
  EXPECT_EQ(returned, bytes);
  EXPECT_EQ(std::count(addresses.begin(), addresses.end(), 0xFFFFFFFFu),
            static_cast<std::ptrdiff_t>(sectors.size()));
  // Three sectors written, one of them twice (the second time over data, so its erase block
  // is erased and rewritten), then read back in one request.
  std::vector<std::uint8_t> data(3 * 512);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 13 + 1);
  }
  auto transfer = [&](DWORD code, DWORD first, DWORD count, std::uint8_t* buffer) {
    SG_REQ request{};
    request.sr_start = first;
    request.sr_num_sec = count;
    request.sr_num_sg = 1;
    request.sr_sglist[0].sb_buf = buffer;
    request.sr_sglist[0].sb_len = count * 512;
    return DeviceIoControl(store, code, &request, sizeof(request), nullptr, 0, &returned, nullptr);
  };
  const std::uint64_t before = Machine().Clock().Now();
  ASSERT_TRUE(transfer(IOCTL_DISK_WRITE, 100, 3, data.data()));
  std::vector<std::uint8_t> other(512, 0x3C);
  ASSERT_TRUE(transfer(IOCTL_DISK_WRITE, 101, 1, other.data()));
  std::memcpy(data.data() + 512, other.data(), 512);
  EXPECT_GT(Machine().Clock().Now(), before);  // the chips' busy time
  std::vector<std::uint8_t> back(3 * 512);
  ASSERT_TRUE(transfer(IOCTL_DISK_READ, 100, 3, back.data()));
  EXPECT_EQ(back, data);
  ASSERT_TRUE(DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, sectors.data(), bytes,
                              addresses.data(), bytes, &returned, nullptr));
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const bool written = i >= 100 && i < 103;
    EXPECT_EQ(addresses[i] != 0xFFFFFFFFu, written) << i;
  }
  EXPECT_TRUE(CloseHandle(store));
}

}  // namespace
