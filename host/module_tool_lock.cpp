// flashwick-module hold-lock: another process of the module that takes "OnModuleFlash" as the
// OS's flash driver does around its own flash accesses, and keeps it for a while.
#include <chrono>
#include <cstdio>
#include <thread>

#include "host/module_tool.h"
#include "platform/kernel.h"
#include "sim/module/machine.h"

namespace module_tool {
namespace {

// The longest hold the command accepts: an hour, so that a typo cannot wedge a module for days.
constexpr unsigned long long kLongestHoldMs = 3600ull * 1000;

int HoldLock(const Arguments& arguments) {
  if (arguments.positional.size() > 1) {
    return Fail("usage: hold-lock [DIR] --ms N");
  }
  unsigned long long milliseconds = 0;
  if (!arguments.Has("ms") || !ParseNumber(arguments.Get("ms"), &milliseconds)) {
    return Fail("hold-lock: --ms N (milliseconds of wall time) is required");
  }
  if (milliseconds > kLongestHoldMs) {
    return Fail("hold-lock: --ms " + arguments.Get("ms") + " is longer than an hour");
  }
  const auto directory = ModuleDirectoryArgument(arguments);
  std::string error;
  if (!sim::Attach(directory, sim::AttachOptions{}, &error)) {
    return Fail(error);
  }
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"OnModuleFlash");
  if (mutex == nullptr) {
    const DWORD code = GetLastError();
    sim::Detach();
    return Fail("hold-lock: cannot open \"OnModuleFlash\" (error " + std::to_string(code) + ")");
  }
  const DWORD waited = WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    const DWORD code = GetLastError();
    CloseHandle(mutex);
    sim::Detach();
    return Fail("hold-lock: cannot take \"OnModuleFlash\" (error " + std::to_string(code) + ")");
  }
  // Whoever waits for this line knows the lock is held from here on.
  std::printf("holding OnModuleFlash for %llu ms\n", milliseconds);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  const BOOL released = ReleaseMutex(mutex);
  CloseHandle(mutex);
  sim::Detach();
  if (!released) {
    return Fail("hold-lock: releasing \"OnModuleFlash\" failed");
  }
  std::printf("released OnModuleFlash\n");
  return 0;
}

const ModuleCommandRegistrar kHoldLock({"hold-lock",
                                        "hold-lock [DIR] --ms N",
                                        "take \"OnModuleFlash\" as the OS's flash driver would "
                                        "and hold it N ms of wall time",
                                        {"ms"},
                                        HoldLock});

}  // namespace
}  // namespace module_tool
