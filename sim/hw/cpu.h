// The virtual CPU: the processor's mode per thread and the coprocessor registers.
#pragma once

#include <cstdint>

namespace sim {

inline constexpr std::uint32_t kModeUser = 0x10;
inline constexpr std::uint32_t kModeSupervisor = 0x13;
inline constexpr std::uint32_t kModeSystem = 0x1F;

// Mode of the calling thread (user unless the process runs in kernel mode or the thread is
// inside a kernel service call).
std::uint32_t CurrentMode();
// Runs routine(argument) with the calling thread in supervisor mode; returns its result.
std::uint32_t CallPrivileged(std::uint32_t (*routine)(std::uintptr_t), std::uintptr_t argument);
// The mode new threads of this process start in (kModeSystem for a kernel-mode process).
void SetProcessMode(std::uint32_t mode);

}  // namespace sim
