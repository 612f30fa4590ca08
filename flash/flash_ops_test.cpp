// The flash operations table, the driver selection and "OnModuleFlash".
#include "flash/flash_ops.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "flash/kernel_mode.h"
#include "platform/kernel.h"
#include "sim/hw/nor_flash.h"
#include "sim/module/machine.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

using testing_support::ModuleTest;

class FlashOpsTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    FlashResetForTesting();
    ResetKernelModeStateForTesting();
    Machine().Calls().Enable(true);
  }
  std::size_t CallCount(const char* name) { return Machine().Calls().Entries(name).size(); }
};

class NorFlashOpsTest : public FlashOpsTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
};

TEST_F(NorFlashOpsTest, Identity17_NorTableWithoutPageSizeOrEcc) {
  EXPECT_EQ(FlashInit(), kFlashKindNor);
  EXPECT_EQ(FlashKind, kFlashKindNor);
  EXPECT_EQ(FlashSize, 0x2000000u);
  EXPECT_EQ(FlashOps.PageSize, nullptr);
  ASSERT_NE(FlashOps.SetEcc, nullptr);
  EXPECT_EQ(FlashOps.SetEcc(1), 0);
  EXPECT_EQ(FlashOps.SetEcc(0), 0);
  ASSERT_EQ(FlashLock(INFINITE), 1);
  BYTE first[4] = {};
  EXPECT_EQ(FlashOps.Read(first, 0, 4), 1);
  EXPECT_EQ(FlashUnlock(), TRUE);
}

TEST_F(NorFlashOpsTest, SecondInit_SameKindNoSecondMutex) {
  ASSERT_EQ(FlashInit(), kFlashKindNor);
  ASSERT_EQ(FlashInit(), kFlashKindNor);
  ASSERT_EQ(FlashLock(INFINITE), 1);
  EXPECT_EQ(FlashUnlock(), TRUE);
  EXPECT_EQ(CallCount("CreateMutexW"), 1u);
}

TEST_F(NorFlashOpsTest, FirstLock_RunsTheSelection) {
  ASSERT_EQ(FlashLock(INFINITE), 1);
  EXPECT_EQ(FlashKind, kFlashKindNor);
  EXPECT_EQ(FlashUnlock(), TRUE);
}

TEST_F(NorFlashOpsTest, MutexCannotBeCreated_NoDriverAndLockFailsAtOnce) {
  Machine().Faults().Add(faults::Call{.name = "CreateMutexW", .count = -1});
  EXPECT_EQ(FlashInit(), kFlashKindNone);
  EXPECT_EQ(FlashLock(INFINITE), 0);
  EXPECT_EQ(CallCount("WaitForSingleObject"), 0u);
  EXPECT_EQ(FlashKind, kFlashKindNone);
}

TEST_F(NorFlashOpsTest, WaitFails_LockReturnsZero) {
  ASSERT_EQ(FlashInit(), kFlashKindNor);
  Machine().Faults().Add(faults::Call{.name = "WaitForSingleObject"});
  EXPECT_EQ(FlashLock(INFINITE), 0);
}

// A failed driver start closes the mutex and forgets the kind; the next lock tries the whole
// selection again.
TEST_F(NorFlashOpsTest, DriverStartFails_MutexClosedAndNextLockRetries) {
  Machine().Faults().Add(faults::NorManufacturer{.code = 0x01});
  const std::size_t reservations = Machine().VirtualMemory().ReservationCount();
  EXPECT_EQ(FlashInit(), kFlashKindNone);
  EXPECT_EQ(FlashKind, kFlashKindNone);
  EXPECT_EQ(Machine().VirtualMemory().ReservationCount(), reservations);
  EXPECT_EQ(sim::NorChipModes()[0], sim::NorMode::kReadArray);

  Machine().Faults().Clear();
  ASSERT_EQ(FlashLock(INFINITE), 1);
  EXPECT_EQ(FlashKind, kFlashKindNor);
  // The failed start gave its mutex up, so the retry creates it again.
  EXPECT_EQ(CallCount("CreateMutexW"), 2u);
  EXPECT_EQ(FlashUnlock(), TRUE);
}

// Another process holds "OnModuleFlash" as the OS flash driver would.
TEST_F(NorFlashOpsTest, HeldByAnotherProcess_LockWithoutWaitFailsAtOnce) {
  ASSERT_EQ(FlashInit(), kFlashKindNor);
  const std::string command = testing_support::Executable("flashwick-module") + " hold-lock " +
                              ModuleDirectory().string() + " --ms 1500 2>&1";
  FILE* holder = ::popen(command.c_str(), "r");
  ASSERT_NE(holder, nullptr);
  // The holder says when it has the mutex.
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof(line), holder), nullptr);
  ASSERT_EQ(std::string(line).rfind("holding", 0), 0u) << line;
  const std::uint64_t before = Machine().Clock().Now();
  EXPECT_EQ(FlashLock(0), 0);
  EXPECT_LT(Machine().Clock().Now() - before, sim::kMillisecond);
  ::pclose(holder);
  // Released when the holder ends.
  EXPECT_EQ(FlashLock(0), 1);
  EXPECT_EQ(FlashUnlock(), TRUE);
}

// Any processor but the PXA27x reaches the NAND driver.
TEST_F(FlashOpsTest, OtherIdentity_NandTableWithPageSizeAndEcc) {
  ASSERT_EQ(FlashInit(), kFlashKindNand);
  ASSERT_NE(FlashOps.PageSize, nullptr);
  EXPECT_NE(FlashOps.PageSize(), 0u);
  ASSERT_EQ(FlashLock(INFINITE), 1);
  const int previous = FlashOps.SetEcc(0);
  EXPECT_EQ(FlashOps.SetEcc(1), 0);
  EXPECT_EQ(FlashOps.SetEcc(previous), 1);
  EXPECT_EQ(FlashUnlock(), TRUE);
}

}  // namespace
