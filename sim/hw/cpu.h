// The virtual CPU: the processor's mode per thread and the coprocessor registers.
#pragma once

#include <cstdint>

namespace sim {

inline constexpr std::uint32_t kModeUser = 0x10;
inline constexpr std::uint32_t kModeSupervisor = 0x13;
inline constexpr std::uint32_t kModeSystem = 0x1F;

// Processor identities: the product number, bits 4 to 9 of the main ID register.
inline constexpr std::uint32_t kProcessorPxa27x = 17;  // NOR flash modules
inline constexpr std::uint32_t kProcessorPxa320 = 2;
inline constexpr std::uint32_t kProcessorPxa300 = 8;
inline constexpr std::uint32_t kProcessorPxa310 = 9;

// The product number a main ID register carries.
constexpr std::uint32_t ProcessorIdentityOf(std::uint32_t mainId) { return (mainId >> 4) & 0x3F; }
// The PXA3xx processors: multi-function pad registers, a NAND controller and a CPLD on the module.
constexpr bool IsPxa3xx(std::uint32_t identity) {
  return identity == kProcessorPxa320 || identity == kProcessorPxa300 ||
         identity == kProcessorPxa310;
}

// Mode of the calling thread (user unless the process runs in kernel mode or the thread is
// inside a kernel service call).
std::uint32_t CurrentMode();
// Runs routine(argument) with the calling thread in supervisor mode; returns its result.
std::uint32_t CallPrivileged(std::uint32_t (*routine)(std::uintptr_t), std::uintptr_t argument);
// The mode new threads of this process start in (kModeSystem for a kernel-mode process).
void SetProcessMode(std::uint32_t mode);

}  // namespace sim
