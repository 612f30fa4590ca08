// Kernel objects and the process's handle table.
//
// Every HANDLE the personality gives out (files, find handles, mutexes, events, threads, file
// mappings, stores, partitions, device handles) names a KernelObject here. CloseHandle and
// WaitForSingleObject dispatch through it, so a model adds a kind of handle by deriving from
// KernelObject.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/types.h"

namespace sim {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  virtual const char* KindName() const = 0;
  // Called when the last handle to the object closes.
  virtual void OnClose() {}
  // WaitForSingleObject on the object; objects that cannot be waited on return WAIT_FAILED.
  virtual DWORD Wait(DWORD /*milliseconds*/) { return WAIT_FAILED_VALUE; }
  static constexpr DWORD WAIT_FAILED_VALUE = 0xFFFFFFFFu;
};

// Adds an object; returns its new handle (never null or INVALID_HANDLE_VALUE).
HANDLE AddHandle(std::shared_ptr<KernelObject> object);
// The object behind a handle, or null.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Removes a handle; false when it was not open. The object's OnClose runs when this was the
// last handle to it.
bool RemoveHandle(HANDLE handle);
// Closes every handle (at detach).
void CloseAllHandles();

// --- testing calls ---
// Handles the process holds open now (tests check that a failing call leaves none behind).
std::size_t OpenHandleCount();

}  // namespace sim
