// The library's own state and helpers shared by its files and by the storage layer.
#pragma once

#include "library/flashwick_lib.h"
#include "platform/kernel.h"
#include "platform/storage.h"

// ---------------------------------------------------------------------------------------------
// Start-up state, work buffer, platform items
// ---------------------------------------------------------------------------------------------
extern DWORD LibraryInitialized;
extern DWORD HardwareCheckStatus;
// The one large buffer through which the library moves data: 2 MiB when memory allows, always a
// power of two; every user moves data through it in chunks of at most WorkBufferSize bytes.
extern BYTE* WorkBuffer;
extern DWORD WorkBufferSize;

[[nodiscard]] FwlStatus AllocWorkBuffer();
void FreeWorkBuffer();
// Frees the work buffer when it leaves scope, unless it existed when the guard was made.
class WorkBufferScope {
 public:
  WorkBufferScope() : owned_(WorkBuffer == nullptr) {}
  ~WorkBufferScope() {
    if (owned_) {
      FreeWorkBuffer();
    }
  }
  WorkBufferScope(const WorkBufferScope&) = delete;
  WorkBufferScope& operator=(const WorkBufferScope&) = delete;

 private:
  bool owned_;
};

// Reads platform data item subCode into item (size bytes). Returns the bytes answered (0: the
// platform did not answer).
[[nodiscard]] DWORD QueryPlatform(DWORD subCode, void* item, DWORD size);
// Writes platform data item subCode back; returns the bytes stored (0: not stored).
[[nodiscard]] DWORD StorePlatform(DWORD subCode, const void* item, DWORD size);

// ---------------------------------------------------------------------------------------------
// Callbacks: the five slots and the three operations that feed them
// ---------------------------------------------------------------------------------------------
extern ProgressCallback ValidateProgressFn;
extern ProgressCallback EraseProgressFn;
extern SectionBeginCallback SectionBeginFn;
extern DataProgressCallback DataProgressFn;
extern BackupBeginCallback BackupBeginFn;

// all bytes = 0, then BackupBeginFn(info); 1 for an empty slot.
[[nodiscard]] int ProgressBeginOperation(const ImageInfo* info);
// section bytes = 0, then SectionBeginFn(start, length, checksum); 1 for an empty slot.
[[nodiscard]] int ProgressBeginSection(DWORD start, DWORD length, DWORD checksum);
// both counters grow by n, then DataProgressFn(section bytes, all bytes); 1 for an empty slot.
[[nodiscard]] int ProgressAdd(DWORD bytes);

// ---------------------------------------------------------------------------------------------
// Checksum unit: one process-wide running checksum
// ---------------------------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------------------------
// Open bin file state
// ---------------------------------------------------------------------------------------------
constexpr DWORD BIN_CONTENTS_IMAGE = 2;
constexpr DWORD BIN_CONTENTS_FILE_SYSTEM = 4;
constexpr DWORD BIN_CONTENTS_CPLD = 8;
struct AddressRange {
  DWORD start;
  DWORD length;
};
extern HANDLE BinFileHandle;
extern DWORD BinContents;
extern AddressRange CurrentImageRange;
extern DWORD AddressOffset;

// Markers of the sections that follow the image part.
constexpr DWORD kFsSectionMagic = 0x54585348;         // "HSXT"
constexpr DWORD kForeignFsSectionMagic = 0x46465348;  // "HSFF"
constexpr DWORD kCpldSectionMagic = 0x54584358;       // "XCXT"
constexpr DWORD kFsSectionHeaderSize = 348;
constexpr DWORD kCpldSectionHeaderSize = 24;

// Reads a little-endian word from bytes.
inline DWORD LoadWord(const void* bytes) {
  const auto* b = static_cast<const BYTE*>(bytes);
  return static_cast<DWORD>(b[0]) | (static_cast<DWORD>(b[1]) << 8) |
         (static_cast<DWORD>(b[2]) << 16) | (static_cast<DWORD>(b[3]) << 24);
}
inline void StoreWord(void* bytes, DWORD value) {
  auto* b = static_cast<BYTE*>(bytes);
  b[0] = static_cast<BYTE>(value);
  b[1] = static_cast<BYTE>(value >> 8);
  b[2] = static_cast<BYTE>(value >> 16);
  b[3] = static_cast<BYTE>(value >> 24);
}

// Flash bytes that hold the store's data: its mapped sectors times the sector size (0 when a
// request fails or no buffer can be had).
[[nodiscard]] DWORD GetStoreUsage(HANDLE store, const STOREINFO* info);

// Tick count that the last long operation took (FWLGetOperationTime).
extern DWORD LastOperationTime;
// Measures a long operation from its construction to its destruction into LastOperationTime.
class OperationTimer {
 public:
  OperationTimer() : start_(GetTickCount()) {}
  ~OperationTimer() { LastOperationTime = GetTickCount() - start_; }
  OperationTimer(const OperationTimer&) = delete;
  OperationTimer& operator=(const OperationTimer&) = delete;

 private:
  DWORD start_;
};

// Writes record data to the flash: directly on NOR, gathered into whole pages on NAND. A
// length of 0 flushes the buffered page and releases the page buffer.
[[nodiscard]] FwlStatus PageWrite(const BYTE* data, DWORD offset, DWORD length);

// --- testing calls ---
// Returns the library's process-wide state to its start values.
void ResetLibraryStateForTesting();
