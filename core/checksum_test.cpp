// The running checksum: known values, the fold that counts across calls, and pieces that
// are not whole words.
#include "core/checksum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "host/sample_content.h"
#include "library/library_internal.h"
#include "tests/support/test_pattern.h"

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

// The kernels against a plain word-at-a-time reference, over lengths around the fold interval
// and the kernels' block sizes, fed in pieces of many sizes.
TEST(Checksum, MatchesReferenceInAnyPieces) {
  const std::vector<BYTE> data = testing_support::Pattern(40000, 11);
  const std::vector<BYTE> ones(40000, 0xFF);
  for (const auto* source : {&data, &ones}) {
    for (const std::size_t length : {0u, 4u, 356u, 360u, 364u, 720u, 1440u, 4096u, 39996u}) {
      const std::vector<BYTE> whole(source->begin(), source->begin() + length);
      const DWORD expected = sample_content::Fletcher32(whole);
      EXPECT_EQ(Fletcher({whole}), expected) << length;
      DWORD byteSum = 0;
      for (BYTE byte : whole) {
        byteSum += byte;
      }
      for (const std::size_t piece : {4u, 8u, 12u, 44u, 364u, 1024u, 2048u}) {
        std::vector<std::vector<BYTE>> pieces;
        for (std::size_t at = 0; at < length; at += piece) {
          pieces.emplace_back(whole.begin() + at, whole.begin() + std::min(length, at + piece));
        }
        EXPECT_EQ(Fletcher(pieces), expected) << length << " in pieces of " << piece;
        ChecksumSelect(CHECKSUM_BYTE_SUM);
        for (const auto& part : pieces) {
          (void)ChecksumUpdate(part.data(), static_cast<DWORD>(part.size()));
        }
        EXPECT_EQ(ChecksumFinish(), byteSum) << length << " in pieces of " << piece;
      }
      // Unaligned data give the same sums.
      std::vector<BYTE> shifted(length + 1);
      std::copy(whole.begin(), whole.end(), shifted.begin() + 1);
      ChecksumSelect(CHECKSUM_FLETCHER32);
      (void)ChecksumUpdate(shifted.data() + 1, static_cast<DWORD>(length));
      EXPECT_EQ(ChecksumFinish(), expected) << length << " unaligned";
      ChecksumSelect(CHECKSUM_BYTE_SUM);
      EXPECT_EQ(ChecksumUpdate(shifted.data() + 1, static_cast<DWORD>(length)), byteSum);
    }
  }
}

// A plain reference that keeps its state across calls as the unit does: Fletcher-32 over
// 16-bit halves of little-endian words, folded after every 360 bytes of the stream, and an
// update whose length is not a multiple of 4 ignored.
struct ReferenceChecksum {
  DWORD a = 0xFFFF;
  DWORD b = 0xFFFF;
  DWORD sinceFold = 0;
  DWORD byteSum = 0;
  void Update(const BYTE* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
      byteSum += bytes[i];
    }
    if (length % 4 != 0) {
      return;
    }
    for (std::size_t i = 0; i < length; i += 2) {
      a += static_cast<DWORD>(bytes[i] | (bytes[i + 1] << 8));
      b += a;
      if (i % 4 == 2 && (sinceFold += 4) == 360) {
        a = (a >> 16) + (a & 0xFFFF);
        b = (b >> 16) + (b & 0xFFFF);
        sinceFold = 0;
      }
    }
  }
  [[nodiscard]] DWORD Fletcher() const {
    return ((a >> 16) + (a & 0xFFFF)) | (((b >> 16) + (b & 0xFFFF)) << 16);
  }
};

// Random streams of 0 to 2000 bytes, random data or all 0xFF (the largest sums), split into
// random pieces (odd lengths among them) at random alignments: every intermediate value of both
// algorithms equals the reference's.
TEST(Checksum, MatchesReferenceOnRandomStreams) {
  std::mt19937 random(20261211);
  std::vector<BYTE> buffer(2000 + 8);
  for (int round = 0; round < 3000; ++round) {
    const bool ones = round % 4 == 0;
    for (BYTE& byte : buffer) {
      byte = ones ? BYTE{0xFF} : static_cast<BYTE>(random());
    }
    const std::size_t length = random() % 2001;
    const std::size_t offset = random() % 8;
    const BYTE* data = buffer.data() + offset;
    // Pieces: whole words mostly, now and then any length.
    std::vector<std::size_t> pieces;
    for (std::size_t at = 0; at < length;) {
      std::size_t piece = 1 + random() % (round % 3 == 0 ? 2000 : 64);
      if (random() % 4 != 0) {
        piece = (piece + 3) & ~std::size_t{3};
      }
      piece = std::min(piece, length - at);
      pieces.push_back(piece);
      at += piece;
    }
    for (const int algorithm : {CHECKSUM_FLETCHER32, CHECKSUM_BYTE_SUM}) {
      ReferenceChecksum reference;
      ChecksumSelect(algorithm);
      std::size_t at = 0;
      for (const std::size_t piece : pieces) {
        reference.Update(data + at, piece);
        const DWORD value = ChecksumUpdate(data + at, static_cast<DWORD>(piece));
        at += piece;
        const DWORD expected =
            algorithm == CHECKSUM_FLETCHER32 ? reference.Fletcher() : reference.byteSum;
        ASSERT_EQ(value, expected) << "round " << round << " at " << at << " of " << length;
        ASSERT_EQ(ChecksumFinish(), expected);
      }
      ASSERT_EQ(ChecksumByteCount(), length);
    }
    // In one piece the value is the one a bin file carries.
    if (length % 4 == 0) {
      ChecksumSelect(CHECKSUM_FLETCHER32);
      (void)ChecksumUpdate(data, static_cast<DWORD>(length));
      ASSERT_EQ(ChecksumFinish(),
                sample_content::Fletcher32(std::vector<BYTE>(data, data + length)));
    }
  }
}

// The byte sum wraps at 32 bits.
TEST(Checksum, ByteSumWraps) {
  const std::vector<BYTE> ones(1 << 20, 0xFF);
  ChecksumSelect(CHECKSUM_BYTE_SUM);
  for (int i = 0; i < 17; ++i) {
    (void)ChecksumUpdate(ones.data(), static_cast<DWORD>(ones.size()));
  }
  EXPECT_EQ(ChecksumFinish(), static_cast<DWORD>(17ull * (1 << 20) * 0xFF));
}

}  // namespace
