// The module's real-time clock.
//
// At boot the module's OS takes the time of day (the host's UTC time then) and keeps it in
// ram/rtc; from there the time of day runs on the module's virtual clock. So the module's time
// of day moves on when Sleep or a device's busy time moves the virtual clock, starts again from
// the host's time after a reset, and is the same for every process of the module. The module
// runs on UTC: local time is system time.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace sim {

// Threads started by the program (CreateThread) that have not ended. Sleep uses it: while the
// program runs on one thread a sleep simply lets module time pass; beside other threads it is
// one of several things going on at once (see Sleep).
void ProgramThreadStarted();
void ProgramThreadEnded();
int ProgramThreadCount();

// Now on the module, as a FILETIME count (100 ns units since 1 January 1601, UTC).
std::uint64_t ModuleTimeNow();

// Calendar conversions of the platform, without the call record (for other models).
bool FileTimeToCalendar(std::uint64_t fileTime, SYSTEMTIME* calendar);
bool CalendarToFileTime(const SYSTEMTIME& calendar, std::uint64_t* fileTime);

inline FILETIME ToFileTime(std::uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}
inline std::uint64_t FromFileTime(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

}  // namespace sim
