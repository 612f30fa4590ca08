// The bin file reader: exact and short reads, and seeks that fail only when the platform says
// so, leaving the position where it was.
#include "core/bin_io.h"

#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "tests/support/module_fixture.h"

namespace {

class BinIo : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    testing_support::ModuleTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    BinFileHandle = CreateFileW(u"\\bin_io.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(BinFileHandle, INVALID_HANDLE_VALUE);
    BYTE bytes[100];
    for (DWORD i = 0; i < sizeof(bytes); ++i) {
      bytes[i] = static_cast<BYTE>(i);
    }
    ASSERT_TRUE(BinWrite(bytes, sizeof(bytes)));
  }
  void TearDown() override {
    if (BinFileHandle != INVALID_HANDLE_VALUE) {
      (void)CloseHandle(BinFileHandle);
      BinFileHandle = INVALID_HANDLE_VALUE;
    }
    testing_support::ModuleTest::TearDown();
  }
  static DWORD Position() {
    DWORD position = 0xDEAD;
    EXPECT_TRUE(BinPosition(&position));
    return position;
  }
};

TEST_F(BinIo, Seeks_MoveOrFailWithThePositionKept) {
  DWORD size = 0;
  ASSERT_TRUE(BinFileSize(&size));
  EXPECT_EQ(size, 100u);
  ASSERT_TRUE(BinSeekTo(40));
  EXPECT_EQ(Position(), 40u);
  ASSERT_TRUE(BinSeekBy(-10));
  EXPECT_EQ(Position(), 30u);
  EXPECT_FALSE(BinSeekBy(-31)) << "a seek before the start";
  EXPECT_EQ(Position(), 30u);
  // The platform fails the next positioning call: the seek says so, whatever the last error of
  // an earlier call was.
  SetLastError(ERROR_SUCCESS);
  Machine().Faults().Add({{"kind", "call"}, {"name", "SetFilePointer"}, {"count", 1}});
  EXPECT_FALSE(BinSeekTo(50));
  EXPECT_EQ(Position(), 30u);
  SetLastError(ERROR_GEN_FAILURE);  // a stale error does not make a good seek fail
  ASSERT_TRUE(BinSeekTo(60));
  EXPECT_EQ(Position(), 60u);
  ASSERT_TRUE(BinSeekEnd());
  EXPECT_EQ(Position(), 100u);
}

TEST_F(BinIo, Reads_ExactFailsShortSomeReportsIt) {
  ASSERT_TRUE(BinSeekTo(96));
  BYTE buffer[8] = {};
  DWORD got = 0;
  ASSERT_TRUE(BinReadSome(buffer, sizeof(buffer), &got));
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(buffer[0], 96);
  ASSERT_TRUE(BinReadSome(buffer, sizeof(buffer), &got)) << "the end of the file is an answer";
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(BinSeekTo(96));
  EXPECT_FALSE(BinRead(buffer, sizeof(buffer)));
  ASSERT_TRUE(BinSeekTo(10));
  ASSERT_TRUE(BinRead(buffer, 4));
  EXPECT_EQ(buffer[3], 13);
}

}  // namespace
