// The storage manager binding: the same fifteen functions on a Windows CE 6 module (exports of
// "coredll.dll" by name) and on a Windows CE 5 module (system calls), with the same results.
#include "storage/store_binding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/base/utf.h"
#include "sim/module/machine.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"

namespace {

constexpr std::uint64_t kInvalidHandle = static_cast<std::uint64_t>(-1);

std::uint64_t Value(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }
std::uint64_t Value(BOOL result) { return static_cast<std::uint32_t>(result); }

sim::Json CallFault(const std::string& name) {
  return faults::Call{.name = name, .skip = 0, .count = 1};
}

void SetOsVersion(sim::Json& config, int version) { config["os"]["version"] = version; }

std::string Text(const WCHAR* text) { return sim::ToUtf8(text); }

std::string Describe(const STOREINFO& info) {
  std::ostringstream out;
  out << "store " << Text(info.szDeviceName) << " '" << Text(info.szStoreName)
      << "' class=" << info.dwDeviceClass << " type=" << info.dwDeviceType
      << " flags=" << info.dwDeviceFlags << " profile=" << Text(info.sdi.szProfile)
      << " sectors=" << info.snNumSectors << " bytes=" << info.dwBytesPerSector
      << " free=" << info.snFreeSectors << " biggest=" << info.snBiggestPartCreatable
      << " attributes=" << info.dwAttributes << " partitions=" << info.dwPartitionCount
      << " mounted=" << info.dwMountCount << "\n";
  return out.str();
}

std::string Describe(const PARTINFO& info) {
  std::ostringstream out;
  out << "partition '" << Text(info.szPartitionName) << "' fs='" << Text(info.szFileSys)
      << "' volume='" << Text(info.szVolumeName) << "' sectors=" << info.snNumSectors
      << " attributes=" << info.dwAttributes << " type=" << int{info.bPartType} << "\n";
  return out.str();
}

// What the program can learn about the stores without changing them.
std::string ObserveStores() {
  std::ostringstream out;
  STOREINFO info{};
  info.cbSize = sizeof(info);
  HANDLE search = FindFirstStore(&info);
  out << "first store search " << (search != INVALID_HANDLE_VALUE) << "\n";
  if (search != INVALID_HANDLE_VALUE) {
    do {
      out << Describe(info);
      info.cbSize = sizeof(info);
    } while (FindNextStore(search, &info));
    out << "end of stores " << GetLastError() << " close " << FindCloseStore(search) << "\n";
  }
  HANDLE store = OpenStore(u"DSK1:");
  out << "open DSK1: " << (store != INVALID_HANDLE_VALUE) << "\n";
  STOREINFO direct{};
  direct.cbSize = sizeof(direct);
  out << "info " << GetStoreInfo(store, &direct) << " " << Describe(direct);
  direct.cbSize = 12;
  out << "info with a wrong size " << GetStoreInfo(store, &direct) << "\n";
  PARTINFO partition{};
  partition.cbSize = sizeof(partition);
  HANDLE partitions = FindFirstPartition(store, &partition);
  out << "first partition search " << (partitions != INVALID_HANDLE_VALUE) << " "
      << Describe(partition);
  partition.cbSize = sizeof(partition);
  out << "next partition " << FindNextPartition(partitions, &partition) << " close "
      << FindClosePartition(partitions) << "\n";
  HANDLE opened = OpenPartition(store, partition.szPartitionName);
  out << "open partition " << (opened != INVALID_HANDLE_VALUE) << "\n";
  if (opened != INVALID_HANDLE_VALUE) {
    (void)CloseHandle(opened);
  }
  out << "open missing partition " << (OpenPartition(store, u"Nowhere") != INVALID_HANDLE_VALUE)
      << "\n";
  out << "open missing store " << (OpenStore(u"DSK9:") != INVALID_HANDLE_VALUE) << "\n";
  std::vector<DWORD> numbers(64);
  std::vector<DWORD> addresses(64);
  for (DWORD i = 0; i < numbers.size(); ++i) {
    numbers[i] = i;
  }
  DWORD returned = 0;
  out << "sector addresses "
      << DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, numbers.data(), 64 * 4,
                         addresses.data(), 64 * 4, &returned, nullptr);
  for (DWORD address : addresses) {
    out << " " << address;
  }
  out << "\n";
  (void)CloseHandle(store);
  return out.str();
}

