// Library start-up: the hardware revision check, the flash layer's start (both permanent for the
// process), the first region scan and the work buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "flash/platform_controls.h"
#include "platform/kernel.h"
#include "sim/module/machine.h"
#include "tests/support/faults.h"
#include "tests/support/startup_fixture.h"
#include "tests/support/test_names.h"

namespace {

using startup_test::StartupTest;

constexpr const char* kPlatformQueryCall = "KernelIoControl/0x01012028";

sim::Json CallFault(const char* name, int count) {
  return faults::Call{.name = name, .skip = 0, .count = count};
}

// The platform queries of one sub-code that the process has sent since recording began.
int PlatformQueries(sim::Machine& machine, std::uint64_t subCode) {
  int queries = 0;
  for (const sim::CallEntry& entry : machine.Calls().Entries("KernelIoControl")) {
    if (entry.args.empty() || entry.args[0] != IOCTL_HAL_PLATFORM_QUERY ||
        entry.input.size() < sizeof(ULONG_PTR)) {
      continue;
    }
    ULONG_PTR code = 0;
    std::memcpy(&code, entry.input.data(), sizeof(code));
    queries += code == subCode ? 1 : 0;
  }
  return queries;
}

// ---------------------------------------------------------------------------------------------
// Hardware revision
// ---------------------------------------------------------------------------------------------
struct RevisionCase {
  const char* name;
  const char* preset;
  const char* item;  // hardware version item (major, minor as 16-bit halves); null: config block
  bool unanswered;   // the platform does not answer the query
  FwlStatus status;
  int queries;  // hardware version queries sent
};

const RevisionCase kRevisionCases[] = {
    {"Identity2Version1_1", "pxa320", "0100010000000000", false, FWL_ERR_HW_VERSION, 1},
    {"Identity2Version0_9", "pxa320", "0000090000000000", false, FWL_ERR_HW_VERSION, 1},
    {"Identity2Version1_2", "pxa320", "0100020000000000", false, FWL_OK, 1},
    {"Identity2Version2_0", "pxa320", "0200000000000000", false, FWL_OK, 1},
    {"Identity2ConfigBlockVersion", "pxa320", nullptr, false, FWL_OK, 1},
    {"Identity2Unanswered", "pxa320", "0100010000000000", true, FWL_OK, 1},
    {"Identity8Version1_1", "pxa300", "0100010000000000", false, FWL_OK, 0},
    {"Identity9Version1_1", "pxa310", "0100010000000000", false, FWL_OK, 0},
    {"Identity17Version1_1", "pxa270-32m", "0100010000000000", false, FWL_OK, 0},
};

class HardwareRevision : public StartupTest, public ::testing::WithParamInterface<RevisionCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
  void Configure(sim::Json& config) override {
    if (GetParam().item != nullptr) {
      config["platformItems"]["8"] = GetParam().item;
    }
    if (GetParam().unanswered) {
      config["faults"]["items"].push_back(CallFault(kPlatformQueryCall, 1));
    }
  }
};

TEST_P(HardwareRevision, Init_ChecksTheRevisionOnlyWhereItMatters) {
  Machine().Calls().Enable(true);
  EXPECT_EQ(FWLInit(), GetParam().status);
  EXPECT_EQ(PlatformQueries(Machine(), 8), GetParam().queries);
  EXPECT_EQ(LibraryInitialized, GetParam().status == FWL_OK ? 1u : 0u);
  FlashRegion selection{REGION_ALL_TYPES, 0, 0, 0};
  EXPECT_EQ(FWLGetRegions(&selection, nullptr),
            GetParam().status == FWL_OK ? FWL_OK : FWL_ERR_NOT_INITIALIZED);
}

INSTANTIATE_TEST_SUITE_P(Cases, HardwareRevision, ::testing::ValuesIn(kRevisionCases),
                         testing_support::CaseName());

class Init : public StartupTest {};

