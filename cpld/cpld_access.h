// The on-module CPLD over its JTAG port: open (identify the part), close, read its user code
// and program it from an XSVF stream. The port is four processor GPIOs driven bit by bit; only
// the PXA320, PXA300 and PXA310 modules carry a CPLD.
//
// Closed until CpldOpen succeeds, open until CpldClose. Reading the user code and programming
// touch no pin before a successful open, and nothing touches a pin on a module without a CPLD.
#pragma once

#include "cpld/xsvf_player.h"
#include "platform/types.h"

// Status values of the CPLD operations.
constexpr DWORD kCpldOk = 0;
constexpr DWORD kCpldNotOpen = 2;
constexpr DWORD kCpldNoCpld = 3;          // a processor without a CPLD
constexpr DWORD kCpldIdCodeFailed = 4;    // no IDCODE could be read
constexpr DWORD kCpldWrongIdCode = 5;     // the part is not the expected one
constexpr DWORD kCpldUserCodeFailed = 6;  // the user code could not be read
constexpr DWORD kCpldProgramFailed = 7;   // the XSVF player reported an error

// IDCODE of the supported part with its 4-bit revision field (bits 28 to 31) cleared.
constexpr DWORD kCpldIdCode = 0x06E5D093;
constexpr DWORD kCpldIdCodeMask = 0x0FFFFFFF;

// Identifies the CPLD: 0 (also when already open), kCpldNoCpld, kCpldIdCodeFailed (nothing
// answered: the reply was all ones or all zeros) or kCpldWrongIdCode (any other reply that is
// not this part's, whatever its revision bits).
[[nodiscard]] DWORD CpldOpen();
// Closes; returns 0.
[[nodiscard]] DWORD CpldClose();
// Reads the 32-bit user code into *userCode: 0, kCpldNotOpen or kCpldUserCodeFailed. userCode
// must not be null.
[[nodiscard]] DWORD CpldReadUserCode(DWORD* userCode);
// Plays stream[0, streamSize) on the open CPLD: 0 when the player ended without error,
// kCpldNotOpen, or kCpldProgramFailed. result, when not null, receives what the player reported.
[[nodiscard]] DWORD CpldProgram(const BYTE* stream, DWORD streamSize, XsvfResult* result = nullptr);
// Reads the raw IDCODE register (revision field included) without opening: 0, kCpldNoCpld or
// kCpldIdCodeFailed.
[[nodiscard]] DWORD CpldReadIdCode(DWORD* idCode);

// The version a user code stands for: major = bits 16 to 31, minor = bits 0 to 7; a beta build
// (bits 8 to 11) when any of bits 8 to 15 is set.
struct CpldVersion {
  DWORD major;
  DWORD minor;
  BOOL isBeta;
  DWORD beta;
};
[[nodiscard]] CpldVersion CpldVersionOf(DWORD userCode);

// --- JTAG port primitives for the XSVF player ---
constexpr DWORD kJtagPortTck = 0;
constexpr DWORD kJtagPortTms = 1;
constexpr DWORD kJtagPortTdi = 2;
// Drives TCK, TMS or TDI (value non-zero: high); any other port number does nothing.
void JtagSetPort(DWORD port, DWORD value);
// Level of TDO: 0 or 1.
[[nodiscard]] DWORD JtagReadTdo();
// Sleeps microseconds / 1000 ms when microseconds is above 999, else 1 ms.
void JtagWaitMicroseconds(DWORD microseconds);
// Points the stream cursor at stream[0, streamSize).
void JtagStreamBegin(const BYTE* stream, DWORD streamSize);
// The next stream byte into *value and TRUE; FALSE (nothing read) at the end of the stream.
[[nodiscard]] BOOL JtagReadByte(BYTE* value);
// Bytes left in the stream.
[[nodiscard]] DWORD JtagStreamRemaining();

// --- testing calls ---
// Closes and forgets the processor identity (a new process's view).
void ResetCpldStateForTesting();