// Rebuilds the store as the file system restore does: dismount, format, one new partition,
// format it, set its attributes and mount it.
std::string RebuildStore() {
  std::ostringstream out;
  HANDLE store = OpenStore(u"DSK1:");
  out << "open " << (store != INVALID_HANDLE_VALUE) << "\n";
  out << "dismount " << DismountStore(store) << " format " << FormatStore(store) << "\n";
  STOREINFO info{};
  info.cbSize = sizeof(info);
  out << "info " << GetStoreInfo(store, &info) << " " << Describe(info);
  out << "create " << CreatePartitionEx(store, u"Part00", 0x0C, info.snBiggestPartCreatable)
      << "\n";
  HANDLE partition = OpenPartition(store, u"Part00");
  out << "open partition " << (partition != INVALID_HANDLE_VALUE) << "\n";
  out << "format " << FormatPartition(partition) << " attributes "
      << SetPartitionAttributes(partition, 0) << " mount " << MountPartition(partition) << "\n";
  PARTINFO part{};
  part.cbSize = sizeof(part);
  HANDLE search = FindFirstPartition(store, &part);
  out << Describe(part) << "close " << FindClosePartition(search) << "\n";
  info.cbSize = sizeof(info);
  out << "info " << GetStoreInfo(store, &info) << " " << Describe(info);
  (void)CloseHandle(partition);
  (void)CloseHandle(store);
  return out.str();
}

// The program starts every case as a new process: no library held from an earlier module.
class StorageBinding : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    CoreLibraryHandle = nullptr;
    testing_support::ModuleTest::SetUp();
  }
  void TearDown() override {
    ReleaseStorageLibrary();
    testing_support::ModuleTest::TearDown();
  }
  void SwitchOsVersion(int version) {
    sim::Detach();
    sim::Json config;
    std::string error;
    ASSERT_TRUE(sim::LoadModuleConfig(ModuleDirectory(), &config, &error)) << error;
    SetOsVersion(config, version);
    ASSERT_TRUE(sim::WriteWholeFile(ModuleDirectory() / "module.json", config.dump(2), &error));
    ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
    CoreLibraryHandle = nullptr;
  }
  int CallsNamed(const char* name) {
    return static_cast<int>(Machine().Calls().Entries(name).size());
  }
};

TEST_F(StorageBinding, BothOsVersions_SeeTheSameStore) {
  Machine().Calls().Enable(true);
  const std::string ce6 = ObserveStores();
  EXPECT_GT(CallsNamed("LoadLibraryW"), 0);
  EXPECT_EQ(CallsNamed("LoadLibraryW"), CallsNamed("FreeLibrary"));
  EXPECT_EQ(CoreLibraryHandle, nullptr);

  SwitchOsVersion(5);
  ASSERT_EQ(Machine().OsVersion(), 5u);
  Machine().Calls().Enable(true);
  const std::string ce5 = ObserveStores();
  EXPECT_EQ(CallsNamed("LoadLibraryW"), 0);  // the system calls, not the exports
  EXPECT_EQ(ce5, ce6);
  EXPECT_NE(ce6.find("store DSK1: 'Internal Flash'"), std::string::npos) << ce6;
}

TEST(StorageBindingRebuild, BothOsVersions_RebuildTheStoreAlike) {
  std::string results[2];
  for (int version : {6, 5}) {
    testing_support::TemporaryModule module("pxa320");
    sim::Json config;
    std::string error;
    ASSERT_TRUE(sim::LoadModuleConfig(module.Directory(), &config, &error)) << error;
    SetOsVersion(config, version);
    ASSERT_TRUE(sim::WriteWholeFile(module.Directory() / "module.json", config.dump(2), &error));
    ASSERT_TRUE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error)) << error;
    CoreLibraryHandle = nullptr;
    results[version - 5] = RebuildStore();
    sim::Detach();
  }
  EXPECT_EQ(results[0], results[1]);
  EXPECT_NE(results[1].find("create 1"), std::string::npos) << results[1];
  EXPECT_NE(results[1].find("mount 1"), std::string::npos) << results[1];
}

