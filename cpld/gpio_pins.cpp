#include "cpld/gpio_pins.h"

#include "flash/kernel_mode.h"
#include "platform/io.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Registers
// ---------------------------------------------------------------------------------------------
constexpr DWORD kGpioPhysical = 0x40E00000;       // GPIO block of both processor families
constexpr DWORD kPadPhysicalPxa320 = 0x40E10124;  // pad register of GPIO0 on the PXA320
constexpr DWORD kPadPhysicalPxa30x = 0x40E100B4;  // pad register of GPIO0 on the PXA300/PXA310
constexpr DWORD kPadTableBaseOffset = 0xB4;       // offsets below are counted from 0x40E10000

// Byte offsets of the bank-0 registers from the GPIO block.
constexpr DWORD GPLR = 0x000;  // pin level (read only)
constexpr DWORD GPDR = 0x00C;  // pin direction, 1 = output (PXA27x)
constexpr DWORD GPSR = 0x018;  // output set (write the bit mask)
constexpr DWORD GPCR = 0x024;  // output clear (write the bit mask)
constexpr DWORD GAFR = 0x054;  // alternate function, 2 bits per pin, 16 pins per word (PXA27x)
constexpr DWORD GSDR = 0x400;  // set direction to output (PXA3xx, banks without a gap)
constexpr DWORD GCDR = 0x420;  // clear direction: input (PXA3xx, banks without a gap)
constexpr DWORD MFPR_AF_MASK = 0x7;  // pad register bits 0 to 2: alternate function number

// Banks 0 to 2 sit at consecutive words; bank 3 (GPIO 96 and above) 61 words further, so that
// its level register is at byte offset 0x100.
constexpr DWORD kBank3Gap = 61;

constexpr DWORD kPxa27xPinCount = 121;  // GPIO 0 to 120
constexpr DWORD kPxa320PinCount = 146;  // GPIO 0 to 127 and the second pads GPIO0_2 to GPIO17_2
constexpr DWORD kPxa300PinCount = 135;  // GPIO 0 to 127 and GPIO0_2 to GPIO6_2
constexpr DWORD kPxa310PinCount = 139;  // as the PXA300 and GPIO7_2 to GPIO10_2
constexpr DWORD kMaxPins = kPxa320PinCount;

// PXA320: index (in words from 0x40E10124) of each pin's pad register, in the processor's pad
// order.
constexpr WORD kPxa320PadIndex[kPxa320PinCount] = {
    0,   1,   2,   3,   4,   90,  91,  92,  93,  94,  205, 95,  96,  97,  98,  99,  100, 101, 102,
    103, 104, 105, 106, 107, 108, 109, 110, 183, 184, 185, 186, 187, 188, 189, 190, 191, 192, 193,
    194, 195, 196, 197, 198, 199, 200, 201, 202, 203, 204, 206, 207, 208, 209, 210, 211, 212, 213,
    214, 215, 216, 217, 218, 219, 228, 229, 230, 231, 232, 233, 234, 235, 236, 237, 238, 243, 244,
    245, 246, 247, 248, 249, 250, 251, 252, 253, 254, 255, 256, 257, 258, 259, 260, 261, 262, 263,
    264, 265, 266, 267, 311, 312, 313, 314, 315, 316, 317, 318, 319, 320, 321, 322, 323, 324, 325,
    326, 327, 328, 329, 330, 331, 332, 333, 334, 335, 336, 337, 338, 339, 340, 341, 342, 343, 344,
    345, 220, 221, 222, 223, 224, 225, 226, 227, 239, 240, 241, 242,
};

