// The OS image's HAL I/O controls as the program relies on them: platform items that the store
// control writes back, the reset that takes effect when the process ends, the image version
// record, and controls that are not answered leaving the caller's buffers as they were.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

constexpr DWORD kIoctlHalReboot = 0x0101003C;
constexpr DWORD kIoctlImageVersion = 0x0101200C;
constexpr DWORD kIoctlPlatformQuery = 0x01012028;
constexpr DWORD kIoctlPlatformStore = 0x0101202C;
constexpr DWORD kIoctlKernelService = 0x010120D0;

// Request block of the query and store: sub-code, item buffer, item size (pointer-sized words on
// the host, in the module's order).
struct ItemRequest {
  std::uintptr_t subCode;
  std::uintptr_t buffer;
  std::uintptr_t size;
};

BOOL ItemControl(DWORD code, std::uintptr_t subCode, std::vector<std::uint8_t>& item,
                 DWORD* returned) {
  ItemRequest request{subCode, reinterpret_cast<std::uintptr_t>(item.data()), item.size()};
  return KernelIoControl(code, &request, sizeof(request), item.data(),
                         static_cast<DWORD>(item.size()), returned);
}

struct ItemCase {
  const char* label;
  std::uint32_t subCode;
  std::size_t size;
};

class PlatformItemTest : public testing_support::ModuleTest,
                         public ::testing::WithParamInterface<ItemCase> {};

TEST_P(PlatformItemTest, StoredItem_IsWhatTheNextProcessQueries) {
  const ItemCase& c = GetParam();
  std::vector<std::uint8_t> item(c.size, 0xEE);
  DWORD returned = 0;
  ASSERT_TRUE(ItemControl(kIoctlPlatformQuery, c.subCode, item, &returned));
  EXPECT_EQ(returned, c.size);
  const std::vector<std::uint8_t> original = item;
  for (std::size_t i = 0; i < item.size(); ++i) {
    item[i] = static_cast<std::uint8_t>(original[i] ^ (0x5A + i));
  }
  const std::vector<std::uint8_t> changed = item;
  returned = 0;
  ASSERT_TRUE(ItemControl(kIoctlPlatformStore, c.subCode, item, &returned));
  EXPECT_EQ(returned, c.size);
  // A new process, and a power cycle: the item was written back, not only held in memory.
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  std::vector<std::uint8_t> again(c.size, 0);
  ASSERT_TRUE(ItemControl(kIoctlPlatformQuery, c.subCode, again, &returned));
  EXPECT_EQ(again, changed);
}

INSTANTIATE_TEST_SUITE_P(
    Items, PlatformItemTest,
    ::testing::Values(ItemCase{"BoardData", 0, 8}, ItemCase{"FlashLayout", 5, 24},
                      ItemCase{"HardwareVersion", 8, 8}, ItemCase{"BoardExtra", 12, 4}),
    [](const ::testing::TestParamInfo<ItemCase>& info) { return info.param.label; });

using HalTest = testing_support::ModuleTest;

TEST_F(HalTest, UnansweredQuery_LeavesBufferAndCountAlone) {
  struct Case {
    const char* label;
    std::uint32_t subCode;
    std::size_t size;
    bool failingControl;
  };
  const Case cases[] = {
      {"item the image does not know", 3, 8, false},
      {"known item, wrong size", 5, 8, false},
      {"control failing", 5, 24, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Machine().Faults().Clear();
    if (c.failingControl) {
      Machine().Faults().Add(faults::Call{.name = "KernelIoControl/0x01012028"});
    }
    std::vector<std::uint8_t> item(c.size, 0xA5);
    DWORD returned = 0;
    EXPECT_FALSE(ItemControl(kIoctlPlatformQuery, c.subCode, item, &returned));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(item, std::vector<std::uint8_t>(c.size, 0xA5));
  }
}

TEST_F(HalTest, RefusedStore_ChangesNothingOnDisk) {
  std::string before;
  ASSERT_TRUE(sim::ReadWholeFile(ModuleDirectory() / "module.json", &before));
  std::vector<std::uint8_t> item(8, 0x11);  // item 5 is 24 bytes
  DWORD returned = 0;
  EXPECT_FALSE(ItemControl(kIoctlPlatformStore, 5, item, &returned));
  std::string after;
  ASSERT_TRUE(sim::ReadWholeFile(ModuleDirectory() / "module.json", &after));
  EXPECT_EQ(after, before);
}

TEST_F(HalTest, ImageVersion_FillsTheRecordWithOutputSizeZero) {
  std::array<DWORD, 3> record{};
  ASSERT_TRUE(KernelIoControl(kIoctlImageVersion, nullptr, 0, record.data(), 0, nullptr));
  // The record built into the image that runs.
  const sim::BootLook& started = Machine().Started();
  ASSERT_TRUE(started.versionKnown);
  EXPECT_EQ(record[0], started.version.id);
  EXPECT_EQ(record[1], started.version.major);
  EXPECT_EQ(record[2] & 0xFFFF, started.version.minor);
  EXPECT_EQ(record[2] >> 16, started.version.beta);
  EXPECT_EQ(record, (std::array<DWORD, 3>{1, 2, 31}));
}

class ImageWithoutVersionTest : public HalTest {
 protected:
  // An image built without the control.
  void Configure(sim::Json& config) override { config["imageVersion"] = nullptr; }
};

TEST_F(ImageWithoutVersionTest, Unanswered_RecordKeepsWhatItHeld) {
  std::array<DWORD, 3> record{7, 8, 9};
  EXPECT_FALSE(KernelIoControl(kIoctlImageVersion, nullptr, 0, record.data(), 0, nullptr));
  EXPECT_EQ(record, (std::array<DWORD, 3>{7, 8, 9}));
}

class RebootTest : public HalTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RebootTest, ResetTakesEffectWhenTheProcessEnds) {
  const bool cold = GetParam();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Unsaved", 0, nullptr, 0, 0, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  DWORD zero = 0;
  if (cold) {
    SetCleanRebootFlag();
  }
  // The call comes back on the host; the process goes on as if the reset were still to come.
  ASSERT_TRUE(
      KernelIoControl(kIoctlHalReboot, cold ? &zero : nullptr, cold ? 4 : 0, nullptr, 0, nullptr));
  EXPECT_EQ(Machine().PendingReset(), cold ? sim::ResetKind::kCold : sim::ResetKind::kWarm);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Unsaved", 0, 0, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(std::filesystem::exists(ModuleDirectory() / "ram" / "booted"));

