// Room sim/os/: the personality of the module's running Windows CE. Handles, memory, files,
// registry (with its REGEDIT4 form), synchronisation, shared memory, time, module loading, the
// HAL's I/O controls, the device manager, text helpers and the OS's own view of the flash. It
// answers platform/kernel.h, platform/registry.h, platform/text.h and the device manager calls
// of platform/storage.h. This header is what every OS call does on entry.
//
// What every OS service of the personality does on entry: record the call and ask the fault
// plan whether this call is to fail.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel.h"
#include "platform/types.h"
#include "sim/base/utf.h"
#include "sim/module/machine.h"

namespace sim {

// Platform calls that a model makes on the OS's own behalf (the storage manager writing a
// mounted volume's folder) are not the program's: while a ModelCallScope is alive on a thread,
// that thread's calls are neither recorded nor failed by the fault plan.
inline int& ModelCallDepth() {
  static thread_local int depth = 0;
  return depth;
}
class ModelCallScope {
 public:
  ModelCallScope() { ++ModelCallDepth(); }
  ~ModelCallScope() { --ModelCallDepth(); }
  ModelCallScope(const ModelCallScope&) = delete;
  ModelCallScope& operator=(const ModelCallScope&) = delete;
};

// Keeps the caller's last error across the platform calls a model makes on the OS's behalf.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : error_(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(error_); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD error_;
};

// Records the call (with a text argument such as a path as its input bytes, in UTF-8) and
// returns true when the fault plan makes it fail; *error then holds the code to report
// (the plan's, or fallbackError when the plan gives none).
inline bool CallFails(const char* name, std::initializer_list<std::uint64_t> args,
                      DWORD fallbackError, DWORD* error, const char16_t* text = nullptr) {
  if (ModelCallDepth() > 0) {
    return false;
  }
  Machine& machine = CurrentMachine();
  if (machine.Calls().Enabled()) {
    const std::string bytes = text != nullptr ? ToUtf8(text) : std::string();
    machine.Calls().Add(name, std::vector<std::uint64_t>(args), bytes.data(), bytes.size());
  }
  std::uint32_t code = fallbackError;
  if (machine.Faults().FailCall(name, &code)) {
    *error = code;
    return true;
  }
  return false;
}

inline std::uint64_t Word(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

}  // namespace sim
