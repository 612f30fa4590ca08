// Positioned reads and writes of the open bin file, shared by the file system section writer
// and reader.
#pragma once

#include "library/library_internal.h"

// Reads exactly length bytes; false on an error or a short read.
[[nodiscard]] inline bool BinRead(void* buffer, DWORD length) {
  DWORD got = 0;
  return ReadFile(BinFileHandle, buffer, length, &got, nullptr) && got == length;
}
// Reads up to length bytes; false on an error. *got receives the count.
[[nodiscard]] inline bool BinReadSome(void* buffer, DWORD length, DWORD* got) {
  *got = 0;
  return ReadFile(BinFileHandle, buffer, length, got, nullptr) != 0;
}
// Writes exactly length bytes; false on an error or a short write.
[[nodiscard]] inline bool BinWrite(const void* buffer, DWORD length) {
  DWORD written = 0;
  return WriteFile(BinFileHandle, buffer, length, &written, nullptr) && written == length;
}
// Current position (0xFFFFFFFF when the file cannot tell it).
[[nodiscard]] inline DWORD BinPosition() {
  return SetFilePointer(BinFileHandle, 0, nullptr, FILE_CURRENT);
}
[[nodiscard]] inline bool BinSeek(LONG distance, DWORD method) {
  SetLastError(ERROR_SUCCESS);
  const DWORD result = SetFilePointer(BinFileHandle, distance, nullptr, method);
  return !(result == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS);
}
[[nodiscard]] inline bool BinSeekTo(DWORD position) {
  LONG high = 0;  // with a high word the low word counts as unsigned
  SetLastError(ERROR_SUCCESS);
  const DWORD result =
      SetFilePointer(BinFileHandle, static_cast<LONG>(position), &high, FILE_BEGIN);
  return !(result == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS);
}
[[nodiscard]] inline bool BinSeekEnd() { return BinSeek(0, FILE_END); }