TEST_F(Init, RevisionTooOld_StaysRefusedForTheProcess) {
  Machine().Config()["platformItems"]["8"] = "0100010000000000";
  EXPECT_EQ(FWLInit(), FWL_ERR_HW_VERSION);
  // Even a board that now answers 1.2 is not asked again in this process.
  Machine().Config()["platformItems"]["8"] = "0100020000000000";
  Machine().Calls().Enable(true);
  EXPECT_EQ(FWLInit(), FWL_ERR_HW_VERSION);
  EXPECT_EQ(PlatformQueries(Machine(), 8), 0);
  EXPECT_EQ(HardwareCheckStatus, static_cast<DWORD>(FWL_ERR_HW_VERSION));
  // A new process asks again.
  RestartProgram();
  Machine().Config()["platformItems"]["8"] = "0100020000000000";
  EXPECT_EQ(FWLInit(), FWL_OK);
}

TEST_F(Init, FlashStartFailure_IsPermanentForTheProcess) {
  // The flash lock cannot be created once; a retry would succeed, so a second FWL_ERR_FLASH_INIT
  // shows that the start is not retried.
  Machine().Faults().Add(CallFault("CreateMutexW", 1));
  EXPECT_EQ(FWLInit(), FWL_ERR_FLASH_INIT);
  EXPECT_EQ(FWLInit(), FWL_ERR_FLASH_INIT);
  EXPECT_EQ(LibraryInitialized, 0u);
  DWORD types = REGION_OS_IMAGE;
  EXPECT_EQ(FWLGetRegionsInRange(&types, 0x80000, 1), FWL_ERR_NOT_INITIALIZED);
  RestartProgram();
  EXPECT_EQ(FWLInit(), FWL_OK);
}

TEST_F(Init, ControllerCannotBeMapped_FailsTheFlashStart) {
  Machine().Faults().Add(CallFault("VirtualCopy", -1));
  EXPECT_EQ(FWLInit(), FWL_ERR_FLASH_INIT);
  EXPECT_EQ(FWLInit(), FWL_ERR_FLASH_INIT);
}

TEST_F(Init, SecondInitAfterSuccess_DoesNotRescan) {
  ASSERT_EQ(FWLInit(), FWL_OK);
  startup_test::EraseFlash(0x80000, 0x1000);
  Machine().Calls().Enable(true);
  EXPECT_EQ(FWLInit(), FWL_OK);
  EXPECT_TRUE(Machine().Calls().Entries("KernelIoControl").empty());
  bool osPresent = false;
  for (int i = 0; i < kRegionCount; ++i) {
    if ((RegionTable[i].flags & REGION_ALL_TYPES) == REGION_OS_IMAGE) {
      osPresent = (RegionTable[i].flags & REGION_NOT_PRESENT) == 0;
    }
  }
  EXPECT_TRUE(osPresent);  // as the first scan found it
}

// ---------------------------------------------------------------------------------------------
// Work buffer
// ---------------------------------------------------------------------------------------------
class LimitedHeap : public StartupTest {
 protected:
  void Configure(sim::Json& config) override {
    config["faults"]["items"].push_back(faults::Heap{.limit = 700 * 1024});
  }
};

TEST_F(LimitedHeap, WorkBuffer_IsTheLargestPowerOfTwoThatFits) {
  ASSERT_EQ(FWLInit(), FWL_OK);
  ASSERT_EQ(AllocWorkBuffer(), FWL_OK);
  EXPECT_EQ(WorkBufferSize, 512u * 1024u);
  EXPECT_NE(WorkBuffer, nullptr);
  // A second request keeps the buffer there is.
  BYTE* const buffer = WorkBuffer;
  ASSERT_EQ(AllocWorkBuffer(), FWL_OK);
  EXPECT_EQ(WorkBuffer, buffer);
  FreeWorkBuffer();
  EXPECT_EQ(WorkBuffer, nullptr);
  EXPECT_EQ(WorkBufferSize, 0u);
}

TEST_F(Init, WorkBuffer_Is2MiBWithRoomAndNothingWithoutHeap) {
  ASSERT_EQ(AllocWorkBuffer(), FWL_OK);
  EXPECT_EQ(WorkBufferSize, 2u * 1024u * 1024u);
  FreeWorkBuffer();
  Machine().Faults().Add(CallFault("LocalAlloc", -1));
  EXPECT_EQ(AllocWorkBuffer(), FWL_ERR_NO_MEMORY);
  EXPECT_EQ(WorkBuffer, nullptr);
  EXPECT_EQ(WorkBufferSize, 0u);
  FreeWorkBuffer();  // harmless without a buffer
}

}  // namespace
