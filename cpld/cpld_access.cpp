#include "cpld/cpld_access.h"

#include "cpld/gpio_pins.h"
#include "flash/kernel_mode.h"
#include "platform/kernel.h"

namespace {

// JTAG instructions of the part (8-bit instruction register) and its code registers.
constexpr BYTE kInstructionIdCode = 0x01;
constexpr BYTE kInstructionUserCode = 0xFD;
constexpr DWORD kInstructionLength = 8;
constexpr DWORD kCodeLength = 32;
// Each shift of a code read waits 1 us in Run-Test/Idle (the wait rounds it up to 1 ms).
constexpr DWORD kCodeReadWaitMicroseconds = 1;

struct JtagPins {
  DWORD tck;
  DWORD tms;
  DWORD tdi;
  DWORD tdo;
};

struct CpldState {
  DWORD cpldOpen;
  DWORD cpldProcessorIdentity;
  DWORD pinsKnown;  // the identity selected the pins below
  JtagPins pins;
};

CpldState cpld{};

// The stream being played: the next byte and the end of the data.
const BYTE* streamCursor = nullptr;
const BYTE* streamEnd = nullptr;

// The GPIOs wired to the CPLD's JTAG port, by processor identity; false when the module has no
// CPLD.
bool PinsOf(DWORD identity, JtagPins* pins) {
  switch (identity) {
    case kProcessorPxa320:
      *pins = {83, 129, 86, 85};  // TMS on the second pad of GPIO1
      return true;
    case kProcessorPxa300:
    case kProcessorPxa310:
      *pins = {85, 84, 88, 87};
      return true;
    default:
      return false;
  }
}

void PortSetUp() {
  const JtagPins& pins = cpld.pins;
  GpioSetFunction(pins.tck, 0, 1);
  GpioSetFunction(pins.tdo, 0, 0);
  GpioSetFunction(pins.tdi, 0, 1);
  // TMS goes high before it is driven, so that taking the pin does not move the TAP controller.
  GpioSetLevel(pins.tms, 1);
  GpioSetFunction(pins.tms, 0, 1);
}

// Lets go of TCK, TDI and TDO; TMS stays driven high, which holds the TAP controller where it is
// while TCK does not run.
void PortRelease() {
  const JtagPins& pins = cpld.pins;
  GpioSetFunction(pins.tck, 0, 0);
  GpioSetFunction(pins.tdo, 0, 0);
  GpioSetFunction(pins.tdi, 0, 0);
  GpioSetLevel(pins.tms, 1);
}

// Reads a 32-bit code register through the given instruction, on a TAP state of its own.
bool ReadCode(BYTE instruction, DWORD* code) {
  if (!GpioReady()) {
    return false;
  }
  PortSetUp();
  BYTE tapState = kTapTestLogicReset;
  if (XsvfGotoState(&tapState, kTapTestLogicReset) != kXsvfErrorNone ||
      tapState != kTapTestLogicReset) {
    PortRelease();
    return false;
  }
  LengthValue tdi;
  LengthValue captured;
  tdi.length = 1;
  tdi.value[0] = instruction;
  const XsvfShiftRequest shiftInstruction{
      kTapShiftIr,     kInstructionLength,        &tdi, nullptr, nullptr, nullptr,
      kTapRunTestIdle, kCodeReadWaitMicroseconds, 0};
  if (XsvfShift(&tapState, shiftInstruction) != kXsvfErrorNone) {
    PortRelease();
    return false;
  }
  tdi.length = kCodeLength / 8;
  for (int i = 0; i < tdi.length; ++i) {
    tdi.value[i] = 0;
  }
  const XsvfShiftRequest shiftCode{kTapShiftDr,
                                   kCodeLength,
                                   &tdi,
                                   &captured,
                                   nullptr,
                                   nullptr,
                                   kTapRunTestIdle,
                                   kCodeReadWaitMicroseconds,
                                   0};
  if (XsvfShift(&tapState, shiftCode) != kXsvfErrorNone) {
    PortRelease();
    return false;
  }
  *code = static_cast<DWORD>(captured.value[0]) << 24 |
          static_cast<DWORD>(captured.value[1]) << 16 | static_cast<DWORD>(captured.value[2]) << 8 |
          captured.value[3];
  PortRelease();
  return true;
}

// Takes the processor identity and the pins that go with it; false without a CPLD.
bool Identify() {
  cpld.cpldProcessorIdentity = GetProcessorIdentity();
  cpld.pinsKnown = PinsOf(cpld.cpldProcessorIdentity, &cpld.pins) ? 1 : 0;
  return cpld.pinsKnown != 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CPLD operations
// ---------------------------------------------------------------------------------------------
DWORD CpldOpen() {
  if (cpld.cpldOpen != 0) {
    return kCpldOk;
  }
  if (!Identify()) {
    return kCpldNoCpld;
  }
  DWORD idCode = 0;
  if (!ReadCode(kInstructionIdCode, &idCode)) {
    return kCpldIdCodeFailed;
  }
  // No part answered: TDO held high (pulled up, nothing on it) or held low reads as all ones or
  // all zeros. Any other value came from a part, which is this one only when it matches.
  if (idCode == 0xFFFFFFFF || idCode == 0) {
    return kCpldIdCodeFailed;
  }
  if ((idCode & kCpldIdCodeMask) != kCpldIdCode) {
    return kCpldWrongIdCode;
  }
  cpld.cpldOpen = 1;
  return kCpldOk;
}

DWORD CpldClose() {
  cpld.cpldOpen = 0;
  return kCpldOk;
}

DWORD CpldReadUserCode(DWORD* userCode) {
  if (cpld.cpldOpen == 0) {
    return kCpldNotOpen;
  }
  return ReadCode(kInstructionUserCode, userCode) ? kCpldOk : kCpldUserCodeFailed;
}

DWORD CpldProgram(const BYTE* stream, DWORD streamSize, XsvfResult* result) {
  if (cpld.cpldOpen == 0) {
    return kCpldNotOpen;
  }
  PortSetUp();
  JtagSetPort(kJtagPortTms, 1);
  const int error = XsvfPlay(stream, streamSize, result);
  PortRelease();
  JtagStreamBegin(nullptr, 0);  // the caller's buffer is not ours to keep
  return error == kXsvfErrorNone ? kCpldOk : kCpldProgramFailed;
}

DWORD CpldReadIdCode(DWORD* idCode) {
  if (cpld.cpldOpen == 0 && !Identify()) {
    return kCpldNoCpld;
  }
  return ReadCode(kInstructionIdCode, idCode) ? kCpldOk : kCpldIdCodeFailed;
}

CpldVersion CpldVersionOf(DWORD userCode) {
  CpldVersion version{};
  version.major = userCode >> 16;
  version.minor = userCode & 0xFF;
  version.isBeta = (userCode & 0xFF00) != 0 ? TRUE : FALSE;
  version.beta = (userCode >> 8) & 0xF;
  return version;
}

// ---------------------------------------------------------------------------------------------
// Port primitives
// ---------------------------------------------------------------------------------------------
void JtagSetPort(DWORD port, DWORD value) {
  if (cpld.pinsKnown == 0) {
    return;  // no CPLD identified: no pin is ours to drive
  }
  switch (port) {
    case kJtagPortTck:
      GpioSetLevel(cpld.pins.tck, value);
      break;
    case kJtagPortTms:
      GpioSetLevel(cpld.pins.tms, value);
      break;
    case kJtagPortTdi:
      GpioSetLevel(cpld.pins.tdi, value);
      break;
    default:
      break;
  }
}

DWORD JtagReadTdo() {
  if (cpld.pinsKnown == 0) {
    return 0;
  }
  return GpioGetLevel(cpld.pins.tdo) != 0 ? 1 : 0;
}

void JtagWaitMicroseconds(DWORD microseconds) {
  Sleep(microseconds > 999 ? microseconds / 1000 : 1);
}

void JtagStreamBegin(const BYTE* stream, DWORD streamSize) {
  streamCursor = stream;
  streamEnd = stream != nullptr ? stream + streamSize : nullptr;
}

BOOL JtagReadByte(BYTE* value) {
  if (streamCursor == nullptr || streamCursor >= streamEnd) {
    return FALSE;
  }
  *value = *streamCursor++;
  return TRUE;
}

DWORD JtagStreamRemaining() {
  return streamCursor != nullptr ? static_cast<DWORD>(streamEnd - streamCursor) : 0;
}

void ResetCpldStateForTesting() {
  cpld = CpldState{};
  JtagStreamBegin(nullptr, 0);
}