// ---------------------------------------------------------------------------------------------
// CE 6: a name that cannot be resolved
// ---------------------------------------------------------------------------------------------
struct UnresolvedCase {
  const char* name;
  std::uint64_t (*call)();
  std::uint64_t result;
};

STOREINFO storeInfo{sizeof(STOREINFO)};
PARTINFO partitionInfo{sizeof(PARTINFO)};
HANDLE const kNoHandle = INVALID_HANDLE_VALUE;

const UnresolvedCase kUnresolved[] = {
    {"OpenStore", [] { return Value(OpenStore(u"DSK1:")); }, kInvalidHandle},
    {"DismountStore", [] { return Value(DismountStore(kNoHandle)); }, 0},
    {"FormatStore", [] { return Value(FormatStore(kNoHandle)); }, 0},
    {"FindFirstStore", [] { return Value(FindFirstStore(&storeInfo)); }, kInvalidHandle},
    {"FindNextStore", [] { return Value(FindNextStore(kNoHandle, &storeInfo)); }, 0},
    {"FindCloseStore", [] { return Value(FindCloseStore(kNoHandle)); }, 0},
    {"GetStoreInfo", [] { return Value(GetStoreInfo(kNoHandle, &storeInfo)); }, 0},
    {"CreatePartitionEx", [] { return Value(CreatePartitionEx(kNoHandle, u"P", 0x0C, 8)); }, 0},
    {"OpenPartition", [] { return Value(OpenPartition(kNoHandle, u"P")); }, kInvalidHandle},
    {"MountPartition", [] { return Value(MountPartition(kNoHandle)); }, 0},
    {"SetPartitionAttributes", [] { return Value(SetPartitionAttributes(kNoHandle, 0)); }, 0},
    {"FormatPartition", [] { return Value(FormatPartition(kNoHandle)); }, 0},
    {"FindFirstPartition", [] { return Value(FindFirstPartition(kNoHandle, &partitionInfo)); },
     kInvalidHandle},
    {"FindNextPartition", [] { return Value(FindNextPartition(kNoHandle, &partitionInfo)); }, 0},
    {"FindClosePartition", [] { return Value(FindClosePartition(kNoHandle)); }, 0},
};

class Unresolved : public StorageBinding, public ::testing::WithParamInterface<UnresolvedCase> {};

TEST_P(Unresolved, AnswersFailureAndHoldsTheLibraryUntilTheNextCall) {
  Machine().Calls().Enable(true);
  Machine().Faults().Add(CallFault(std::string("GetProcAddressW/") + GetParam().name));
  EXPECT_EQ(GetParam().call(), GetParam().result);
  EXPECT_NE(CoreLibraryHandle, nullptr);
  EXPECT_EQ(CallsNamed("FreeLibrary"), 0);
  EXPECT_TRUE(Machine().Calls().Entries(GetParam().name).empty());  // nothing was called

  // The next call releases the held library before it loads it again, and releases its own.
  Machine().Calls().Clear();
  STOREINFO info{};
  info.cbSize = sizeof(info);
  HANDLE search = FindFirstStore(&info);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CoreLibraryHandle, nullptr);
  std::vector<std::string> order;
  for (const sim::CallEntry& entry : Machine().Calls().Entries()) {
    if (entry.name == "FreeLibrary" || entry.name == "LoadLibraryW") {
      order.push_back(entry.name);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"FreeLibrary", "LoadLibraryW", "FreeLibrary"}));
  EXPECT_TRUE(FindCloseStore(search));
}

