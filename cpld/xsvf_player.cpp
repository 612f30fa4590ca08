#include "cpld/xsvf_player.h"

#include "cpld/cpld_access.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Run context
// ---------------------------------------------------------------------------------------------
struct XsvfContext {
  BYTE complete;
  BYTE command;
  DWORD commandCount;
  int errorCode;
  BYTE tapState;
  BYTE endIr;
  BYTE endDr;
  BYTE maxRepeat;
  DWORD runTestTime;
  DWORD shiftLengthBits;
  short shiftLengthBytes;
  LengthValue tdi;
  LengthValue tdoExpected;
  LengthValue tdoCaptured;
  LengthValue tdoMask;
  LengthValue addressMask;
  LengthValue dataMask;
  LengthValue nextData;
};

// ---------------------------------------------------------------------------------------------
// Reading the stream
// ---------------------------------------------------------------------------------------------
// Reads count bytes into buffer. A count above 7000 is refused before anything is read; a stream
// that ends first stops the run without reading past its end.
bool ReadBytes(XsvfContext& context, LengthValue* buffer, long count) {
  if (count > kXsvfMaxBytes) {
    context.errorCode = kXsvfErrorDataOverflow;
    return false;
  }
  if (count < 0 || static_cast<unsigned long>(count) > JtagStreamRemaining()) {
    context.errorCode = kXsvfErrorEndOfStream;
    return false;
  }
  buffer->length = static_cast<short>(count);
  for (long i = 0; i < count; ++i) {
    (void)JtagReadByte(&buffer->value[i]);
  }
  return true;
}

bool ReadOneByte(XsvfContext& context, BYTE* value) {
  if (!JtagReadByte(value)) {
    context.errorCode = kXsvfErrorEndOfStream;
    return false;
  }
  return true;
}

// A big-endian number of 1 to 4 bytes.
bool ReadNumber(XsvfContext& context, int bytes, DWORD* value) {
  DWORD number = 0;
  for (int i = 0; i < bytes; ++i) {
    BYTE byte = 0;
    if (!ReadOneByte(context, &byte)) {
      return false;
    }
    number = (number << 8) | byte;
  }
  *value = number;
  return true;
}

// ---------------------------------------------------------------------------------------------
// TAP moves and shifts
// ---------------------------------------------------------------------------------------------
void TmsTransition(DWORD tms) {
  JtagSetPort(kJtagPortTms, tms);
  JtagSetPort(kJtagPortTck, 0);
  JtagSetPort(kJtagPortTck, 1);
}

// Sends the request's bits (last tdi byte first, bit 0 first), raising TMS with the last bit when
// the shift is to leave the Shift state, and collects TDO into the capture buffer.
void ShiftBits(const XsvfShiftRequest& request, DWORD bitCount, bool exitShift) {
  const LengthValue& tdi = *request.tdi;
  LengthValue* capture = request.capture;
  if (capture != nullptr) {
    capture->length = tdi.length;
  }
  DWORD remaining = bitCount;
  for (int index = tdi.length - 1; index >= 0; --index) {
    const BYTE out = tdi.value[index];
    BYTE in = 0;
    for (int bit = 0; bit < 8 && remaining > 0; ++bit, --remaining) {
      if (remaining == 1 && exitShift) {
        JtagSetPort(kJtagPortTms, 1);
      }
      JtagSetPort(kJtagPortTdi, (out >> bit) & 1);
      JtagSetPort(kJtagPortTck, 0);
      // TDO changed on the falling edge; it is sampled before the rising one.
      if (capture != nullptr && JtagReadTdo() != 0) {
        in = static_cast<BYTE>(in | (1u << bit));
      }
      JtagSetPort(kJtagPortTck, 1);
    }
    if (capture != nullptr) {
      capture->value[index] = in;
    }
  }
}