  sim::Detach();
  EXPECT_FALSE(std::filesystem::exists(ModuleDirectory() / "ram" / "booted"));
  std::string error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  // The module booted again from its persistent registry: the unsaved key is gone.
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Unsaved", 0, 0, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Machine().PendingReset(), sim::ResetKind::kNone);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RebootTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Cold" : "Warm";
                         });

// The kernel service's VirtualCopy for the caller: one call maps at most 32 MiB, as the kernel's
// own VirtualCopy does, and a refused call maps nothing.
struct CopySizeCase {
  const char* label;
  DWORD size;
  bool mapped;
};

class VirtualCopySizeTest : public HalTest, public ::testing::WithParamInterface<CopySizeCase> {};

TEST_P(VirtualCopySizeTest, AtMost32MiBPerCall) {
  const CopySizeCase& c = GetParam();
  LPVOID base = VirtualAlloc(nullptr, 0x4000000, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(base, nullptr);
  // {VirtualCopy, destination, source (physical 0 / 256), size, uncached physical read-write}
  const std::uintptr_t request[] = {1, reinterpret_cast<std::uintptr_t>(base), 0, c.size, 0x604};
  DWORD result = 0xFFFF;
  ASSERT_TRUE(KernelIoControl(kIoctlKernelService, const_cast<std::uintptr_t*>(request),
                              sizeof(request), &result, sizeof(result), nullptr));
  EXPECT_EQ(result != 0, c.mapped);
  std::uint32_t physical = 0;
  EXPECT_EQ(Machine().VirtualMemory().PhysicalOf(reinterpret_cast<std::uintptr_t>(base), &physical),
            c.mapped);
  if (c.mapped) {
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(base) + c.size - 4;
    ASSERT_TRUE(Machine().VirtualMemory().PhysicalOf(last, &physical));
    EXPECT_EQ(physical, c.size - 4);
  }
  EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
}

INSTANTIATE_TEST_SUITE_P(Sizes, VirtualCopySizeTest,
                         ::testing::Values(CopySizeCase{"Exactly32MiB", 0x2000000, true},
                                           CopySizeCase{"OnePageMore", 0x2001000, false},
                                           CopySizeCase{"Whole64MiB", 0x4000000, false}),
                         [](const ::testing::TestParamInfo<CopySizeCase>& info) {
                           return info.param.label;
                         });

// The page table grows with the reservations: windows reach the top of the reservation
// space, a freed one is no longer reserved and its room goes to the next request.
TEST_F(HalTest, Reservations_ReachTheTopOfTheSpaceAndFreedRoomIsReused) {
  constexpr DWORD kWindow = 0x4000000;
  std::vector<LPVOID> bases;
  for (LPVOID base;
       (base = VirtualAlloc(nullptr, kWindow, MEM_RESERVE, PAGE_NOACCESS)) != nullptr;) {
    bases.push_back(base);
  }
  ASSERT_GE(bases.size(), 3u);
  const sim::Mmu& mmu = Machine().VirtualMemory();
  const auto top = reinterpret_cast<std::uintptr_t>(bases.back());
  EXPECT_GT(top + kWindow, sim::Mmu::kBase + sim::Mmu::kSpan - 2 * kWindow);
  const std::uintptr_t request[] = {1, top + kWindow / 2, 0, 0x2000000, 0x604};
  DWORD result = 0;
  ASSERT_TRUE(KernelIoControl(kIoctlKernelService, const_cast<std::uintptr_t*>(request),
                              sizeof(request), &result, sizeof(result), nullptr));
  ASSERT_NE(result, 0u);
  std::uint32_t physical = 0;
  ASSERT_TRUE(mmu.PhysicalOf(top + kWindow - 4, &physical));
  EXPECT_EQ(physical, 0x2000000u - 4);
  EXPECT_FALSE(mmu.PhysicalOf(top + kWindow / 2 - 4, &physical));  // reserved, not mapped

  LPVOID middle = bases[bases.size() / 2];
  ASSERT_TRUE(VirtualFree(middle, 0, MEM_RELEASE));
  EXPECT_FALSE(mmu.IsReserved(reinterpret_cast<std::uintptr_t>(middle)));
  EXPECT_EQ(VirtualAlloc(nullptr, kWindow, MEM_RESERVE, PAGE_NOACCESS), middle);
  for (LPVOID base : bases) {
    EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
  }
}

TEST_F(HalTest, UnknownControl_IsNotSupported) {
  DWORD out = 0x1234;
  SetLastError(0);
  EXPECT_FALSE(KernelIoControl(0x01012FFC, nullptr, 0, &out, sizeof(out), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(out, 0x1234u);
}

}  // namespace