INSTANTIATE_TEST_SUITE_P(EveryFunction, Unresolved, ::testing::ValuesIn(kUnresolved),
                         testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// BOOL results: normalised on CE 5, passed on unchanged on CE 6
// ---------------------------------------------------------------------------------------------
struct BoolCase {
  const char* name;
  BOOL (*call)(HANDLE store);
};

const BoolCase kBoolCases[] = {
    {"GetStoreInfo",
     [](HANDLE store) {
       STOREINFO info{};
       info.cbSize = sizeof(info);
       return GetStoreInfo(store, &info);
     }},
    {"DismountStore", [](HANDLE store) { return DismountStore(store); }},
    {"FindCloseStore",
     [](HANDLE) {
       STOREINFO info{};
       info.cbSize = sizeof(info);
       return FindCloseStore(FindFirstStore(&info));
     }},
    {"FindClosePartition",
     [](HANDLE store) {
       PARTINFO info{};
       info.cbSize = sizeof(info);
       return FindClosePartition(FindFirstPartition(store, &info));
     }},
    {"SetPartitionAttributes",
     [](HANDLE store) {
       PARTINFO info{};
       info.cbSize = sizeof(info);
       HANDLE search = FindFirstPartition(store, &info);
       (void)FindClosePartition(search);
       HANDLE partition = OpenPartition(store, info.szPartitionName);
       const BOOL result = SetPartitionAttributes(partition, info.dwAttributes);
       (void)CloseHandle(partition);
       return result;
     }},
};

class BoolResult : public StorageBinding,
                   public ::testing::WithParamInterface<std::tuple<BoolCase, int>> {
 protected:
  void Configure(sim::Json& config) override {
    SetOsVersion(config, std::get<1>(GetParam()));
    config["faults"]["items"].push_back(
        faults::StorageResult{.call = std::get<0>(GetParam()).name, .value = 2});
  }
};

TEST_P(BoolResult, OtherThanOne_IsFalseOnCe5AndPassedOnOnCe6) {
  HANDLE store = OpenStore(u"DSK1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  const BOOL result = std::get<0>(GetParam()).call(store);
  EXPECT_EQ(result, std::get<1>(GetParam()) == 5 ? FALSE : 2);
  (void)CloseHandle(store);
}

INSTANTIATE_TEST_SUITE_P(Functions, BoolResult,
                         ::testing::Combine(::testing::ValuesIn(kBoolCases),
                                            ::testing::Values(5, 6)),
                         [](const ::testing::TestParamInfo<std::tuple<BoolCase, int>>& info) {
                           return std::string(std::get<0>(info.param).name) + "_Ce" +
                                  std::to_string(std::get<1>(info.param));
                         });

// ---------------------------------------------------------------------------------------------
// CE 5 arguments
// ---------------------------------------------------------------------------------------------
class Ce5Binding : public StorageBinding {
 protected:
  void Configure(sim::Json& config) override { SetOsVersion(config, 5); }
};

TEST_F(Ce5Binding, LongDeviceName_IsCutTo245UnitsInThePath) {
  for (std::size_t length : {5u, 244u, 245u, 246u, 300u}) {
    SCOPED_TRACE(length);
    Machine().Calls().Enable(true);
    Machine().Calls().Clear();
    std::u16string name(length, u'D');
    EXPECT_EQ(OpenStore(name.c_str()), INVALID_HANDLE_VALUE);
    const std::vector<sim::CallEntry> opens = Machine().Calls().Entries("CreateFileW");
    ASSERT_EQ(opens.size(), 1u);
    const std::string path(opens[0].input.begin(), opens[0].input.end());
    EXPECT_EQ(path, "\\StoreMgr\\" + std::string(std::min<std::size_t>(length, 245), 'D'));
  }
  // A name that fits opens its store.
  HANDLE store = OpenStore(u"DSK1:");
  EXPECT_NE(store, INVALID_HANDLE_VALUE);
  (void)CloseHandle(store);
}

class SectorCount : public StorageBinding, public ::testing::WithParamInterface<int> {
 protected:
  void Configure(sim::Json& config) override { SetOsVersion(config, GetParam()); }
};

TEST_P(SectorCount, SixtyFourBitCount_ReachesTheStorageManagerWhole) {
  Machine().Calls().Enable(true);
  HANDLE store = OpenStore(u"DSK1:");
  EXPECT_FALSE(CreatePartitionEx(store, u"Huge", 0x0C, 0x100000005ull));  // far too large
  const std::vector<sim::CallEntry> creates = Machine().Calls().Entries("CreatePartitionEx");
  ASSERT_EQ(creates.size(), 1u);
  ASSERT_GE(creates[0].args.size(), 3u);
  EXPECT_EQ(creates[0].args[1], 0x0Cu);
  EXPECT_EQ(creates[0].args[2], 0x100000005ull);
  (void)CloseHandle(store);
}

INSTANTIATE_TEST_SUITE_P(OsVersions, SectorCount, ::testing::Values(5, 6),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Ce" + std::to_string(info.param);
                         });

}  // namespace
