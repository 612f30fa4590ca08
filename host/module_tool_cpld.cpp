// flashwick-module cpld and play-xsvf: the module's CPLD as the program sees it, through the
// program's own JTAG port and XSVF player.
#include <cstdio>
#include <string>
#include <vector>

#include "cpld/cpld_access.h"
#include "host/module_tool.h"
#include "sim/base/files.h"
#include "sim/hw/cpld_model.h"
#include "sim/hw/gpio.h"
#include "sim/module/machine.h"

namespace module_tool {
namespace {

// Streams are a few tens of kilobytes; anything far larger is not one.
constexpr std::uintmax_t kLargestStream = 64u << 20;

const char* PlayerErrorText(int code) {
  switch (code) {
    case kXsvfErrorNone:
      return "no error";
    case kXsvfErrorTdoMismatch:
      return "TDO mismatch";
    case kXsvfErrorTooManyRetries:
      return "TDO mismatch on every retry";
    case kXsvfErrorIllegalCommand:
      return "illegal command";
    case kXsvfErrorIllegalState:
      return "illegal TAP state";
    case kXsvfErrorDataOverflow:
      return "operand longer than 7000 bytes";
    case kXsvfErrorEndOfStream:
      return "the stream ended before XCOMPLETE";
    default:
      return "unknown error";
  }
}

const char* OpenStatusText(DWORD status) {
  switch (status) {
    case kCpldOk:
      return "identified";
    case kCpldNoCpld:
      return "no CPLD on this processor's modules";
    case kCpldIdCodeFailed:
      return "no IDCODE could be read: nothing answers on the JTAG port";
    case kCpldWrongIdCode:
      return "not the supported part";
    default:
      return "unknown status";
  }
}

std::string VersionText(DWORD userCode) {
  const CpldVersion version = CpldVersionOf(userCode);
  std::string text = std::to_string(version.major) + "." + std::to_string(version.minor);
  if (version.isBeta) {
    text += " beta " + std::to_string(version.beta);
  }
  return text;
}

bool AttachModule(const std::filesystem::path& directory) {
  std::string error;
  if (!sim::Attach(directory, sim::AttachOptions{}, &error)) {
    Fail(error);
    return false;
  }
  return true;
}

int ShowCpld(const Arguments& arguments) {
  if (arguments.positional.size() > 1) {
    return Fail("usage: cpld [DIR]");
  }
  const auto directory = ModuleDirectoryArgument(arguments);
  if (!AttachModule(directory)) {
    return 2;
  }
  if (const std::string stale = StaleStateNote(directory); !stale.empty()) {
    std::fprintf(stderr, "flashwick-module: note: %s\n", stale.c_str());
  }
  DWORD idCode = 0;
  const DWORD idStatus = CpldReadIdCode(&idCode);
  if (idStatus == kCpldNoCpld) {
    std::printf("no CPLD: processor identity %u carries none\n", sim::CurrentMachine().Identity());
    sim::Detach();
    return 1;
  }
  if (idStatus == kCpldOk) {
    std::printf("IDCODE      0x%08X (part 0x%07X, revision %u)\n", idCode, idCode & kCpldIdCodeMask,
                idCode >> 28);
  } else {
    std::printf("IDCODE      could not be read\n");
  }
  const DWORD openStatus = CpldOpen();
  std::printf("open        %u (%s)\n", openStatus, OpenStatusText(openStatus));
  int exitCode = 1;
  if (openStatus == kCpldOk) {
    DWORD userCode = 0;
    if (CpldReadUserCode(&userCode) == kCpldOk) {
      std::printf("user code   0x%08X (version %s)\n", userCode, VersionText(userCode).c_str());
      // The part runs what it loaded last; a programmed array waits for its load or a reset.
      sim::CpldModel* cpld = sim::Machine::Get<sim::CpldModel>("cpld");
      const std::uint32_t array = cpld != nullptr ? cpld->ArrayUserCode() : userCode;
      if (array != userCode) {
        std::printf(
            "array       0x%08X (version %s), not running yet: it runs after ISC_INIT "
            "and ISC_DISABLE or a module reset\n",
            array, VersionText(array).c_str());
      }
      exitCode = 0;
    } else {
      std::printf("user code   could not be read\n");
    }
    (void)CpldClose();
  }
  sim::Detach();
  return exitCode;
}

int PlayXsvf(const Arguments& arguments) {
  const std::size_t count = arguments.positional.size();
  if (count < 1 || count > 2) {
    return Fail("usage: play-xsvf [DIR] FILE [--vcd OUT]");
  }
  const std::filesystem::path file = arguments.positional[count - 1];
  std::error_code code;
  const std::uintmax_t size = std::filesystem::file_size(file, code);
  if (code || size > kLargestStream) {
    return Fail(file.string() +
                (code ? ": cannot read: " + code.message() : ": too large for an XSVF stream"));
  }
  std::vector<BYTE> stream;
  if (!sim::ReadWholeFile(file, &stream)) {
    return Fail(file.string() + ": cannot read");
  }
  if (!AttachModule(count == 2 ? std::filesystem::path(arguments.positional[0])
                               : ModuleDirectoryArgument(Arguments{}))) {
    return 2;
  }
  sim::Machine& machine = sim::CurrentMachine();
  sim::CpldModel* cpld = sim::Machine::Get<sim::CpldModel>("cpld");
  if (arguments.Has("vcd")) {
    std::string error;
    if (arguments.Get("vcd").empty() || !cpld->StartTrace(arguments.Get("vcd"), &error)) {
      sim::Detach();
      return Fail(error.empty() ? "--vcd needs a file name" : error);
    }
  }
  const DWORD openStatus = CpldOpen();
  if (openStatus != kCpldOk) {
    std::printf("CPLD not opened: status %u (%s)\n", openStatus, OpenStatusText(openStatus));
    cpld->StopTrace();
    sim::Detach();
    return 1;
  }
  sim::GpioModel& gpio = *sim::Machine::Get<sim::GpioModel>("gpio");
  gpio.ChargeTime();
  const std::uint64_t startTime = machine.Clock().Now();
  const std::uint64_t startPulses = cpld->TckPulses();
  XsvfResult result{kXsvfErrorNone, 0};
  (void)CpldProgram(stream.data(), static_cast<DWORD>(stream.size()), &result);
  gpio.ChargeTime();
  const std::uint64_t elapsed = machine.Clock().Now() - startTime;
  const std::uint64_t pulses = cpld->TckPulses() - startPulses;
  (void)CpldClose();
  std::string traceError;
  const bool traced = cpld->StopTrace(&traceError);
  std::printf("result      %d (%s)\n", result.errorCode, PlayerErrorText(result.errorCode));
  std::printf("commands    %u\n", result.commandCount);
  std::printf("TCK pulses  %llu\n", static_cast<unsigned long long>(pulses));
  std::printf("virtual     %.3f ms\n", static_cast<double>(elapsed) / 1e6);
  if (arguments.Has("vcd")) {
    std::printf("trace       %s%s\n", arguments.Get("vcd").c_str(),
                traced ? "" : (" (" + traceError + ")").c_str());
  }
  sim::Detach();
  return result.errorCode == kXsvfErrorNone && traced ? 0 : 1;
}

const ModuleCommandRegistrar kCpld(
    {"cpld",
     "cpld [DIR]",
     "show the CPLD's IDCODE and user code as the program reads them",
     {},
     ShowCpld});
const ModuleCommandRegistrar kPlayXsvf({"play-xsvf",
                                        "play-xsvf [DIR] FILE [--vcd OUT]",
                                        "play an XSVF stream on the module's CPLD",
                                        {"vcd"},
                                        PlayXsvf});

}  // namespace
}  // namespace module_tool
