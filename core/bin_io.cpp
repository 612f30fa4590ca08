// Reads, writes and seeks of the open bin file.
#include "core/bin_io.h"

#include "platform/kernel.h"

HANDLE BinFileHandle = INVALID_HANDLE_VALUE;

namespace {

// The one rule for a seek: clear the last error first, so that a position whose low word is
// all ones is told apart from a failure.
bool Seek(LONG distance, LONG* high, DWORD method, DWORD* position) {
  SetLastError(ERROR_SUCCESS);
  const DWORD result = SetFilePointer(BinFileHandle, distance, high, method);
  if (result == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) {
    return false;
  }
  if (high != nullptr && *high != 0) {
    return false;  // beyond 4 GiB: no bin file reaches there
  }
  if (position != nullptr) {
    *position = result;
  }
  return true;
}

}  // namespace

bool BinRead(void* buffer, DWORD length) {
  DWORD got = 0;
  return ReadFile(BinFileHandle, buffer, length, &got, nullptr) && got == length;
}

bool BinReadSome(void* buffer, DWORD length, DWORD* got) {
  *got = 0;
  return ReadFile(BinFileHandle, buffer, length, got, nullptr) != FALSE;
}

bool BinWrite(const void* buffer, DWORD length) {
  DWORD written = 0;
  return WriteFile(BinFileHandle, buffer, length, &written, nullptr) && written == length;
}

bool BinWriteWord(DWORD value) {
  BYTE bytes[4];
  StoreWord(bytes, value);
  return BinWrite(bytes, sizeof(bytes));
}

bool BinPosition(DWORD* position) {
  LONG high = 0;
  return Seek(0, &high, FILE_CURRENT, position);
}

bool BinSeekTo(DWORD position) {
  LONG high = 0;  // with a high word the low word counts as unsigned
  return Seek(static_cast<LONG>(position), &high, FILE_BEGIN, nullptr);
}

bool BinSeekBy(LONG distance) {
  LONG high = distance < 0 ? -1 : 0;  // the distance sign-extended to 64 bits
  return Seek(distance, &high, FILE_CURRENT, nullptr);
}

bool BinSeekEnd() {
  LONG high = 0;
  return Seek(0, &high, FILE_END, nullptr);
}

bool BinFileSize(DWORD* size) {
  DWORD high = 0;
  SetLastError(ERROR_SUCCESS);
  const DWORD low = GetFileSize(BinFileHandle, &high);
  if ((low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) || high != 0) {
    return false;
  }
  *size = low;
  return true;
}
