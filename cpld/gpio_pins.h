// GPIO pin access on the PXA27x and PXA3xx processors, used to bit-bang the CPLD's JTAG port.
//
// Pins are numbered as the processor numbers its GPIOs. On a PXA3xx processor a number of 128 or
// more names the second pad of GPIO (number - 128): the pad register is chosen by the full
// number, the GPIO bank and bit by the reduced one. The register layout follows the processor
// identity: the PXA320, PXA300 and PXA310 have pad (multi-function pin) registers and set/clear
// direction registers, any other processor has GAFR function registers and GPDR directions.
//
// The registers are mapped on the first call and stay mapped for the life of the process. A pin
// number at or above the processor's pin count is ignored (and reads as 0). Only the thread that
// runs a CPLD operation uses these calls: the read-modify-write sequences on shared registers are
// not guarded against other users of the same registers.
#pragma once

#include "platform/types.h"

// Selects the pin's alternate function; when that makes the pin a GPIO, output non-zero then
// makes it an output and zero an input. PXA27x: every function number leaves the direction set.
void GpioSetFunction(DWORD pin, DWORD function, DWORD output);
// output non-zero: the pin drives its output level; zero: it is an input.
void GpioSetDirection(DWORD pin, DWORD output);
// level non-zero drives the output high, zero drives it low.
void GpioSetLevel(DWORD pin, DWORD level);
// 1 when the pin's level is high, else 0.
[[nodiscard]] DWORD GpioGetLevel(DWORD pin);
// Maps the registers when that has not been done yet. FALSE when the processor identity could
// not be read or a mapping failed; the other calls then do nothing (reads give 0) and the next
// call tries again.
[[nodiscard]] BOOL GpioReady();

// --- testing calls ---
// Forgets the mapped registers (a new process's view), so that a test starts from scratch.
void ResetGpioStateForTesting();