// PXA300 and PXA310: byte offset from 0x40E10000 of each pin's pad register in the PXA300's pad
// order; the last four are the PXA310's GPIO7_2 to GPIO10_2.
constexpr WORD kPxa30xPadOffset[kPxa310PinCount] = {
    0x0B4, 0x0B8, 0x0BC, 0x27C, 0x280, 0x284, 0x288, 0x28C, 0x290, 0x294, 0x298, 0x29C, 0x2A0,
    0x2A4, 0x2A8, 0x2AC, 0x2B0, 0x2B4, 0x2B8, 0x2BC, 0x2C0, 0x2C4, 0x2C8, 0x2CC, 0x2D0, 0x2D4,
    0x2D8, 0x400, 0x404, 0x408, 0x40C, 0x410, 0x414, 0x418, 0x41C, 0x420, 0x424, 0x428, 0x42C,
    0x430, 0x434, 0x438, 0x43C, 0x440, 0x444, 0x448, 0x44C, 0x450, 0x454, 0x458, 0x45C, 0x460,
    0x464, 0x468, 0x46C, 0x470, 0x474, 0x478, 0x47C, 0x480, 0x484, 0x488, 0x48C, 0x490, 0x494,
    0x498, 0x49C, 0x4A0, 0x4A4, 0x4A8, 0x4AC, 0x4B0, 0x4B4, 0x4B8, 0x4BC, 0x4C0, 0x4C4, 0x4C8,
    0x4CC, 0x4D0, 0x4D4, 0x4D8, 0x4DC, 0x4E0, 0x4E4, 0x4E8, 0x4EC, 0x4F0, 0x4F4, 0x4F8, 0x4FC,
    0x500, 0x504, 0x508, 0x50C, 0x510, 0x514, 0x518, 0x51C, 0x600, 0x604, 0x608, 0x60C, 0x610,
    0x614, 0x618, 0x61C, 0x620, 0x624, 0x628, 0x62C, 0x630, 0x634, 0x638, 0x63C, 0x640, 0x644,
    0x648, 0x64C, 0x650, 0x654, 0x658, 0x65C, 0x660, 0x664, 0x668, 0x66C, 0x670, 0x674, 0x678,
    0x2DC, 0x2E0, 0x2E4, 0x2E8, 0x2EC, 0x52C, 0x530, 0x534, 0x538,
};

// The PXA310 inserts three pad registers (its ULPI pads) before GPIO30's, which moves the pads
// of GPIO30 to GPIO98 three words up from where the PXA300 has them.
constexpr DWORD kPxa310ShiftFirst = 30;
constexpr DWORD kPxa310ShiftLast = 98;
constexpr DWORD kPxa310Shift = 3;

// ---------------------------------------------------------------------------------------------
// State: filled on first use, never torn down
// ---------------------------------------------------------------------------------------------
struct GpioState {
  DWORD initialised;
  DWORD processorIdentity;
  IoPointer gpioRegs;
  IoPointer mfpRegs;
  DWORD pinCount;
  WORD mfpIndex[kMaxPins];
};

GpioState gpio{};

bool IsPxa3xx(DWORD identity) {
  return identity == kProcessorPxa320 || identity == kProcessorPxa300 ||
         identity == kProcessorPxa310;
}

bool Initialise() {
  if (gpio.initialised != 0) {
    return true;
  }
  const DWORD identity = GetProcessorIdentity();
  if (identity == 0) {
    return false;  // the kernel call failed: the layout is unknown
  }
  const IoPointer gpioRegs = MapRegisters(kGpioPhysical);
  if (!gpioRegs) {
    return false;
  }
  IoPointer mfpRegs;
  DWORD pinCount = kPxa27xPinCount;
  if (identity == kProcessorPxa320) {
    mfpRegs = MapRegisters(kPadPhysicalPxa320);
    for (DWORD pin = 0; pin < kPxa320PinCount; ++pin) {
      gpio.mfpIndex[pin] = kPxa320PadIndex[pin];
    }
    pinCount = kPxa320PinCount;
  } else if (identity == kProcessorPxa300 || identity == kProcessorPxa310) {
    mfpRegs = MapRegisters(kPadPhysicalPxa30x);
    for (DWORD pin = 0; pin < kPxa310PinCount; ++pin) {
      gpio.mfpIndex[pin] = static_cast<WORD>((kPxa30xPadOffset[pin] - kPadTableBaseOffset) / 4);
    }
    pinCount = identity == kProcessorPxa300 ? kPxa300PinCount : kPxa310PinCount;
  }
  if (IsPxa3xx(identity) && !mfpRegs) {
    UnmapRegisters(gpioRegs);
    return false;
  }
  gpio.processorIdentity = identity;
  gpio.gpioRegs = gpioRegs;
  gpio.mfpRegs = mfpRegs;
  gpio.pinCount = pinCount;
  gpio.initialised = 1;
  return true;
}

