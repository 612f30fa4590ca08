// The checksum unit: one process-wide running checksum, the byte sum of bin records and the
// Fletcher-32 of file system and CPLD sections.
#pragma once

#include "platform/types.h"

constexpr int CHECKSUM_BYTE_SUM = 3;
constexpr int CHECKSUM_FLETCHER32 = 4;
// Selects an algorithm; resets the state and the byte counter.
void ChecksumSelect(int algorithm);
void ChecksumReset();
// Feeds length bytes; returns the current value. A Fletcher-32 update whose length is not a
// multiple of 4 leaves the sums unchanged (files written by the program rely on it).
DWORD ChecksumUpdate(const void* data, DWORD length);
// The value (Fletcher-32 folds first).
DWORD ChecksumFinish();
// Bytes fed since the last reset.
DWORD ChecksumByteCount();
