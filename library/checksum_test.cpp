#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "library/library_internal.h"

namespace {

DWORD Fletcher(const std::vector<std::vector<BYTE>>& pieces) {
  ChecksumSelect(CHECKSUM_FLETCHER32);
  for (const auto& piece : pieces) {
    (void)ChecksumUpdate(piece.data(), static_cast<DWORD>(piece.size()));
  }
  return ChecksumFinish();
}

TEST(Checksum, KnownValues) {
  const BYTE abcd[] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(Fletcher({}), 0xFFFFFFFFu);
  EXPECT_EQ(Fletcher({{abcd, abcd + 4}}), 0x2926C6C4u);
  ChecksumSelect(CHECKSUM_BYTE_SUM);
  EXPECT_EQ(ChecksumUpdate(abcd, 4), 0x18Au);
  EXPECT_EQ(ChecksumFinish(), 0x18Au);
  EXPECT_EQ(ChecksumByteCount(), 4u);
}

TEST(Checksum, FoldCountsAcrossCalls) {
  // 720 bytes of 0xFF: the sums fold after every 360 bytes whether they come in one piece or
  // in pieces of 4 and 716; without the fold the 32-bit sums would differ.
  std::vector<BYTE> all(720, 0xFF);
  const DWORD whole = Fletcher({all});
  EXPECT_EQ(Fletcher({{all.begin(), all.begin() + 4}, {all.begin() + 4, all.end()}}), whole);
  EXPECT_EQ(Fletcher({{all.begin(), all.begin() + 360}, {all.begin() + 360, all.end()}}), whole);
  // A run past 360 bytes differs from one that never folds: the sums wrap differently.
  ChecksumSelect(CHECKSUM_FLETCHER32);
  for (int i = 0; i < 90; ++i) {
    (void)ChecksumUpdate(all.data(), 4);
  }
  const DWORD folded = ChecksumFinish();
  EXPECT_EQ(folded, Fletcher({{all.begin(), all.begin() + 360}}));
}

TEST(Checksum, UpdateNotMultipleOfFourIsIgnored) {
  const BYTE data[] = {1, 2, 3, 4, 5, 6, 7};
  ChecksumSelect(CHECKSUM_FLETCHER32);
  (void)ChecksumUpdate(data, 4);
  const DWORD before = ChecksumFinish();
  (void)ChecksumUpdate(data, 3);
  EXPECT_EQ(ChecksumFinish(), before);
  EXPECT_EQ(ChecksumByteCount(), 7u);
  // The byte sum takes every length.
  ChecksumSelect(CHECKSUM_BYTE_SUM);
  EXPECT_EQ(ChecksumUpdate(data, 7), 28u);
}

TEST(Checksum, SelectResets) {
  const BYTE data[] = {9, 9, 9, 9};
  ChecksumSelect(CHECKSUM_BYTE_SUM);
  (void)ChecksumUpdate(data, 4);
  ChecksumSelect(CHECKSUM_BYTE_SUM);
  EXPECT_EQ(ChecksumFinish(), 0u);
  EXPECT_EQ(ChecksumByteCount(), 0u);
}

struct CallLog {
  std::vector<std::vector<DWORD>> calls;
};
CallLog callLog;

int RecordSection(DWORD start, DWORD length, DWORD checksum) {
  callLog.calls.push_back({1, start, length, checksum});
  return 1;
}
int RecordData(DWORD section, DWORD all) {
  callLog.calls.push_back({2, section, all});
  return all < 100 ? 1 : 0;
}

TEST(Callbacks, EmptySlotsAnswerGoOn) {
  ResetLibraryStateForTesting();
  const ImageInfo info{};
  EXPECT_EQ(ProgressBeginOperation(&info), 1);
  EXPECT_EQ(ProgressBeginSection(0, 10, 0), 1);
  EXPECT_EQ(ProgressAdd(5), 1);
}

TEST(Callbacks, SectionResetsOnlySectionCounter) {
  ResetLibraryStateForTesting();
  callLog.calls.clear();
  SectionBeginFn = RecordSection;
  DataProgressFn = RecordData;
  const ImageInfo info{};
  ASSERT_EQ(ProgressBeginOperation(&info), 1);
  ASSERT_EQ(ProgressBeginSection(0x100, 40, 7), 1);
  ASSERT_EQ(ProgressAdd(30), 1);
  ASSERT_EQ(ProgressBeginSection(0x200, 80, 0), 1);
  ASSERT_EQ(ProgressAdd(50), 1);
  EXPECT_EQ(ProgressAdd(20), 0);  // the callback asks to stop at 100 bytes
  const std::vector<std::vector<DWORD>> expected = {
      {1, 0x100, 40, 7}, {2, 30, 30}, {1, 0x200, 80, 0}, {2, 50, 80}, {2, 70, 100}};
  EXPECT_EQ(callLog.calls, expected);
  ASSERT_EQ(ProgressBeginOperation(&info), 1);
  ASSERT_EQ(ProgressAdd(1), 1);
  EXPECT_EQ(callLog.calls.back(), (std::vector<DWORD>{2, 71, 1}));
}

}  // namespace
