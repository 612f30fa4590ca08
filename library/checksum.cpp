// The running checksum of records (byte sum) and sections (Fletcher-32).
#include "library/library_internal.h"

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
    for (DWORD i = 0; i < length; i += 4) {
      const DWORD word = LoadWord(bytes + i);
      a += word & 0xFFFF;
      b += a;
      a += word >> 16;
      b += a;
      sinceFold += 4;
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
  DWORD sum = checksum.byteSum;
  for (DWORD i = 0; i < length; ++i) {
    sum += bytes[i];
  }
  checksum.byteSum = sum;
  return sum;
}

DWORD ChecksumFinish() {
  if (checksum.algorithm == CHECKSUM_FLETCHER32) {
    return Fold(checksum.sumA) | (Fold(checksum.sumB) << 16);
  }
  return checksum.byteSum;
}

DWORD ChecksumByteCount() { return checksum.byteCount; }
