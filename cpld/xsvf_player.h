// XSVF player: plays a CPLD programming stream (the compact binary form of SVF) over the JTAG
// port of the CPLD (cpld_access.h supplies the port and the stream cursor).
//
// The stream is a sequence of one-byte commands with big-endian operands. The player keeps one
// context per run on the stack: the TAP controller state it has driven the port into, the end
// states after shifts, the retry count and wait of XSDR shifts, the data register length and
// seven operand buffers of up to 7000 bytes each.
#pragma once

#include "platform/types.h"

// Largest operand, in bytes, that a command may carry.
constexpr int kXsvfMaxBytes = 7000;

// Results of a run (0: the stream ended with XCOMPLETE and every check passed).
constexpr int kXsvfErrorNone = 0;
constexpr int kXsvfErrorTdoMismatch = 2;     // a TDO check failed, no retries allowed
constexpr int kXsvfErrorTooManyRetries = 3;  // a TDO check failed on every allowed attempt
constexpr int kXsvfErrorIllegalCommand = 4;  // command byte 5, 6 or above 23
constexpr int kXsvfErrorIllegalState = 5;    // impossible TAP move or end state operand
constexpr int kXsvfErrorDataOverflow = 6;    // an operand longer than 7000 bytes
// The stream's data ended before XCOMPLETE (also inside a command's operands). Nothing beyond the
// given size is ever read.
constexpr int kXsvfErrorEndOfStream = 7;

// TAP controller states, in the format's numbering.
constexpr BYTE kTapTestLogicReset = 0;
constexpr BYTE kTapRunTestIdle = 1;
constexpr BYTE kTapSelectDr = 2;
constexpr BYTE kTapCaptureDr = 3;
constexpr BYTE kTapShiftDr = 4;
constexpr BYTE kTapExit1Dr = 5;
constexpr BYTE kTapPauseDr = 6;
constexpr BYTE kTapExit2Dr = 7;
constexpr BYTE kTapUpdateDr = 8;
constexpr BYTE kTapSelectIr = 9;
constexpr BYTE kTapCaptureIr = 10;
constexpr BYTE kTapShiftIr = 11;
constexpr BYTE kTapExit1Ir = 12;
constexpr BYTE kTapPauseIr = 13;
constexpr BYTE kTapExit2Ir = 14;
constexpr BYTE kTapUpdateIr = 15;

// A length-value operand: byte count and bytes, most significant byte first.
struct LengthValue {
  short length;
  BYTE value[kXsvfMaxBytes + 1];
};

// What a run did, for tools and tests.
struct XsvfResult {
  int errorCode;
  DWORD commandCount;  // command bytes read, the failing one included
};

// Plays stream[0, streamSize) on the CPLD's JTAG port, which the caller has set up with TMS high.
// Returns the first error (kXsvfError...) or kXsvfErrorNone. result, when not null, receives the
// error code and the number of commands read.
[[nodiscard]] int XsvfPlay(const BYTE* stream, DWORD streamSize, XsvfResult* result = nullptr);

// --- TAP operations, also used to read the CPLD's codes ---

// Moves the TAP controller from *tapState to target along the IEEE 1149.1 state diagram and
// stores the new state. Returns kXsvfErrorIllegalState (and moves nothing) for a target above 15
// and for Exit2-DR or Exit2-IR from anywhere but the pause state before it; else 0.
[[nodiscard]] int XsvfGotoState(BYTE* tapState, BYTE target);

struct XsvfShiftRequest {
  BYTE startState;              // kTapShiftDr or kTapShiftIr
  DWORD bitCount;               // bits to shift, at most 8 x tdi->length
  const LengthValue* tdi;       // bits to send, last byte first, bit 0 first
  LengthValue* capture;         // receives TDO (length of tdi); null: TDO is not read
  const LengthValue* expected;  // compared with the capture; null: no comparison
  const LengthValue* mask;      // bits that count in the comparison; null: all of them
  BYTE endState;                // state after the shift
  DWORD waitMicroseconds;       // time to spend in Run-Test/Idle after the shift
  BYTE maxRepeat;               // further attempts after a TDO mismatch
};
// Shifts one register as the request says. Returns 0, kXsvfErrorTdoMismatch (no repeats
// allowed), kXsvfErrorTooManyRetries or an error of a state move.
[[nodiscard]] int XsvfShift(BYTE* tapState, const XsvfShiftRequest& request);
