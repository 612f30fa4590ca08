#include "sim/os/os_flash.h"

#include <mutex>

#include "platform/kernel.h"
#include "sim/os/os_call.h"

namespace sim {
namespace {
OsFlash* currentOsFlash = nullptr;

std::mutex& LockHandleMutex() {
  static std::mutex mutex;
  return mutex;
}
HANDLE& LockHandle() {
  static HANDLE handle = nullptr;
  return handle;
}
}  // namespace

OsFlash* CurrentOsFlash() { return currentOsFlash; }
void SetCurrentOsFlash(OsFlash* flash) { currentOsFlash = flash; }

ModuleFlashLock::ModuleFlashLock() {
  // The OS driver's own calls: not the program's, so neither recorded nor failed by the plan.
  ModelCallScope scope;
  LastErrorKeeper keep;
  HANDLE handle = nullptr;
  {
    std::lock_guard guard(LockHandleMutex());
    if (LockHandle() == nullptr) {
      LockHandle() = CreateMutexW(nullptr, FALSE, u"OnModuleFlash");
    }
    handle = LockHandle();
  }
  if (handle != nullptr) {
    const DWORD wait = WaitForSingleObject(handle, INFINITE);
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  }
}

ModuleFlashLock::~ModuleFlashLock() {
  if (held_) {
    ModelCallScope scope;
    LastErrorKeeper keep;
    (void)ReleaseMutex(LockHandle());
  }
}

void ModuleFlashLock::Forget() {
  std::lock_guard guard(LockHandleMutex());
  if (LockHandle() != nullptr) {
    ModelCallScope scope;
    LastErrorKeeper keep;
    (void)CloseHandle(LockHandle());
    LockHandle() = nullptr;
  }
}

}  // namespace sim
