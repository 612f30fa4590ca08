#include "flash/kernel_mode.h"

#include <gtest/gtest.h>

#include <cstring>

#include "flash/platform_controls.h"
#include "platform/kernel.h"
#include "sim/module/machine.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"

namespace {

using testing_support::ModuleTest;

std::uintptr_t Word(const std::vector<std::uint8_t>& block, std::size_t index) {
  std::uintptr_t word = 0;
  std::memcpy(&word, block.data() + index * sizeof(word), sizeof(word));
  return word;
}

class KernelModeTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ResetKernelModeStateForTesting();
    Machine().Calls().Enable(true);
  }
  std::vector<sim::CallEntry> KernelServiceCalls() {
    std::vector<sim::CallEntry> result;
    for (const auto& call : Machine().Calls().Entries("KernelIoControl")) {
      if (call.args[0] == IOCTL_OEM_KERNEL_SERVICE) {
        result.push_back(call);
      }
    }
    return result;
  }
};

TEST_F(KernelModeTest, UserModeIdentity_OneKernelCallThroughTheThunk) {
  EXPECT_EQ(IsPrivilegedMode(), 0u);
  EXPECT_EQ(GetProcessorIdentity(), 2u);
  const auto calls = KernelServiceCalls();
  ASSERT_EQ(calls.size(), 1u);
  // Three words (pointer-sized on the host): selector 0, the thunk, the record on the stack.
  ASSERT_EQ(calls[0].input.size(), 3 * sizeof(std::uintptr_t));
  EXPECT_EQ(Word(calls[0].input, 0), 0u);
  EXPECT_NE(Word(calls[0].input, 1), 0u);
  EXPECT_EQ(calls[0].args[2], 4u);  // four bytes of result
}

TEST_F(KernelModeTest, FailingControl_IdentityZero) {
  Machine().Faults().Add(faults::Call{.name = "KernelIoControl/0x010120D0"});
  EXPECT_EQ(GetProcessorIdentity(), 0u);
}

TEST_F(KernelModeTest, NullRoutine_NoCall) {
  EXPECT_EQ(RunInKernelMode(nullptr, 0), 0);
  EXPECT_TRUE(KernelServiceCalls().empty());
}

TEST_F(KernelModeTest, UserModeCoprocessorRead_Traps) {
  EXPECT_DEATH((void)ReadProductNumber(), "undefined instruction in user mode");
}

TEST_F(KernelModeTest, MapRegisters_ReservesWindowAndPassesPageSource) {
  IoPointer pointer = MapRegisters(0x43100000);
  ASSERT_TRUE(pointer);
  const auto allocs = Machine().Calls().Entries("VirtualAlloc");
  ASSERT_EQ(allocs.size(), 1u);
  EXPECT_EQ(allocs[0].args[1], 0x2000u);
  const auto copies = Machine().Calls().Entries("VirtualCopy");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].args[1], 0x431000u);
  EXPECT_EQ(copies[0].args[3], 0x604u);
  // The one-time query went first, then the copy request.
  const auto calls = KernelServiceCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(Word(calls[0].input, 0), KernelServiceQuery);
  EXPECT_EQ(Word(calls[1].input, 0), KernelServiceVirtualCopy);
  UnmapRegisters(pointer);
  EXPECT_EQ(Machine().VirtualMemory().ReservationCount(), 0u);
}

TEST_F(KernelModeTest, QueryIsSentOncePerProcess) {
  IoPointer first = MapRegisters(0x43100000);
  IoPointer second = MapRegisters(0x40E00000);
  ASSERT_TRUE(first && second);
  int queries = 0;
  for (const auto& call : KernelServiceCalls()) {
    queries += Word(call.input, 0) == KernelServiceQuery ? 1 : 0;
  }
  EXPECT_EQ(queries, 1);
}

