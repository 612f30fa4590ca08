// Processor register accessors of the platform, answered by the virtual CPU.
#include "sim/hw/cpu.h"

#include <string>

#include "platform/io.h"
#include "sim/module/machine.h"

namespace sim {
namespace {

std::uint32_t processMode = kModeUser;
thread_local std::uint32_t threadMode = 0;  // 0: the process's mode

// XScale coprocessor registers that the accessors reach. They live with the process, as the
// registers of the one core would.
struct Coprocessors {
  std::uint32_t clockConfig = 0x00000002;
  std::uint32_t powerMode = 0;
  std::uint32_t perfMonControl = 0;
  std::uint32_t control = 0x0000007A;  // MMU on, caches on, L2 off
} coprocessors;

void RequirePrivilege(const char* instruction) {
  if (CurrentMode() == kModeUser) {
    Fault(std::string("undefined instruction in user mode: ") + instruction +
          " (coprocessor access needs the kernel service call)");
  }
}

}  // namespace

std::uint32_t CurrentMode() { return threadMode != 0 ? threadMode : processMode; }

std::uint32_t CallPrivileged(std::uint32_t (*routine)(std::uintptr_t), std::uintptr_t argument) {
  const std::uint32_t saved = threadMode;
  threadMode = kModeSupervisor;
  const std::uint32_t result = routine(argument);
  threadMode = saved;
  return result;
}

void SetProcessMode(std::uint32_t mode) { processMode = mode; }

}  // namespace sim

using sim::RequirePrivilege;

// Flags as after start-up (IRQs enabled, FIQs enabled, ARM state) plus the mode bits.
DWORD ReadCpsr() { return 0x00000000u | sim::CurrentMode(); }

DWORD ReadClockConfig() {
  RequirePrivilege("mrc p14, 0, r0, c6, c0, 0");
  return sim::coprocessors.clockConfig;
}
void WriteClockConfig(DWORD value) {
  RequirePrivilege("mcr p14, 0, r0, c6, c0, 0");
  sim::coprocessors.clockConfig = value;
}
DWORD ReadPowerMode() {
  RequirePrivilege("mrc p14, 0, r0, c7, c0, 0");
  return sim::coprocessors.powerMode;
}
void WritePowerMode(DWORD value) {
  RequirePrivilege("mcr p14, 0, r0, c7, c0, 0");
  sim::coprocessors.powerMode = value;
}
DWORD ReadPerfMonControl() {
  RequirePrivilege("mrc p14, 0, r0, c0, c1, 0");
  return sim::coprocessors.perfMonControl;
}
void WritePerfMonControl(DWORD value) {
  RequirePrivilege("mcr p14, 0, r0, c0, c1, 0");
  sim::coprocessors.perfMonControl = value;
}
DWORD ReadCycleCounter() {
  RequirePrivilege("mrc p14, 0, r0, c1, c1, 0");
  // The core clock counts at the processor's run frequency (416 MHz class parts).
  return static_cast<DWORD>(sim::CurrentMachine().Clock().Now() * 416 / 1000);
}
DWORD ReadMainId() {
  RequirePrivilege("mrc p15, 0, r0, c0, c0, 0");
  return sim::CurrentMachine().MainId();
}
DWORD ReadProductNumber() {
  RequirePrivilege("mrc p15, 0, r0, c0, c0, 0");
  return (sim::CurrentMachine().MainId() >> 4) & 0x3F;
}
DWORD IsL2CacheEnabled() {
  RequirePrivilege("mrc p15, 0, r0, c1, c0, 0");
  return sim::coprocessors.control & 0x04000000;
}
