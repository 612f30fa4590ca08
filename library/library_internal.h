// The library's own state and helpers, with the core pieces it shares with the storage layer:
// the work buffer, the checksum, the callbacks and the bin file reader (core/), the platform
// items and the open bin file's description (library/).
#pragma once

#include "core/bin_io.h"
#include "core/callbacks.h"
#include "core/checksum.h"
#include "core/work_buffer.h"
#include "library/bin_file.h"
#include "library/flashwick_lib.h"
#include "library/platform_items.h"
#include "platform/kernel.h"
#include "platform/storage.h"

// ---------------------------------------------------------------------------------------------
// Start-up state
// ---------------------------------------------------------------------------------------------
extern DWORD LibraryInitialized;
extern DWORD HardwareCheckStatus;

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