bool Mismatch(const XsvfShiftRequest& request) {
  const LengthValue& captured = *request.capture;
  for (int index = captured.length - 1; index >= 0; --index) {
    BYTE expected = request.expected->value[index];
    BYTE got = captured.value[index];
    if (request.mask != nullptr) {
      expected &= request.mask->value[index];
      got &= request.mask->value[index];
    }
    if (expected != got) {
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------------
using XsvfCommand = void (*)(XsvfContext& context);

void RecordError(XsvfContext& context, int error) {
  if (context.errorCode == kXsvfErrorNone) {
    context.errorCode = error;
  }
}

// The XSDR-style shift of the current tdi: from Shift-DR to the end state with the run test time
// and retries, checking TDO under the mask.
int ShiftDataRegister(XsvfContext& context) {
  const XsvfShiftRequest request{kTapShiftDr,          context.shiftLengthBits, &context.tdi,
                                 &context.tdoCaptured, &context.tdoExpected,    &context.tdoMask,
                                 context.endDr,        context.runTestTime,     context.maxRepeat};
  return XsvfShift(&context.tapState, request);
}

// XSDRB/C/E and XSDRTDOB/C/E: a piece of a longer shift, without wait or retries; the TDO check
// (when there is one) compares every bit.
void ShiftPiece(XsvfContext& context, bool checkTdo, BYTE endState) {
  if (!ReadBytes(context, &context.tdi, context.shiftLengthBytes)) {
    return;
  }
  if (checkTdo && !ReadBytes(context, &context.tdoExpected, context.shiftLengthBytes)) {
    return;
  }
  const XsvfShiftRequest request{kTapShiftDr,
                                 context.shiftLengthBits,
                                 &context.tdi,
                                 checkTdo ? &context.tdoCaptured : nullptr,
                                 checkTdo ? &context.tdoExpected : nullptr,
                                 nullptr,
                                 endState,
                                 0,
                                 0};
  RecordError(context, XsvfShift(&context.tapState, request));
}

void InstructionShift(XsvfContext& context, int lengthBytes) {
  DWORD bits = 0;
  if (!ReadNumber(context, lengthBytes, &bits)) {
    return;
  }
  const long bytes = static_cast<long>((bits + 7) / 8);
  if (!ReadBytes(context, &context.tdi, bytes)) {
    return;
  }
  const XsvfShiftRequest request{kTapShiftIr, bits,          &context.tdi,        nullptr, nullptr,
                                 nullptr,     context.endIr, context.runTestTime, 0};
  RecordError(context, XsvfShift(&context.tapState, request));
}

void CommandComplete(XsvfContext& context) { context.complete = 1; }

void CommandTdoMask(XsvfContext& context) {
  (void)ReadBytes(context, &context.tdoMask, context.shiftLengthBytes);
}

void CommandSir(XsvfContext& context) { InstructionShift(context, 1); }

void CommandSir2(XsvfContext& context) { InstructionShift(context, 2); }

void CommandSdr(XsvfContext& context) {
  if (ReadBytes(context, &context.tdi, context.shiftLengthBytes)) {
    RecordError(context, ShiftDataRegister(context));
  }
}

void CommandRunTest(XsvfContext& context) { (void)ReadNumber(context, 4, &context.runTestTime); }

void CommandIllegal(XsvfContext& context) { context.errorCode = kXsvfErrorIllegalCommand; }

void CommandRepeat(XsvfContext& context) { (void)ReadOneByte(context, &context.maxRepeat); }

void CommandSdrSize(XsvfContext& context) {
  DWORD bits = 0;
  if (!ReadNumber(context, 4, &bits)) {
    return;
  }
  // Counted in 64 bits: a length near 2^32 bits must not wrap to a small byte count.
  const unsigned long long bytes = (static_cast<unsigned long long>(bits) + 7) / 8;
  if (bytes > static_cast<unsigned long long>(kXsvfMaxBytes)) {
    context.errorCode = kXsvfErrorDataOverflow;
    return;
  }
  context.shiftLengthBits = bits;
  context.shiftLengthBytes = static_cast<short>(bytes);
}

void CommandSdrTdo(XsvfContext& context) {
  if (ReadBytes(context, &context.tdi, context.shiftLengthBytes) &&
      ReadBytes(context, &context.tdoExpected, context.shiftLengthBytes)) {
    RecordError(context, ShiftDataRegister(context));
  }
}

void CommandSetSdrMasks(XsvfContext& context) {
  if (ReadBytes(context, &context.addressMask, context.shiftLengthBytes)) {
    (void)ReadBytes(context, &context.dataMask, context.shiftLengthBytes);
  }
}

// XSDRINC: tdi = tdi + addressMask (big-endian, over tdi's length), then the bits of nextData
// (last byte first, bit 0 first) go into tdi where dataMask has its set bits (last byte first,
// bit 0 first).
void ApplyMasks(XsvfContext& context) {
  LengthValue& tdi = context.tdi;
  unsigned carry = 0;
  for (int index = tdi.length - 1; index >= 0; --index) {
    const unsigned sum = tdi.value[index] + context.addressMask.value[index] + carry;
    tdi.value[index] = static_cast<BYTE>(sum);
    carry = sum >> 8;
  }
  int dataIndex = context.nextData.length - 1;
  int dataBit = 0;
  for (int index = tdi.length - 1; index >= 0; --index) {
    const BYTE mask = context.dataMask.value[index];
    for (int bit = 0; bit < 8; ++bit) {
      if ((mask & (1u << bit)) == 0) {
        continue;
      }
      const bool on = dataIndex >= 0 && (context.nextData.value[dataIndex] >> dataBit & 1) != 0;
      tdi.value[index] =
          static_cast<BYTE>(on ? tdi.value[index] | (1u << bit) : tdi.value[index] & ~(1u << bit));
      if (++dataBit == 8) {
        dataBit = 0;
        --dataIndex;
      }
    }
  }
}

void CommandSdrInc(XsvfContext& context) {
  if (!ReadBytes(context, &context.tdi, context.shiftLengthBytes)) {
    return;
  }
  const int error = ShiftDataRegister(context);
  if (error != kXsvfErrorNone) {
    RecordError(context, error);
    return;
  }
  long dataBits = 0;
  for (int index = 0; index < context.tdi.length; ++index) {
    for (BYTE mask = context.dataMask.value[index]; mask != 0; mask &= mask - 1) {
      ++dataBits;
    }
  }
  BYTE repetitions = 0;
  if (!ReadOneByte(context, &repetitions)) {
    return;
  }
  for (BYTE repetition = 0; repetition < repetitions; ++repetition) {
    if (!ReadBytes(context, &context.nextData, (dataBits + 7) / 8)) {
      return;
    }
    ApplyMasks(context);
    const int shiftError = ShiftDataRegister(context);
    if (shiftError != kXsvfErrorNone) {
      RecordError(context, shiftError);
      return;
    }
  }
}

void CommandSdrBegin(XsvfContext& context) { ShiftPiece(context, false, kTapShiftDr); }
void CommandSdrContinue(XsvfContext& context) { ShiftPiece(context, false, kTapShiftDr); }
void CommandSdrEnd(XsvfContext& context) { ShiftPiece(context, false, context.endDr); }
void CommandSdrTdoBegin(XsvfContext& context) { ShiftPiece(context, true, kTapShiftDr); }
void CommandSdrTdoContinue(XsvfContext& context) { ShiftPiece(context, true, kTapShiftDr); }
void CommandSdrTdoEnd(XsvfContext& context) { ShiftPiece(context, true, context.endDr); }

void CommandState(XsvfContext& context) {
  BYTE state = 0;
  if (ReadOneByte(context, &state)) {
    RecordError(context, XsvfGotoState(&context.tapState, state));
  }
}

void EndState(XsvfContext& context, BYTE* target, BYTE pauseState) {
  BYTE operand = 0;
  if (!ReadOneByte(context, &operand)) {
    return;
  }
  if (operand == 0) {
    *target = kTapRunTestIdle;
  } else if (operand == 1) {
    *target = pauseState;
  } else {
    context.errorCode = kXsvfErrorIllegalState;
  }
}

void CommandEndIr(XsvfContext& context) { EndState(context, &context.endIr, kTapPauseIr); }
void CommandEndDr(XsvfContext& context) { EndState(context, &context.endDr, kTapPauseDr); }

void CommandComment(XsvfContext& context) {
  BYTE byte = 1;
  while (byte != 0) {
    if (!ReadOneByte(context, &byte)) {
      return;
    }
  }
}

void CommandWait(XsvfContext& context) {
  BYTE waitState = 0;
  BYTE endState = 0;
  DWORD microseconds = 0;
  if (!ReadOneByte(context, &waitState) || !ReadOneByte(context, &endState) ||
      !ReadNumber(context, 4, &microseconds)) {
    return;
  }
  // The format leaves these moves unchecked: their results are not recorded.
  if (context.tapState != waitState) {
    (void)XsvfGotoState(&context.tapState, waitState);
  }
  JtagWaitMicroseconds(microseconds);
  if (context.tapState != endState) {
    (void)XsvfGotoState(&context.tapState, endState);
  }
}

// Indexed by command code.
constexpr XsvfCommand kCommands[24] = {
    CommandComplete,        // 0  XCOMPLETE
    CommandTdoMask,         // 1  XTDOMASK
    CommandSir,             // 2  XSIR
    CommandSdr,             // 3  XSDR
    CommandRunTest,         // 4  XRUNTEST
    CommandIllegal,         // 5  (reserved)
    CommandIllegal,         // 6  (reserved)
    CommandRepeat,          // 7  XREPEAT
    CommandSdrSize,         // 8  XSDRSIZE
    CommandSdrTdo,          // 9  XSDRTDO
    CommandSetSdrMasks,     // 10 XSETSDRMASKS
    CommandSdrInc,          // 11 XSDRINC
    CommandSdrBegin,        // 12 XSDRB
    CommandSdrContinue,     // 13 XSDRC
    CommandSdrEnd,          // 14 XSDRE
    CommandSdrTdoBegin,     // 15 XSDRTDOB
    CommandSdrTdoContinue,  // 16 XSDRTDOC
    CommandSdrTdoEnd,       // 17 XSDRTDOE
    CommandState,           // 18 XSTATE
    CommandEndIr,           // 19 XENDIR
    CommandEndDr,           // 20 XENDDR
    CommandSir2,            // 21 XSIR2
    CommandComment,         // 22 XCOMMENT
    CommandWait,            // 23 XWAIT
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// TAP operations
// ---------------------------------------------------------------------------------------------
int XsvfGotoState(BYTE* tapState, BYTE target) {
  if (target > kTapUpdateIr) {
    // No such state: the walk below would never reach it.
    return kXsvfErrorIllegalState;
  }
  if (target == kTapTestLogicReset) {
    // Five clocks with TMS high reach Test-Logic-Reset from any state; one more for good measure.
    TmsTransition(1);
    for (int clock = 0; clock < 5; ++clock) {
      JtagSetPort(kJtagPortTck, 0);
      JtagSetPort(kJtagPortTck, 1);
    }
    *tapState = kTapTestLogicReset;
    return kXsvfErrorNone;
  }
  if (target != *tapState && ((target == kTapExit2Dr && *tapState != kTapPauseDr) ||
                              (target == kTapExit2Ir && *tapState != kTapPauseIr))) {
    return kXsvfErrorIllegalState;
  }
  if (target == *tapState && (target == kTapPauseDr || target == kTapPauseIr)) {
    // Staying in a pause state means walking the whole column back to it.
    TmsTransition(1);
    *tapState = target == kTapPauseDr ? kTapExit2Dr : kTapExit2Ir;
  }
  int error = kXsvfErrorNone;
  while (*tapState != target) {
    BYTE next = 0;
    DWORD tms = 1;
    switch (*tapState) {
      case kTapTestLogicReset:
        tms = 0;
        next = kTapRunTestIdle;
        break;
      case kTapRunTestIdle:
        next = kTapSelectDr;
        break;
      case kTapSelectDr:
        if (target >= kTapSelectIr) {
          next = kTapSelectIr;
        } else {
          tms = 0;
          next = kTapCaptureDr;
        }
        break;
      case kTapCaptureDr:
      case kTapExit2Dr:
        if (target == kTapShiftDr) {
          tms = 0;
          next = kTapShiftDr;
        } else {
          next = *tapState == kTapCaptureDr ? kTapExit1Dr : kTapUpdateDr;
        }
        break;
      case kTapShiftDr:
        next = kTapExit1Dr;
        break;
      case kTapExit1Dr:
        if (target == kTapPauseDr) {
          tms = 0;
          next = kTapPauseDr;
        } else {
          next = kTapUpdateDr;
        }
        break;
      case kTapPauseDr:
        next = kTapExit2Dr;
        break;
      case kTapUpdateDr:
      case kTapUpdateIr:
        if (target == kTapRunTestIdle) {
          tms = 0;
          next = kTapRunTestIdle;
        } else {
          next = kTapSelectDr;
        }
        break;
      case kTapSelectIr:
        tms = 0;
        next = kTapCaptureIr;
        break;
      case kTapCaptureIr:
      case kTapExit2Ir:
        if (target == kTapShiftIr) {
          tms = 0;
          next = kTapShiftIr;
        } else {
          next = *tapState == kTapCaptureIr ? kTapExit1Ir : kTapUpdateIr;
        }
        break;
      case kTapShiftIr:
        next = kTapExit1Ir;
        break;
      case kTapExit1Ir:
        if (target == kTapPauseIr) {
          tms = 0;
          next = kTapPauseIr;
        } else {
          next = kTapUpdateIr;
        }
        break;
      case kTapPauseIr:
        next = kTapExit2Ir;
        break;
      default:
        error = kXsvfErrorIllegalState;
        *tapState = target;
        continue;
    }
    TmsTransition(tms);
    *tapState = next;
  }
  return error;
}

int XsvfShift(BYTE* tapState, const XsvfShiftRequest& request) {
  DWORD wait = request.waitMicroseconds;
  const DWORD available = 8 * static_cast<DWORD>(request.tdi->length > 0 ? request.tdi->length : 0);
  const DWORD bitCount = request.bitCount < available ? request.bitCount : available;
  if (bitCount == 0) {
    if (wait != 0) {
      const int error = XsvfGotoState(tapState, kTapRunTestIdle);
      if (error != kXsvfErrorNone) {
        return error;
      }
      JtagWaitMicroseconds(wait);
    }
    return kXsvfErrorNone;
  }
  const bool exitShift = request.startState != request.endState;
  const bool compare = request.expected != nullptr && request.capture != nullptr;
  bool mismatch = false;
  for (BYTE attempt = 0;; ++attempt) {
    int error = XsvfGotoState(tapState, request.startState);
    if (error != kXsvfErrorNone) {
      return error;
    }
    ShiftBits(request, bitCount, exitShift);
    mismatch = compare && Mismatch(request);
    if (exitShift) {
      // The last bit went with TMS high: Shift-DR/IR moved on to Exit1-DR/IR.
      *tapState = request.startState + 1;
      if (mismatch && wait != 0 && attempt < request.maxRepeat) {
        // Retry through Pause-DR, allowing the device a quarter more time.
        error = XsvfGotoState(tapState, kTapPauseDr);
        if (error == kXsvfErrorNone) {
          error = XsvfGotoState(tapState, kTapShiftDr);
        }
        const DWORD more = wait >> 2;
        wait = wait > 0xFFFFFFFFu - more ? 0xFFFFFFFFu : wait + more;
      } else {
        error = XsvfGotoState(tapState, request.endState);
      }
      if (error != kXsvfErrorNone) {
        return error;
      }
      if (wait != 0) {
        error = XsvfGotoState(tapState, kTapRunTestIdle);
        if (error != kXsvfErrorNone) {
          return error;
        }
        JtagWaitMicroseconds(wait);
      }
    }
    if (!mismatch || attempt >= request.maxRepeat) {
      break;
    }
  }
  if (mismatch) {
    return request.maxRepeat != 0 ? kXsvfErrorTooManyRetries : kXsvfErrorTdoMismatch;
  }
  return kXsvfErrorNone;
}

// ---------------------------------------------------------------------------------------------
// Run
// ---------------------------------------------------------------------------------------------
int XsvfPlay(const BYTE* stream, DWORD streamSize, XsvfResult* result) {
  JtagStreamBegin(stream, stream != nullptr ? streamSize : 0);
  XsvfContext context{};
  context.tapState = kTapTestLogicReset;
  context.endIr = kTapRunTestIdle;
  context.endDr = kTapRunTestIdle;
  context.errorCode = XsvfGotoState(&context.tapState, kTapTestLogicReset);
  while (context.errorCode == kXsvfErrorNone && context.complete == 0) {
    BYTE command = 0;
    if (!JtagReadByte(&command)) {
      context.errorCode = kXsvfErrorEndOfStream;
      break;
    }
    context.command = command;
    ++context.commandCount;
    if (command >= sizeof(kCommands) / sizeof(kCommands[0])) {
      context.errorCode = kXsvfErrorIllegalCommand;
      break;
    }
    kCommands[command](context);
  }
  if (result != nullptr) {
    result->errorCode = context.errorCode;
    result->commandCount = context.commandCount;
  }
  return context.errorCode;
}
