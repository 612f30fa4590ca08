// The running checksum of records (byte sum) and sections (Fletcher-32).
#include "core/checksum.h"

#include <cstdint>
#include <cstring>

#include "core/bin_format.h"

namespace {

struct ChecksumState {
  int algorithm = CHECKSUM_BYTE_SUM;
  DWORD byteSum = 0;
  DWORD sumA = 0xFFFF;
  DWORD sumB = 0xFFFF;
  DWORD bytesSinceFold = 0;  // Fletcher-32 folds after every 360 bytes of the stream
  DWORD byteCount = 0;
} checksum;

constexpr DWORD kFoldInterval = 360;

DWORD Fold(DWORD sum) { return (sum >> 16) + (sum & 0xFFFF); }

// --- Byte sum ---
// Bytes are added in thirty-two 16-bit lanes, which take 257 bytes each before they could
// overflow; a block of 256 rows of 32 bytes is then added into the 32-bit sum. The compiler
// turns the lane loop into a few vector instructions per row, two vectors wide so that the
// additions overlap. Kept out of its caller: inlined there, GCC keeps the lanes in memory
// across rows and the sum runs at less than half the speed (20 against 47 GB/s measured).
#if defined(__GNUC__)
__attribute__((noinline))
#endif
DWORD AddBytes(DWORD sum, const BYTE* bytes, DWORD length) {
  constexpr DWORD kLanes = 32;
  constexpr DWORD kRowsPerBlock = 256;
  while (length >= kLanes) {
    const DWORD rows = length / kLanes < kRowsPerBlock ? length / kLanes : kRowsPerBlock;
    std::uint16_t lanes[kLanes] = {};
    for (DWORD row = 0; row < rows; ++row) {
      for (DWORD lane = 0; lane < kLanes; ++lane) {
        lanes[lane] = static_cast<std::uint16_t>(lanes[lane] + bytes[row * kLanes + lane]);
      }
    }
    for (const std::uint16_t lane : lanes) {
      sum += lane;
    }
    bytes += rows * kLanes;
    length -= rows * kLanes;
  }
  for (DWORD i = 0; i < length; ++i) {
    sum += bytes[i];
  }
  return sum;
}

// --- Fletcher-32 ---
// Between two folds the sums are plain 32-bit arithmetic, so a stretch of n halves h1..hn
// gives A' = A + sum(h) and B' = B + n*A + sum((n - i + 1) * hi). The stretch is taken in rows
// of w words (2w halves, lane l holding half l of each row): per lane, a_l sums the halves and
// b_l sums the running a_l after each row, and then
//   sum(h) = sum(a_l),  sum((n - i + 1) * hi) = sum(2w * b_l - l * a_l).
// Words beyond the last whole row are added one half at a time.
void AddWordsSequentially(const BYTE* bytes, DWORD words, DWORD& a, DWORD& b) {
  for (DWORD i = 0; i < words; ++i) {
    const DWORD word = LoadWord(bytes + 4 * i);
    a += word & 0xFFFF;
    b += a;
    a += word >> 16;
    b += a;
  }
}

// The lane sums of `rows` rows of kWords words: sum(h) and sum((n - i + 1) * hi) over them.
struct RowSums {
  DWORD a = 0;
  DWORD b = 0;
};

#if defined(__GNUC__) && (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
// Four and eight 32-bit lanes: GCC and Clang map these onto the target's vector registers.
using FourLanes = DWORD __attribute__((vector_size(16)));
using EightLanes = DWORD __attribute__((vector_size(32)));

template <typename Lanes>
__attribute__((always_inline)) inline RowSums AddRowsOf(const BYTE* bytes, DWORD rows) {
  constexpr DWORD kWords = sizeof(Lanes) / 4;
  Lanes lowA = {};
  Lanes highA = {};
  Lanes lowB = {};
  Lanes highB = {};
  Lanes mask;
  Lanes lowWeight;
  Lanes highWeight;
  for (DWORD lane = 0; lane < kWords; ++lane) {
    mask[lane] = 0xFFFF;
    // Lane l of the row is half l % 2 of word l / 2.
    lowWeight[lane] = 2 * lane;
    highWeight[lane] = 2 * lane + 1;
  }
  for (DWORD row = 0; row < rows; ++row) {
    Lanes word;
    std::memcpy(&word, bytes + sizeof(Lanes) * row, sizeof(word));  // little-endian words
    lowA += word & mask;
    highA += word >> 16;
    lowB += lowA;
    highB += highA;
  }
  const Lanes laneA = lowA + highA;
  const Lanes laneB = (lowB + highB) * (2 * kWords) - lowA * lowWeight - highA * highWeight;
  RowSums sums;
  for (DWORD lane = 0; lane < kWords; ++lane) {
    sums.a += laneA[lane];
    sums.b += laneB[lane];
  }
  return sums;
}

RowSums AddRows4(const BYTE* bytes, DWORD rows) { return AddRowsOf<FourLanes>(bytes, rows); }

#if defined(__x86_64__)
// Processors with 256-bit vectors take rows of eight words, twice the data per instruction.
#define FLASHWICK_WIDE_ROWS 1
__attribute__((target("avx2"))) RowSums AddRows8(const BYTE* bytes, DWORD rows) {
  return AddRowsOf<EightLanes>(bytes, rows);
}

bool HasWideRows() {
  static const bool wide = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return wide;
}
#endif
#else
RowSums AddRows4(const BYTE* bytes, DWORD rows) {
  constexpr DWORD kHalves = 8;
  DWORD laneA[kHalves] = {};
  DWORD laneB[kHalves] = {};
  for (DWORD row = 0; row < rows; ++row) {
    for (DWORD k = 0; k < 4; ++k) {
      const DWORD word = LoadWord(bytes + 16 * row + 4 * k);
      laneA[2 * k] += word & 0xFFFF;
      laneA[2 * k + 1] += word >> 16;
    }
    for (DWORD lane = 0; lane < kHalves; ++lane) {
      laneB[lane] += laneA[lane];
    }
  }
  RowSums sums;
  for (DWORD lane = 0; lane < kHalves; ++lane) {
    sums.a += laneA[lane];
    sums.b += kHalves * laneB[lane] - lane * laneA[lane];
  }
  return sums;
}
#endif

void AddStretch(const BYTE* bytes, DWORD words, DWORD& a, DWORD& b) {
#if defined(FLASHWICK_WIDE_ROWS)
  const bool wide = HasWideRows();
#else
  constexpr bool wide = false;
#endif
  const DWORD rowWords = wide ? 8 : 4;
  const DWORD rows = words / rowWords;
  RowSums sums;
  if (rows > 0) {
#if defined(FLASHWICK_WIDE_ROWS)
    sums = wide ? AddRows8(bytes, rows) : AddRows4(bytes, rows);
#else
    sums = AddRows4(bytes, rows);
#endif
  }
  b += 2 * rowWords * rows * a + sums.b;
  a += sums.a;
  AddWordsSequentially(bytes + 4 * rowWords * rows, words - rowWords * rows, a, b);
}

}  // namespace