// The number that selects bank and bit: the second pads (128 and above) carry GPIO pin - 128.
DWORD Reduced(DWORD pin) { return pin >= 128 ? pin - 128 : pin; }

// Byte offset of the bank holding pin within a banked register (banks 0 to 3 with the gap).
DWORD BankOffset(DWORD pin) {
  const DWORD bank = pin >> 5;
  return 4 * (pin > 95 ? bank + kBank3Gap : bank);
}

DWORD BitOf(DWORD pin) { return DWORD{1} << (pin & 31); }

// GPIO function number of a pad on the PXA300 and PXA310.
DWORD Pxa30xGpioFunction(DWORD reducedPin) {
  switch (reducedPin) {
    case 46:
      return 1;
    case 49:
    case 51:
    case 52:
      return 3;
    case 50:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

BOOL GpioReady() { return Initialise() ? TRUE : FALSE; }

void GpioSetFunction(DWORD pin, DWORD function, DWORD output) {
  if (!Initialise() || pin >= gpio.pinCount) {
    return;
  }
  if (IsPxa3xx(gpio.processorIdentity)) {
    DWORD index = gpio.mfpIndex[pin];
    if (gpio.processorIdentity == kProcessorPxa310 && pin >= kPxa310ShiftFirst &&
        pin <= kPxa310ShiftLast) {
      index += kPxa310Shift;
    }
    const DWORD word = gpio.mfpRegs.Read32(4 * index);
    // Only the function field changes; pulls, drive strength and edge bits stay.
    gpio.mfpRegs.Write32(4 * index, (word & ~MFPR_AF_MASK) | (function & MFPR_AF_MASK));
    const DWORD reduced = Reduced(pin);
    if (gpio.processorIdentity == kProcessorPxa320) {
      const bool fixedDirection = reduced == 56 || (reduced >= 59 && reduced <= 62);
      if (!fixedDirection && function == 0) {
        GpioSetDirection(reduced, output);
      }
    } else if (function == Pxa30xGpioFunction(reduced)) {
      GpioSetDirection(reduced, output);
    }
    return;
  }
  const DWORD offset = GAFR + 4 * (pin >> 4);
  const DWORD shift = 2 * (pin & 15);
  const DWORD word = gpio.gpioRegs.Read32(offset);
  gpio.gpioRegs.Write32(offset, (word & ~(DWORD{3} << shift)) | ((function & 3) << shift));
  GpioSetDirection(pin, output);
}

void GpioSetDirection(DWORD pin, DWORD output) {
  if (!Initialise() || pin >= gpio.pinCount) {
    return;
  }
  if (IsPxa3xx(gpio.processorIdentity)) {
    const DWORD reduced = Reduced(pin);
    gpio.gpioRegs.Write32((output != 0 ? GSDR : GCDR) + 4 * (reduced >> 5), BitOf(reduced));
    return;
  }
  const DWORD offset = GPDR + BankOffset(pin);
  const DWORD word = gpio.gpioRegs.Read32(offset);
  gpio.gpioRegs.Write32(offset, output != 0 ? word | BitOf(pin) : word & ~BitOf(pin));
}

void GpioSetLevel(DWORD pin, DWORD level) {
  if (!Initialise() || pin >= gpio.pinCount) {
    return;
  }
  const DWORD reduced = Reduced(pin);
  gpio.gpioRegs.Write32((level != 0 ? GPSR : GPCR) + BankOffset(reduced), BitOf(reduced));
}

DWORD GpioGetLevel(DWORD pin) {
  if (!Initialise() || pin >= gpio.pinCount) {
    return 0;
  }
  const DWORD reduced = Reduced(pin);
  return (gpio.gpioRegs.Read32(GPLR + BankOffset(reduced)) & BitOf(reduced)) != 0 ? 1 : 0;
}

void ResetGpioStateForTesting() { gpio = GpioState{}; }
