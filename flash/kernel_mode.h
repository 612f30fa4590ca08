// Kernel-mode call and physical mappings.
//
// The program runs as a user-mode process, yet it reads the processor's main ID register and
// maps physical flash and controller registers. Both go through the OS image's kernel service
// control; a process that already runs privileged does them directly.
#pragma once

#include <cstdint>

#include "platform/io.h"
#include "platform/types.h"

// A routine that runs in kernel mode. argument is an address on the caller's stack.
using KernelRoutine = DWORD (*)(ULONG_PTR argument);
// Target of the kernel-mode thunk: target(first, second).
using KernelTarget = DWORD (*)(ULONG_PTR first, ULONG_PTR second);

// ReadCpsr() AND 0xF: 0 in user mode, any other value in a privileged mode.
[[nodiscard]] DWORD IsPrivilegedMode();
// Runs routine(argument) in kernel mode through the kernel service control. Returns the
// routine's result; 0 when routine is null (no call is made) or the control fails.
[[nodiscard]] int RunInKernelMode(KernelRoutine routine, ULONG_PTR argument);
// The processor product number (bits 4 to 9 of the main ID register): one of the identities
// below; 0 when the kernel call failed.
[[nodiscard]] DWORD GetProcessorIdentity();

// Processor identities, and what the program makes of each.
constexpr DWORD kProcessorPxa27x = 17;  // NOR flash, no CPLD
constexpr DWORD kProcessorPxa320 = 2;   // NAND flash and a CPLD; hardware 1.2 needed
constexpr DWORD kProcessorPxa300 = 8;   // NAND flash (156 MHz controller clock) and a CPLD
constexpr DWORD kProcessorPxa310 = 9;   // as the PXA300; its boot ROM wants a boot marker
// VirtualCopy, directly in a privileged mode, else through the kernel service control.
// Non-zero on success.
[[nodiscard]] int CopyVirtual(LPVOID destination, LPVOID source, DWORD size, DWORD protection);
// Maps the 8 KiB physical window from the 4 KiB page holding physical, uncached. Returns the
// pointer to physical's word inside the window, or a null pointer when the mapping failed (and
// then nothing stays reserved).
[[nodiscard]] IoPointer MapRegisters(DWORD physical);
// Releases a window that MapRegisters returned.
void UnmapRegisters(IoPointer pointer);
// Maps [physical, physical + size) uncached, in pieces of at most 32 MiB. Returns the pointer
// to physical inside the mapping, or a null pointer (nothing stays reserved).
[[nodiscard]] IoPointer MapPhysicalRange(DWORD physical, DWORD size);

// --- testing calls ---
// Forgets that the one-time kernel service query was sent.
void ResetKernelModeStateForTesting();
