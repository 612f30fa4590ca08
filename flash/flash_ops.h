// The single entry into the module's flash: the operations table, the system-wide lock and the
// one-time driver selection.
//
// Callers see one flat byte space from offset 0 to FlashSize, whatever the chips behind it:
// NOR flash on the PXA27x modules, NAND flash with its bad block table on the others.
// Operations return non-zero for success. Bracket every group of accesses with
// FlashLock(INFINITE) and FlashUnlock(); "OnModuleFlash" is shared with the OS flash driver.
#pragma once

#include "platform/types.h"

using FlashProgressHook = int (*)(DWORD done, DWORD total);

// The eight slots, in the order FlashInit fills them. Offsets and lengths are bytes.
struct FlashOperations {
  // Erases every block the range touches; 0 on failure, beyond FlashSize, or when the progress
  // hook asks to stop. A length that rounds to no block succeeds at once.
  int (*Erase)(DWORD start, DWORD length);
  // Programs one 32-bit word at offset.
  int (*WriteWord)(DWORD offset, DWORD value);
  // Programs length bytes at offset into erased flash; 0 on failure or beyond FlashSize.
  int (*Write)(const void* buffer, DWORD offset, DWORD length);
  // The 32-bit word at offset.
  DWORD (*ReadWord)(DWORD offset);
  // Copies length bytes from offset; 0 on failure or beyond FlashSize.
  int (*Read)(void* buffer, DWORD offset, DWORD length);
  // Erase-block size at offset.
  DWORD (*BlockSize)(DWORD offset);
  // Write-unit size (NAND only: null on NOR).
  DWORD (*PageSize)();
  // Hardware error correction on (non-zero) or off for following NAND page accesses; returns
  // the previous setting. No effect on NOR (returns 0).
  int (*SetEcc)(int enable);
};

// FlashKind values.
constexpr int kFlashKindNone = 0;
constexpr int kFlashKindNor = 1;
constexpr int kFlashKindNand = 2;

extern FlashOperations FlashOps;
extern int FlashKind;       // 0 none, 1 NOR, 2 NAND
extern DWORD FlashSize;     // usable bytes, set by the driver's start-up
extern int FlashLastError;  // last NAND driver error code; NOR never sets it
extern int flashChipClass;  // chip class of the running driver

// Runs the driver selection once; returns FlashKind (0 when no driver is ready).
[[nodiscard]] int FlashInit();
// Runs FlashInit if needed, then waits for "OnModuleFlash". 1 when owned, 0 when there is no
// mutex or the wait failed or timed out.
[[nodiscard]] int FlashLock(DWORD timeoutMs);
// Releases "OnModuleFlash"; ReleaseMutex's result.
int FlashUnlock();
// Closes the mutex and forgets the driver; returns 1. Only FlashInit calls it.
int FlashDeinit();
// Sets the hook that Erase calls about every step bytes (and once before the first block).
void FlashSetProgressHook(FlashProgressHook hook, DWORD step);

// Shared by both drivers' Erase: progress reporting over a range of total bytes.
// Returns 0 when the hook asked to stop.
struct EraseProgress {
  DWORD total = 0;
  DWORD nextReport = 0;
  [[nodiscard]] int BeforeBlock(DWORD done);
};

// Holds "OnModuleFlash" for a scope: FlashLock(INFINITE) on construction, FlashUnlock when it
// goes out of scope (if the lock was taken).
class FlashLockGuard {
 public:
  FlashLockGuard() : locked_(FlashLock(INFINITE) != 0) {}
  ~FlashLockGuard() {
    if (locked_) {
      (void)FlashUnlock();
    }
  }
  FlashLockGuard(const FlashLockGuard&) = delete;
  FlashLockGuard& operator=(const FlashLockGuard&) = delete;
  [[nodiscard]] bool Locked() const { return locked_; }

 private:
  bool locked_;
};

// Driver start-ups (each fills FlashSize and flashChipClass; 1 when ready).
[[nodiscard]] int NorInit();
[[nodiscard]] int NandInit();
// The drivers' tables.
extern const FlashOperations kNorOperations;
extern const FlashOperations kNandOperations;

// --- testing calls ---
// Forgets the selection, the mutex handle, the hook and the NOR mapping, as a new process would
// start (the module they belonged to is gone).
void FlashResetForTesting();
