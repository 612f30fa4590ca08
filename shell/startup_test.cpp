// The process entry with its command line: what each text parses to, what the batch then does on
// the module (updates, registry saves and clears, resets with their delays, debug warnings), the
// messages it shows and the exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cpld/cpld.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "host/sample_content.h"
#include "library/library_internal.h"
#include "resources/resource.h"
#include "shell/shell.h"
#include "sim/base/utf.h"
#include "sim/os/os_flash.h"
#include "sim/ui/front_end.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/program_state.h"
#include "tests/support/test_names.h"
#include "tests/support/test_pattern.h"
#include "tests/support/ui_driver.h"

namespace {

using testing_support::ProgramThread;
using testing_support::ShownMessageBox;
using testing_support::UiDriver;

constexpr DWORD kRebootControl = 0x0101003C;
constexpr DWORD kRegistryClearControl = 0x01012010;
constexpr std::uint32_t kOsImageOffset = 0x80000;  // where the presets' OS image region starts
constexpr std::uint32_t kUpdateLength = 0x1000;
constexpr const char* kWarning = "WARINING: Flashwick.exe: commandline command not supported";

const std::u16string kUpdate = u"\\USB HD\\IMAGES\\update.bin";
// A path of exactly 259 characters, the longest an entry holds, naming an existing update file.
const std::u16string kLongest = u"\\USB HD\\IMAGES\\" + std::u16string(240, u'a') + u".bin";

sample_content::Bytes UpdateData() { return testing_support::Pattern(kUpdateLength, 7); }

// The parsed command table in short: "u:<name>" (an update, always silent; "u!" when the name was
// too long for the entry), "f"/"fu", "c"/"cu", "r<value>", "?" for a letter without a command.
std::vector<std::string> DescribeCommandTable() {
  std::vector<std::string> entries;
  for (DWORD i = 0; i < CommandCount; ++i) {
    const CommandEntry& entry = CommandTable[i];
    const std::string silent = entry.silent != 0 ? "u" : "";
    switch (entry.kind) {
      case kCommandUpdate:
        entries.push_back(std::string(entry.nameTooLong != 0 ? "u!" : "u:") +
                          (entry.silent == 1 ? "" : "(asks)") +
                          sim::ToUtf8(entry.argument.fileName));
        break;
      case kCommandSaveRegistry:
        entries.push_back("f" + silent);
        break;
      case kCommandClearRegistry:
        entries.push_back("c" + silent);
        break;
      case kCommandReset:
        entries.push_back("r" + std::to_string(entry.argument.resetValue) + silent);
        break;
      default:
        entries.push_back("?" + silent);
        break;
    }
  }
  return entries;
}

// ---------------------------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------------------------
enum class Setup {
  kReady,
  kOldHardware,  // the library refuses the module's hardware revision
  kNoFlash,      // the flash layer cannot start
  kFlushFails,
  kClearFails,
  kWriteFails,  // a NOR module whose OS image region takes the erase but not the program
};

enum class FileChoice { kNotAsked, kCancel, kUpdateFile };

struct CommandLineCase {
  std::string name;
  std::u16string commandLine;
  std::vector<std::string> entries;
  Setup setup;
  FileChoice file;
  bool mainDialog;
  // Message boxes as "caption|text", in order (each answered with its first button).
  std::vector<std::string> boxes;
  // What reached the module, in order: "save", "clear", "warm", "cold <delay>", "warn".
  std::vector<std::string> events;
  bool flashUpdated;
  int exitCode;
};
void PrintTo(const CommandLineCase& c, std::ostream* out) { *out << c.name; }

std::string Narrow(const std::u16string& text) { return sim::ToUtf8(text); }

std::vector<CommandLineCase> Cases() {
  const std::string update = Narrow(kUpdate);
  const std::string longest = Narrow(kLongest);
  std::u16string twentyOne;
  std::vector<std::string> twentySaves;
  for (int i = 0; i < 20; ++i) {
    twentyOne += u"/fu ";
    twentySaves.push_back("fu");
  }
  twentyOne += u"/c";
  std::vector<std::string> twentyFlushes(20, "save");
  const std::string initFailed = "ERROR|Init FlashwickLib failed.";
  const std::u16string absentFile = u"\\USB HD\\IMAGES\\absent.bin";
  const std::string absent = Narrow(absentFile);
  const std::string tooLong =
      "ERROR|Image file name too long (more than 259 characters):\n" + longest + "...";
  // Columns: name; command line; parsed entries; set-up; file dialog; main dialog; message boxes;
  // what reached the module; flash updated; exit code.
  // clang-format off
  return {
      // Interactive mode.
      {"Empty_OpensMainDialog", u"", {}, Setup::kReady, FileChoice::kNotAsked, true,
       {}, {}, false, 1},
      {"NoLeadingSlash_OpensMainDialog", u"f /fu", {}, Setup::kReady, FileChoice::kNotAsked, true,
       {}, {}, false, 1},
      {"OldHardware_EndsWithoutDialog", u"", {}, Setup::kOldHardware, FileChoice::kNotAsked, false,
       {"ERROR|Module HW version not supported"}, {}, false, 0},
      {"NoFlash_StillOpensMainDialog", u"", {}, Setup::kNoFlash, FileChoice::kNotAsked, true,
       {"ERROR|Could not initialize Flash."}, {}, false, 1},

      // The two examples.
      {"UpdateThenColdResetAfterDelay", u"/u " + kUpdate + u" /rc2000", {"u:" + update, "r2000"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"cold 2000"}, true, 1},
      {"SilentSaveThenWarmReset", u"/fu /r", {"fu", "r0"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"save", "warm"}, false, 1},

      // Resets: warm, cold with the default, a given and a clamped delay; a reset always goes on.
      {"Reset_Warm", u"/r", {"r0"}, Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"warm"}, false, 1},
      {"ResetCold_WaitsOneMillisecond", u"/rc", {"r1"}, Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"cold 1"}, false, 1},
      {"ResetColdZero_IsWarm", u"/rc0", {"r0"}, Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"warm"}, false, 1},
      {"ResetColdWithoutDigits_IsWarm", u"/rcx", {"r0"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"warm"}, false, 1},
      {"ResetDelayBeyond32Bits_Clamped", u"/rc4294967296 /fu", {"r4294967294", "fu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"cold 4294967294", "save"}, false, 1},
      {"ResetDelayOfInfinite_Clamped", u"/rc4294967295", {"r4294967294"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"cold 4294967294"}, false, 1},
      {"ResetDelayOfManyDigits_Clamped", u"/rc99999999999999999999999", {"r4294967294"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"cold 4294967294"}, false, 1},
      {"ResetDelaySkipsToTheBlank", u"/rc5x /fu", {"r5", "fu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"cold 5", "save"}, false, 1},
      {"ResetDelayEndedBySlash_EndsParsing", u"/rc5/fu", {"r5"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"cold 5"}, false, 1},
      {"ResetAlwaysGoesOn", u"/r /cu", {"r0", "cu"}, Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"warm", "clear"}, false, 1},

      // Registry switches.
      {"SaveAndClearWithMessages", u"/f /c", {"f", "c"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {"Registry|Registry successfully saved", "Registry|Registry successfully cleared"},
       {"save", "clear"}, false, 1},
      {"SaveDirectlyFollowedByClear_EndsParsing", u"/f/c", {"f"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {"Registry|Registry successfully saved"}, {"save"}, false, 1},
      {"SilentSaveAndClear", u"/fu /cu", {"fu", "cu"}, Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"save", "clear"}, false, 1},
      {"SilentSaveDirectlyFollowedBySwitch_EndsParsing", u"/fu/cu", {"fu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"save"}, false, 1},
      {"FinalClear", u"/fu /c", {"fu", "c"}, Setup::kReady, FileChoice::kNotAsked, false,
       {"Registry|Registry successfully cleared"}, {"save", "clear"}, false, 1},
      {"TwentyOneSwitches_RunsTwenty", twentyOne, twentySaves,
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, twentyFlushes, false, 1},
      {"FailingSave_StopsBatch", u"/f /r", {"f", "r0"},
       Setup::kFlushFails, FileChoice::kNotAsked, false,
       {"Registry|Registry save FAILED!"}, {"save"}, false, 0},
      {"FailingSilentSave_StopsQuietly", u"/fu /r", {"fu", "r0"},
       Setup::kFlushFails, FileChoice::kNotAsked, false,
       {}, {"save"}, false, 0},
      {"FailingSilentClear_StopsQuietly", u"/cu /fu", {"cu", "fu"},
       Setup::kClearFails, FileChoice::kNotAsked, false,
       {}, {"clear"}, false, 0},

      // Letters without a command (case matters). The next switch is looked for right after the
      // letter, so a blank there ends parsing.
      {"UnknownFirst_EndsWithFailure", u"/x/fu", {"?", "fu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"warn"}, false, 0},
      {"UpperCaseLetter_IsUnknown", u"/F", {"?"}, Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"warn"}, false, 0},
      {"LoneSlash_IsUnknown", u"/", {"?"}, Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"warn"}, false, 0},
      {"UnknownFollowedByBlank_EndsParsing", u"/fu /x /cu", {"fu", "?"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"save", "warn"}, false, 1},
      {"UnknownAfterSuccess_OnlyWarns", u"/fu /x/cu", {"fu", "?", "cu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"save", "warn", "clear"}, false, 1},

      // Update names.
      {"UpdateResetThenClear", u"/u " + kUpdate + u" /r /cu", {"u:" + update, "r0", "cu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"warm", "clear"}, true, 1},
      // Only a blank before the next switch is dropped, never a character of the name.
      {"UpdateNameEndedBySlash_KeepsItsLastCharacter", u"/u " + kUpdate + u"/fu",
       {"u:" + update, "fu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"save"}, true, 1},
      {"UpdateNameWithTwoBlanksBeforeSlash_KeepsOne", u"/u " + kUpdate + u"  /fu",
       {"u:" + update + " ", "fu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {"ERROR|Cannot open image file\n" + update + " "}, {}, false, 0},
      {"UpdateAtEnd_KeepsTrailingBlanks", u"/u " + kUpdate + u"  ", {"u:" + update + "  "},
       Setup::kReady, FileChoice::kNotAsked, false,
       {"ERROR|Cannot open image file\n" + update + "  "}, {}, false, 0},
      // An update that fails after its erase ends the batch too: no wait, no reset.
      {"UpdateFailingAfterTheErase_NoWaitNoReset", u"/u " + kUpdate + u" /rc2000",
       {"u:" + update, "r2000"},
       Setup::kWriteFails, FileChoice::kNotAsked, false,
       {"ERROR|Error writing to Flash!"}, {}, false, 0},
      {"UpdateOfMissingFile_StopsBatch", u"/u " + absentFile + u" /fu", {"u:" + absent, "fu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {"ERROR|Cannot open image file\n" + absent}, {}, false, 0},
      {"EmptyName_AsksForTheFile", u"/u /fu", {"u:", "fu"},
       Setup::kReady, FileChoice::kUpdateFile, false,
       {}, {"save"}, true, 1},
      {"EmptyNameCancelled_StopsBatch", u"/u /fu", {"u:", "fu"},
       Setup::kReady, FileChoice::kCancel, false,
       {}, {}, false, 0},
      {"UpdateSwitchAtEnd_AsksForTheFile", u"/u", {"u:"},
       Setup::kReady, FileChoice::kCancel, false,
       {}, {}, false, 0},
      {"NameOf259Characters_Used", u"/u " + kLongest + u" /fu", {"u:" + longest, "fu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {}, {"save"}, true, 1},
      {"NameBeyond259Characters_NeverCutToAnotherFile", u"/u " + kLongest + u"x /fu",
       {"u!" + longest, "fu"},
       Setup::kReady, FileChoice::kNotAsked, false,
       {tooLong}, {}, false, 0},

      // Failing start-up in batch mode: nothing runs, not even a reset.
      {"InitFailure_ShownForLoudFirstCommand", u"/c /r", {"c", "r0"},
       Setup::kOldHardware, FileChoice::kNotAsked, false,
       {initFailed}, {}, false, 0},
      {"InitFailure_SilentFirstCommandShowsNothing", u"/cu /r", {"cu", "r0"},
       Setup::kOldHardware, FileChoice::kNotAsked, false,
       {}, {}, false, 0},
      {"InitFailure_ResetFirstIsNotSilent", u"/r /fu", {"r0", "fu"},
       Setup::kNoFlash, FileChoice::kNotAsked, false,
       {initFailed}, {}, false, 0},
      {"InitFailure_UpdateFirstIsSilent", u"/u " + kUpdate, {"u:" + update},
       Setup::kNoFlash, FileChoice::kNotAsked, false,
       {}, {}, false, 0},
  };
  // clang-format on
}

class CommandLine : public testing_support::ModuleTest,
                    public ::testing::WithParamInterface<CommandLineCase> {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ResetShellStateForTesting();
    testing_support::ForgetProgramState();
    sample_content::BinBuilder bin;
    bin.Header(0x80000000, kUpdateLength).Record(0x80000000, UpdateData()).End();
    for (const std::u16string& path : {kUpdate, kLongest}) {
      std::string relative = Narrow(path.substr(1));
      std::replace(relative.begin(), relative.end(), '\\', '/');
      bin.WriteTo(Machine().FilesDirectory() / relative);
    }
  }

  std::string Preset() const override {
    return GetParam().setup == Setup::kWriteFails ? "pxa270-32m" : sim::kDefaultPreset;
  }

  void Configure(sim::Json& config) override {
    if (GetParam().setup == Setup::kOldHardware) {
      config["platformItems"]["8"] = "0100010000000000";  // hardware 1.1
    }
  }

  void FailCall(const std::string& name) {
    Machine().Faults().Add(faults::Call{.name = name, .count = -1});
  }

  // What reached the module, from the record of platform calls.
  std::vector<std::string> Events() {
    std::vector<std::string> events;
    const std::vector<sim::CallEntry> calls = Machine().Calls().Entries();
    std::string coldDelay;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      const sim::CallEntry& call = calls[i];
      if (call.name == "RegFlushKey") {
        events.push_back("save");
      } else if (call.name == "OutputDebugStringW") {
        events.push_back("warn");
      } else if (call.name == "SetCleanRebootFlag") {
        coldDelay = i > 0 && calls[i - 1].name == "Sleep"
                        ? " " + std::to_string(calls[i - 1].args[0])
                        : " (no delay)";
      } else if (call.name == "KernelIoControl" && call.args[0] == kRegistryClearControl) {
        events.push_back("clear");
      } else if (call.name == "KernelIoControl" && call.args[0] == kRebootControl) {
        events.push_back(call.args[1] == 4 ? "cold" + coldDelay : "warm");
      }
    }
    return events;
  }

  bool FlashHoldsUpdate() {
    std::vector<std::uint8_t> flash(kUpdateLength);
    sim::OsFlash* os = sim::CurrentOsFlash();
    return os != nullptr && os->Read(kOsImageOffset, flash.data(), kUpdateLength) &&
           flash == UpdateData();
  }

  UiDriver ui;
};

TEST_P(CommandLine, ParsesDispatchesAndExits) {
  const CommandLineCase& c = GetParam();
  ParseCommandLine(c.commandLine.c_str());
  EXPECT_EQ(DescribeCommandTable(), c.entries);

  if (c.setup == Setup::kNoFlash) {
    FailCall("CreateMutexW");
  } else if (c.setup == Setup::kFlushFails) {
    FailCall("RegFlushKey");
  } else if (c.setup == Setup::kClearFails) {
    FailCall("KernelIoControl/0x01012010");
  } else if (c.setup == Setup::kWriteFails) {
    Machine().Faults().Add(faults::NorProgramFail{.offset = kOsImageOffset + 0x100});
  }
  ASSERT_FALSE(FlashHoldsUpdate());
  ui.SetAutoAnswer([](const ShownMessageBox& box) { return box.buttons.front(); });
  Machine().Calls().Enable(true);
  std::u16string text = c.commandLine;
  ProgramThread program(
      [&text] { return WinMain(sim::ui::ProgramInstance(), nullptr, text.data(), 0); });
  if (c.file != FileChoice::kNotAsked) {
    const testing_support::ShownFileDialog open = ui.WaitForFileDialog();
    EXPECT_EQ(open.owner, nullptr);
    EXPECT_EQ(open.request.folder, u"\\USB HD\\IMAGES");
    if (c.file == FileChoice::kCancel) {
      ui.CancelFile(open.handle);
    } else {
      ui.ChooseFile(open.handle, kUpdate);
    }
  }
  if (c.mainDialog) {
    HWND dialog = ui.WaitForDialog(IDD_MAIN);
    ASSERT_NE(dialog, nullptr);
    ui.Close(dialog);
  }
  EXPECT_EQ(program.Join(), c.exitCode);
  Machine().Calls().Enable(false);

  std::vector<std::string> boxes;
  for (const ShownMessageBox& box : ui.MessageBoxes()) {
    boxes.push_back(Narrow(box.caption) + "|" + Narrow(box.text));
    if (!c.mainDialog) {
      EXPECT_EQ(box.owner, nullptr);
    }
  }
  EXPECT_EQ(boxes, c.boxes);
  const std::vector<std::string> events = Events();
  EXPECT_EQ(events, c.events);
  EXPECT_EQ(FlashHoldsUpdate(), c.flashUpdated);

  // Each warning is the one debug line for a letter without a command.
  std::string log;
  (void)sim::ReadWholeFile(Machine().RamDirectory() / "debug.log", &log);
  std::size_t warnings = 0;
  for (std::size_t at = log.find(kWarning); at != std::string::npos;
       at = log.find(kWarning, at + 1)) {
    ++warnings;
  }
  EXPECT_EQ(warnings, static_cast<std::size_t>(std::count(events.begin(), events.end(), "warn")));
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLine, ::testing::ValuesIn(Cases()),
                         testing_support::CaseName());

}  // namespace
