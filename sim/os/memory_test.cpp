#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/kernel.h"
#include "sim/module/machine.h"
#include "tests/support/module_fixture.h"

namespace {

using testing_support::ModuleTest;

class LocalHeap : public ModuleTest {};

// Large blocks (the library's work buffer, placed on the host's large pages) are whole,
// writable, counted once, and zeroed when asked, whatever their size.
TEST_F(LocalHeap, LargeBlocks_FreedAndTakenAgainAreWholeAndCountedOnce) {
  const std::uint64_t before = Machine().HeapInUse();
  constexpr UINT kSizes[] = {0x200000, 0x200000, 0x300000, 0x200000, 0x1FFFFF, 0x400000};
  for (const UINT bytes : kSizes) {
    auto* block = static_cast<std::uint8_t*>(LocalAlloc(LMEM_FIXED, bytes));
    ASSERT_NE(block, nullptr) << bytes;
    EXPECT_EQ(Machine().HeapInUse(), before + bytes);
    std::memset(block, 0xA5, bytes);
    EXPECT_EQ(block[0], 0xA5);
    EXPECT_EQ(block[bytes - 1], 0xA5);
    EXPECT_EQ(LocalFree(block), nullptr);
    EXPECT_EQ(Machine().HeapInUse(), before);
  }
  // Asked zeroed, a block that held data before reads zero.
  auto* first = static_cast<std::uint8_t*>(LocalAlloc(LMEM_FIXED, 0x200000));
  ASSERT_NE(first, nullptr);
  std::memset(first, 0x5A, 0x200000);
  EXPECT_EQ(LocalFree(first), nullptr);
  auto* zeroed = static_cast<std::uint8_t*>(LocalAlloc(LMEM_ZEROINIT, 0x200000));
  ASSERT_NE(zeroed, nullptr);
  bool allZero = true;
  for (UINT i = 0; i < 0x200000; i += 4093) {
    allZero = allZero && zeroed[i] == 0;
  }
  EXPECT_TRUE(allZero);
  // Two large blocks at once are two blocks.
  auto* second = static_cast<std::uint8_t*>(LocalAlloc(LMEM_FIXED, 0x200000));
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, zeroed);
  EXPECT_EQ(Machine().HeapInUse(), before + 0x400000);
  EXPECT_EQ(LocalFree(zeroed), nullptr);
  EXPECT_EQ(LocalFree(second), nullptr);
  EXPECT_EQ(Machine().HeapInUse(), before);
}

}  // namespace
