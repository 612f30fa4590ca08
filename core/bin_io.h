// The open bin file and the one reader and writer of it that the bin file walk, the update, the
// region backup and the file system sections share.
//
// One rule for positions: a seek or a position query has failed when the platform answers
// INVALID_SET_FILE_POINTER and the thread's last error is not ERROR_SUCCESS (a position whose
// low word is all ones is a real one). Absolute positions are unsigned 32-bit: bin files stay
// below 4 GiB.
#pragma once

#include "core/bin_format.h"
#include "platform/types.h"

// The open bin file, or INVALID_HANDLE_VALUE. Only one is open at a time.
extern HANDLE BinFileHandle;

// Reads exactly length bytes; false on an error or a short read.
[[nodiscard]] bool BinRead(void* buffer, DWORD length);
// Reads up to length bytes; false on an error (a short read is an answer, not an error).
// *got receives the count.
[[nodiscard]] bool BinReadSome(void* buffer, DWORD length, DWORD* got);
// Writes exactly length bytes; false on an error or a short write.
[[nodiscard]] bool BinWrite(const void* buffer, DWORD length);
// Writes one little-endian word.
[[nodiscard]] bool BinWriteWord(DWORD value);
// The current position; false when the file cannot tell it.
[[nodiscard]] bool BinPosition(DWORD* position);
// Moves the position to an absolute offset.
[[nodiscard]] bool BinSeekTo(DWORD position);
// Moves the position by distance bytes (either way) from where it is.
[[nodiscard]] bool BinSeekBy(LONG distance);
// Moves the position to the end of the file.
[[nodiscard]] bool BinSeekEnd();
// The file's size; false when it cannot be told or is 4 GiB or more.
[[nodiscard]] bool BinFileSize(DWORD* size);