void ChecksumReset() {
  checksum.byteSum = 0;
  checksum.sumA = 0xFFFF;
  checksum.sumB = 0xFFFF;
  checksum.bytesSinceFold = 0;
  checksum.byteCount = 0;
}

void ChecksumSelect(int algorithm) {
  checksum.algorithm = algorithm;
  ChecksumReset();
}

DWORD ChecksumUpdate(const void* data, DWORD length) {
  checksum.byteCount += length;
  const auto* bytes = static_cast<const BYTE*>(data);
  if (checksum.algorithm == CHECKSUM_FLETCHER32) {
    if (length % 4 != 0) {
      return ChecksumFinish();
    }
    DWORD a = checksum.sumA;
    DWORD b = checksum.sumB;
    DWORD sinceFold = checksum.bytesSinceFold;
    while (length > 0) {
      const DWORD stretch = length < kFoldInterval - sinceFold ? length : kFoldInterval - sinceFold;
      AddStretch(bytes, stretch / 4, a, b);
      bytes += stretch;
      length -= stretch;
      sinceFold += stretch;
      if (sinceFold == kFoldInterval) {
        a = Fold(a);
        b = Fold(b);
        sinceFold = 0;
      }
    }
    checksum.sumA = a;
    checksum.sumB = b;
    checksum.bytesSinceFold = sinceFold;
    return ChecksumFinish();
  }
  checksum.byteSum = AddBytes(checksum.byteSum, bytes, length);
  return checksum.byteSum;
}

DWORD ChecksumFinish() {
  if (checksum.algorithm == CHECKSUM_FLETCHER32) {
    return Fold(checksum.sumA) | (Fold(checksum.sumB) << 16);
  }
  return checksum.byteSum;
}

DWORD ChecksumByteCount() { return checksum.byteCount; }
