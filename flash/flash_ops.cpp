#include "flash/flash_ops.h"

#include "flash/kernel_mode.h"
#include "flash/nor_driver.h"
#include "platform/kernel.h"

FlashOperations FlashOps = {};
int FlashKind = kFlashKindNone;
DWORD FlashSize = 0;
int FlashLastError = 0;
int flashChipClass = 0;

namespace {

// Shared with the OS flash driver, which takes it around its own flash accesses.
constexpr WCHAR kFlashMutexName[] = u"OnModuleFlash";

int flashInitDone = 0;  // 0 until the selection ran; then 1 when a driver is ready
HANDLE flashMutex = nullptr;
FlashProgressHook progressHook = nullptr;
DWORD progressStep = 0;

}  // namespace

int FlashInit() {
  if (flashInitDone != 0) {
    return FlashKind;
  }
  flashMutex = CreateMutexW(nullptr, FALSE, kFlashMutexName);
  if (flashMutex == nullptr) {
    return kFlashKindNone;
  }
  // Marked first, so that the lock below does not run the selection again.
  flashInitDone = 1;
  const int locked = FlashLock(INFINITE);
  // The PXA27x modules carry NOR flash; every other has NAND flash.
  if (GetProcessorIdentity() == kProcessorPxa27x) {
    FlashKind = kFlashKindNor;
    flashInitDone = NorInit();
    FlashOps = kNorOperations;
  } else {
    FlashKind = kFlashKindNand;
    flashInitDone = NandInit();
    FlashOps = kNandOperations;
  }
  if (locked != 0) {
    (void)FlashUnlock();
  }
  if (flashInitDone == 0) {
    (void)FlashDeinit();
  }
  return FlashKind;
}

int FlashLock(DWORD timeoutMs) {
  if (flashInitDone == 0) {
    (void)FlashInit();
  }
  if (flashMutex == nullptr) {
    return 0;
  }
  // An abandoned mutex is owned all the same (its holder ended without releasing it); the
  // operations that follow set the chips' mode themselves.
  const DWORD result = WaitForSingleObject(flashMutex, timeoutMs);
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED ? 1 : 0;
}

int FlashUnlock() { return ReleaseMutex(flashMutex); }

int FlashDeinit() {
  if (flashMutex != nullptr) {
    (void)CloseHandle(flashMutex);
  }
  FlashKind = kFlashKindNone;
  flashMutex = nullptr;
  flashInitDone = 0;
  return 1;
}

void FlashSetProgressHook(FlashProgressHook hook, DWORD step) {
  progressHook = hook;
  progressStep = step;
}

int EraseProgress::BeforeBlock(DWORD done) {
  if (progressHook == nullptr || done < nextReport) {
    return 1;
  }
  if (progressHook(done, total) == 0) {
    return 0;
  }
  nextReport += progressStep;
  return 1;
}

void FlashResetForTesting() {
  FlashOps = {};
  FlashKind = kFlashKindNone;
  FlashSize = 0;
  FlashLastError = 0;
  flashChipClass = 0;
  flashInitDone = 0;
  flashMutex = nullptr;
  progressHook = nullptr;
  progressStep = 0;
  NorResetForTesting();
}