TEST_F(KernelModeTest, MapRegisters_ReturnsWordInsideWindow) {
  IoPointer pointer = MapRegisters(0x40E10124);
  ASSERT_TRUE(pointer);
  EXPECT_EQ(pointer.Address() & 0xFFF, 0x124u);
  std::uint32_t physical = 0;
  ASSERT_TRUE(Machine().VirtualMemory().PhysicalOf(pointer.Address(), &physical));
  EXPECT_EQ(physical, 0x40E10124u);
}

struct RangeCase {
  DWORD physical;
  DWORD size;
  std::vector<std::uint64_t> pieceSizes;
};

class MapPhysicalRangeTest : public KernelModeTest,
                             public ::testing::WithParamInterface<RangeCase> {};

TEST_P(MapPhysicalRangeTest, PiecesOfAtMost32MiB) {
  const RangeCase& c = GetParam();
  IoPointer pointer = MapPhysicalRange(c.physical, c.size);
  ASSERT_TRUE(pointer);
  std::vector<std::uint64_t> sizes;
  for (const auto& copy : Machine().Calls().Entries("VirtualCopy")) {
    sizes.push_back(copy.args[2]);
  }
  EXPECT_EQ(sizes, c.pieceSizes);
  std::uint32_t physical = 0;
  ASSERT_TRUE(Machine().VirtualMemory().PhysicalOf(pointer.Address(), &physical));
  EXPECT_EQ(physical, c.physical & ~3u);
}

INSTANTIATE_TEST_SUITE_P(Ranges, MapPhysicalRangeTest,
                         ::testing::Values(RangeCase{0, 0x4000000, {0x2000000, 0x2000000}},
                                           RangeCase{0, 0x1000, {0x1000}},
                                           RangeCase{0, 0x3000000, {0x2000000, 0x1000000}},
                                           RangeCase{0x10, 0x10, {0x1000}}),
                         [](const auto& info) {
                           return testing_support::HexName("At", info.param.physical) + "_" +
                                  testing_support::HexName("Size", info.param.size);
                         });

class FailingCopyTest : public KernelModeTest, public ::testing::WithParamInterface<int> {};

TEST_P(FailingCopyTest, FailedPiece_LeavesNothingReserved) {
  Machine().Faults().Add(faults::Call{.name = "VirtualCopy", .skip = GetParam()});
  EXPECT_FALSE(MapPhysicalRange(0, 0x4000000));
  EXPECT_EQ(Machine().VirtualMemory().ReservationCount(), 0u);
}

// Named by the copies that succeed before the one that fails.
INSTANTIATE_TEST_SUITE_P(Pieces, FailingCopyTest, ::testing::Values(0, 1), [](const auto& info) {
  return testing_support::NumberName("AfterCopies", static_cast<std::uint64_t>(info.param));
});

TEST_F(KernelModeTest, FailedRegisterWindow_LeavesNothingReserved) {
  Machine().Faults().Add(faults::Call{.name = "VirtualCopy"});
  EXPECT_FALSE(MapRegisters(0x43100000));
  EXPECT_EQ(Machine().VirtualMemory().ReservationCount(), 0u);
}

class PrivilegedProcessTest : public KernelModeTest {
 protected:
  void Configure(sim::Json& config) override { config["processor"]["kernelMode"] = true; }
};

TEST_F(PrivilegedProcessTest, NoKernelServiceRequests) {
  EXPECT_NE(IsPrivilegedMode(), 0u);
  EXPECT_EQ(GetProcessorIdentity(), 2u);
  IoPointer pointer = MapRegisters(0x43100000);
  EXPECT_TRUE(pointer);
  EXPECT_TRUE(KernelServiceCalls().empty());
}

TEST_F(KernelModeTest, UnmappedAccess_IsADataAbort) {
  IoPointer pointer = MapRegisters(0x43100000);
  ASSERT_TRUE(pointer);
  UnmapRegisters(pointer);
  EXPECT_DEATH((void)pointer.Read32(), "data abort");
}

}  // namespace
