// flashwick as a user runs it: modules made with flashwick-module (which puts the sample update
// files on their USB drive), the program started with the console front end and a command line,
// and then the module looked at: its flash, its CPLD, whether it was reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "sim/base/files.h"
#include "sim/module/machine.h"
#include "sim/os/os_flash.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"
#include "tests/support/tool_module.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Executable;
using testing_support::RunCommand;
using testing_support::TemporaryDirectory;
using testing_support::ToolModule;

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Word(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes.at(at)) |
         (static_cast<std::uint32_t>(bytes.at(at + 1)) << 8) |
         (static_cast<std::uint32_t>(bytes.at(at + 2)) << 16) |
         (static_cast<std::uint32_t>(bytes.at(at + 3)) << 24);
}

// FNV-1a of a file's bytes (the flash images are too large to keep two copies of).
std::uint64_t Digest(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  std::uint64_t hash = 0xcbf29ce484222325ull;
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<std::uint8_t>(buffer[static_cast<std::size_t>(i)])) *
             0x100000001b3ull;
    }
  }
  return hash;
}

Bytes ReadFile(const fs::path& file) {
  Bytes bytes;
  EXPECT_TRUE(sim::ReadWholeFile(file, &bytes)) << file;
  return bytes;
}

// Runs flashwick with the console front end on the module; returns the exit code.
int RunFlashwick(const ToolModule& module, const std::string& arguments, std::string* output) {
  return RunCommand(
      Executable("flashwick") + " --ui console --module " + module.Quoted() + " " + arguments,
      output);
}

// The running OS's state is gone after a reset.
bool WasReset(const ToolModule& module) {
  return !fs::exists(module.Directory() / "ram" / "booted");
}

// The data of a bin file's image part, laid out from its start address.
Bytes ImageOf(const Bytes& file, std::uint32_t* start) {
  *start = Word(file, 7);
  Bytes image(Word(file, 11), 0xFF);
  std::size_t at = 15;
  while (true) {
    const std::uint32_t address = Word(file, at);
    const std::uint32_t length = Word(file, at + 4);
    const std::uint32_t checksum = Word(file, at + 8);
    at += 12;
    if (address == 0 && checksum == 0) {
      return image;
    }
    std::copy(file.begin() + static_cast<std::ptrdiff_t>(at),
              file.begin() + static_cast<std::ptrdiff_t>(at + length),
              image.begin() + static_cast<std::ptrdiff_t>(address - *start));
    at += length;
  }
}

// Seconds from "NAME: 1.234 s of module time" lines, and the program's closing line.
double Seconds(const std::string& output, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(output, match,
                         std::regex(pattern + R"(([0-9]+\.[0-9]+) s of module time)"))) {
    ADD_FAILURE() << "no \"" << pattern << "\" time in:\n" << output;
    return -1;
  }
  return std::stod(match[1]);
}

class EveryPreset : public ::testing::TestWithParam<std::string> {};

TEST_P(EveryPreset, OsUpdateFromTheCommandLineWritesTheImageWaitsAndResetsCold) {
  const ToolModule module(GetParam());
  const Bytes file = ReadFile(module.Images() / "os-update.bin");
  ASSERT_GT(file.size(), 15u);
  std::uint32_t start = 0;
  const Bytes image = ImageOf(file, &start);
  const std::uint32_t offset = module.OsOffset();
  ASSERT_NE(module.Flash(offset, static_cast<std::uint32_t>(image.size())), image)
      << "the module already holds the update";

  std::string output;
  EXPECT_EQ(RunFlashwick(module, R"('/u' '\USB HD\IMAGES\os-update.bin' /rc2000)", &output), 1)
      << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
  EXPECT_NE(output.find("the module resets (cold)"), std::string::npos) << output;
  // The program's time is the update's, then the 2000 ms wait before the reset.
  const double update = Seconds(output, "Image Update: ");
  const double total = Seconds(output, "exit code 1 after ");
  EXPECT_GT(update, 0.0);
  EXPECT_GE(total - update, 2.0) << output;
  EXPECT_LT(total - update, 2.5) << output;
  EXPECT_TRUE(WasReset(module));
  EXPECT_EQ(module.Flash(offset, static_cast<std::uint32_t>(image.size())), image);
}

INSTANTIATE_TEST_SUITE_P(Presets, EveryPreset,
                         ::testing::Values("pxa270-32m", "pxa270-64m", "pxa320", "pxa300",
                                           "pxa310"),
                         testing_support::PresetName());

TEST(FlashwickEndToEnd, DamagedFileShowsItsErrorEndsTheBatchAndLeavesTheFlashAlone) {
  const ToolModule module("pxa320");
  const std::uint64_t flashBefore = Digest(module.Directory() / "flash.img");
  const std::uint64_t spareBefore = Digest(module.Directory() / "nand.oob");
  std::string output;
  EXPECT_EQ(RunFlashwick(module, R"(/u '\USB HD\IMAGES\damaged.bin' /rc2000)", &output), 0)
      << output;
  EXPECT_NE(output.find("[ERROR] Bin file with corrupt CRC!\n  -> OK"), std::string::npos)
      << output;
  EXPECT_NE(output.find("flashwick: exit code 0 after"), std::string::npos) << output;
  // The batch stopped at the failure: no wait, no reset.
  EXPECT_EQ(output.find("resets"), std::string::npos) << output;
  EXPECT_LT(Seconds(output, "exit code 0 after "), 2.0);
  EXPECT_FALSE(WasReset(module));
  EXPECT_EQ(Digest(module.Directory() / "flash.img"), flashBefore);
  EXPECT_EQ(Digest(module.Directory() / "nand.oob"), spareBefore);
}

TEST(FlashwickEndToEnd, CpldUpdateProgramsTheNewDesignWithinItsModuleTime) {
  const ToolModule module("pxa320");
  std::string output;
  ASSERT_EQ(
      RunCommand(Executable("flashwick-module") + " cpld '" + module.Directory().string() + "'",
                 &output),
      0)
      << output;
  EXPECT_NE(output.find("0x00010003 (version 1.3)"), std::string::npos) << output;
  EXPECT_EQ(RunFlashwick(module, R"(/u '\USB HD\IMAGES\cpld-update.bin')", &output), 1) << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
  // Erase, 98 rows of 10 ms, their reads and the player's own pace: a second and a half, not the
  // busy animation's ticks on top of it.
  const double update = Seconds(output, "Image Update: ");
  EXPECT_GT(update, 1.1) << output;
  EXPECT_LT(update, 2.5) << output;
  ASSERT_EQ(
      RunCommand(Executable("flashwick-module") + " cpld '" + module.Directory().string() + "'",
                 &output),
      0)
      << output;
  EXPECT_NE(output.find("0x00010004 (version 1.4)"), std::string::npos) << output;
}

TEST(FlashwickEndToEnd, FullBackupRestoresEveryRegion) {
  const ToolModule module("pxa320");
  const std::uint32_t offset = module.OsOffset();
  std::string output;
  // First a newer OS, then the backup taken when the module was made brings the old one back.
  const Bytes original = module.Flash(offset, 0x10000);
  ASSERT_EQ(RunFlashwick(module, R"(/u '\USB HD\IMAGES\os-update.bin')", &output), 1) << output;
  ASSERT_NE(module.Flash(offset, 0x10000), original);
  EXPECT_EQ(RunFlashwick(module, R"(/u '\USB HD\IMAGES\full-backup.bin')", &output), 1) << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
  // The file system's driver is unloaded with its five-second delay: the time shows it.
  EXPECT_GT(Seconds(output, "Image Update: "), 5.0) << output;
  EXPECT_LT(Seconds(output, "Image Update: "), 30.0) << output;
  EXPECT_EQ(module.Flash(offset, 0x10000), original);
}

// The last line of the standard output, without its line end.
std::string LastLine(const std::string& output) {
  std::string text = output;
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text.substr(text.rfind('\n') + 1);
}

struct ExitCase {
  const char* name;
  const char* arguments;
  int exitCode;       // the program's own: 1 success, 0 failure; 2 not started
  int unixExitCode;   // with --exit-status unix
  const char* shows;  // in the output
  const char* last;   // the last line
  bool reset;
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

class ExitCodes : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ExitCodes, AreTheProgramsOwnOrTwoWhenItCannotStart) {
  const ExitCase& c = GetParam();
  const ToolModule module("pxa320");
  std::string output;
  EXPECT_EQ(RunFlashwick(module, c.arguments, &output), c.exitCode) << output;
  EXPECT_NE(output.find(c.shows), std::string::npos) << output;
  EXPECT_EQ(output.find("resets") != std::string::npos, c.reset) << output;
  EXPECT_EQ(LastLine(output), c.last) << output;
  EXPECT_EQ(RunFlashwick(module, std::string("--exit-status unix ") + c.arguments, &output),
            c.unixExitCode)
      << output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExitCodes,
    ::testing::Values(
        ExitCase{"SaveSilentlyThenWarmReset", "/fu /r", 1, 0, "exit code 1 after", "OK", true},
        ExitCase{"SaveWithItsMessage", "/f", 1, 0, "[Registry] Registry successfully saved", "OK",
                 false},
        // The program's own handling of a switch it does not know, reached unchecked.
        ExitCase{"UnknownFirstSwitch", "--unchecked /x /fu /r", 0, 1, "exit code 0 after",
                 "FAILED: the program reported a failure without a message (exit code 0)", false},
        ExitCase{"UnknownSwitchAfterASuccess", "--unchecked /fu /x/r", 1, 0, "exit code 1 after",
                 "OK", true},
        ExitCase{"MissingFile", R"(/u '\USB HD\IMAGES\absent.bin' /r)", 0, 1,
                 "[ERROR] Cannot open image file\n        \\USB HD\\IMAGES\\absent.bin",
                 R"(FAILED: Cannot open image file \USB HD\IMAGES\absent.bin)", false},
        ExitCase{"DamagedFile", R"(/u '\USB HD\IMAGES\damaged.bin')", 0, 1,
                 "[ERROR] Bin file with corrupt CRC!", "FAILED: Bin file with corrupt CRC!", false},
        ExitCase{"NoSwitchesOpensTheMainDialog", "", 1, 0, "this dialog needs a person", "OK",
                 false},
        // An empty name asks for the file; the batch asks nothing else.
        ExitCase{
            "EmptyNameTakesTheFileDialogsAnswer",
            R"(--answer '\USB HD\IMAGES\os-update.bin' /u /r)", 1, 0,
            "[Open] IMAGE files (*.bin) in \\USB HD\\IMAGES\n  -> \\USB HD\\IMAGES\\os-update.bin",
            "OK", true},
        ExitCase{"EmptyNameWithoutAnAnswerIsCancelled", "/u /r", 0, 1,
                 "-> cancelled (no file given)", "FAILED: no file was chosen in \"Open\"", false},
        ExitCase{"UsbFolderMissing", "--usb /nonexistent/usb /r", 2, 2, "not a folder",
                 "FAILED: /nonexistent/usb: not a folder (given to appear as \\USB HD)", false}),
    testing_support::CaseName());

// Command lines refused before the program starts: exit code 2 under either convention, the
// reason and the usage, and no module looked at (the one named does not exist and is not made).
struct RefusedCase {
  const char* name;
  const char* arguments;
  const char* shows;
};

void PrintTo(const RefusedCase& c, std::ostream* out) { *out << c.name; }

class RefusedCommandLines : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedCommandLines, ExitTwoWithTheReasonAndTheUsage) {
  const RefusedCase& c = GetParam();
  TemporaryDirectory scratch;
  const fs::path absent = scratch.Path() / "absent";
  // Under either convention (a case about the option itself gives its own).
  const bool ownConvention = std::string(c.arguments).find("--exit-status") != std::string::npos;
  for (const char* convention : {"--exit-status system ", "--exit-status unix "}) {
    std::string output;
    EXPECT_EQ(RunCommand(Executable("flashwick") + " --module '" + absent.string() + "' " +
                             (ownConvention ? "" : convention) + c.arguments,
                         &output),
              2)
        << output;
    EXPECT_NE(output.find(c.shows), std::string::npos) << output;
    EXPECT_NE(output.find("usage: flashwick "), std::string::npos) << output;
    EXPECT_EQ(output.find("no such module"), std::string::npos) << output;
  }
  EXPECT_FALSE(fs::exists(absent));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedCommandLines,
    ::testing::Values(
        RefusedCase{"UnknownFrontEnd", "--ui window /r", "--ui must be terminal or console"},
        RefusedCase{"UnknownPace", "--pace slow /r", "--pace must be fast or real"},
        RefusedCase{"UnknownExitStatus", "--exit-status dos /r",
                    "--exit-status must be system or unix"},
        RefusedCase{"UnknownOption", "--colour /r", "unknown option --colour"},
        RefusedCase{"UnknownShortOption", "-v /r", "unknown option -v"},
        RefusedCase{"FlagWithAValue", "--unchecked=yes /r", "--unchecked takes no value"},
        RefusedCase{"OptionTwice", "--pace fast --pace real /r", "--pace is given twice"},
        RefusedCase{"UnknownSwitch", "/fu /x /r", "unknown switch \"/x\""},
        RefusedCase{"NotASwitch", "fu", "\"fu\" is not a switch"},
        RefusedCase{"ExtraArgument", "/f now /r", "unexpected argument \"now\" after /f"},
        RefusedCase{"GluedFileName", R"('/u\USB HD\IMAGES\os-update.bin')",
                    "give the file after /u and a blank"},
        RefusedCase{"DelayTooLong", "/rc4294967296", "does not fit"},
        RefusedCase{"TwentyOneSwitches",
                    "/f /f /f /f /f /f /f /f /f /f /f /f /f /f /f /f /f /f /f /f /f",
                    "more than 20 switches"},
        RefusedCase{"HostPathForTheUpdate", "/u /home/someone/os.bin",
                    "--usb '/home/someone' /u '\\USB HD\\os.bin'"}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

TEST(FlashwickEndToEnd, MissingModuleIsReportedWithoutCreatingIt) {
  TemporaryDirectory scratch;
  std::string output;
  EXPECT_EQ(RunCommand(Executable("flashwick") + " --ui console --module '" +
                           (scratch.Path() / "absent").string() + "' /r",
                       &output),
            2);
  EXPECT_NE(output.find("no such module"), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(scratch.Path() / "absent"));
}

// A fault plan item of a kind no component declares (a misspelt "nand.bad-block") would make the
// rehearsal a user asked for silently fault-free: both executables refuse the module, name the
// item and the field, and leave it as it was.
TEST(FlashwickEndToEnd, MisspeltFaultKindIsRefusedByBothExecutables) {
  const ToolModule module("pxa320");
  const fs::path file = module.Directory() / "module.json";
  std::string text;
  ASSERT_TRUE(sim::ReadWholeFile(file, &text));
  sim::Json config = sim::Json::parse(text);
  config["faults"]["items"] = sim::Json::array({{{"kind", "nand.badblock"}, {"block", 5}}});
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(file, config.dump(2), &error)) << error;
  const std::uint64_t flashBefore = Digest(module.Directory() / "flash.img");
  const std::string runs[] = {
      Executable("flashwick-module") + " info '" + module.Directory().string() + "'",
      Executable("flashwick") + " --ui console --module '" + module.Directory().string() +
          R"(' /u '\USB HD\IMAGES\os-update.bin' /r)",
  };
  for (const std::string& run : runs) {
    SCOPED_TRACE(run);
    std::string output;
    EXPECT_NE(RunCommand(run, &output), 0) << output;
    EXPECT_NE(output.find("field \"faults.items[0].kind\""), std::string::npos) << output;
    EXPECT_NE(output.find("fault item 0 (nand.badblock): unknown kind"), std::string::npos)
        << output;
    EXPECT_NE(output.find("nand.bad-block"), std::string::npos) << output;  // the known kinds
  }
  std::string after;
  ASSERT_TRUE(sim::ReadWholeFile(file, &after));
  EXPECT_EQ(after, config.dump(2));
  EXPECT_EQ(Digest(module.Directory() / "flash.img"), flashBefore);
}

TEST(FlashwickEndToEnd, UsbFolderOfTheHostAppearsAsTheDrive) {
  const ToolModule module("pxa300");
  TemporaryDirectory usb;
  fs::copy_file(module.Images() / "os-update.bin", usb.Path() / "New OS.bin");
  std::string output;
  EXPECT_EQ(RunFlashwick(module, "--usb '" + usb.Path().string() + R"(' /u '\USB HD\New OS.bin')",
                         &output),
            1)
      << output;
  EXPECT_NE(output.find("Image Update: "), std::string::npos) << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
}

// The default module is made on first use, with its sample files.
TEST(FlashwickEndToEnd, DefaultModuleIsCreatedOnFirstUseWithSampleFiles) {
  TemporaryDirectory home;
  std::string output;
  EXPECT_EQ(RunCommand("FLASHWICK_HOME='" + home.Path().string() + "' " + Executable("flashwick") +
                           R"( --ui console /u '\USB HD\IMAGES\os-update.bin')",
                       &output),
            1)
      << output;
  EXPECT_NE(output.find("created the default module"), std::string::npos) << output;
  const fs::path images = home.Path() / "default" / "files" / "USB HD" / "IMAGES";
  for (const char* name : {"os-update.bin", "full-backup.bin", "cpld-update.bin", "damaged.bin"}) {
    EXPECT_TRUE(fs::is_regular_file(images / name)) << name;
  }
  // The second run finds it.
  EXPECT_EQ(RunCommand("FLASHWICK_HOME='" + home.Path().string() + "' " + Executable("flashwick") +
                           " --ui console /fu",
                       &output),
            1)
      << output;
  EXPECT_EQ(output.find("created the default module"), std::string::npos) << output;
}

std::vector<sim::Json> ReadEvents(const fs::path& file) {
  std::vector<sim::Json> events;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    events.push_back(sim::Json::parse(line));  // one whole object on every line
  }
  return events;
}

std::vector<sim::Json> OfKind(const std::vector<sim::Json>& events, const std::string& kind) {
  std::vector<sim::Json> found;
  for (const sim::Json& event : events) {
    if (event["event"] == kind) {
      found.push_back(event);
    }
  }
  return found;
}

// Lines "Image Update: PHASE N% (module time T s)" of the console.
struct ProgressLine {
  std::string phase;
  int percent;
  double time;
};

std::vector<ProgressLine> ProgressLines(const std::string& output) {
  std::vector<ProgressLine> lines;
  const std::regex pattern(R"(Image Update: ([A-Za-z .]+?) ([0-9]+)% \(module time ([0-9.]+) s\))");
  for (auto it = std::sregex_iterator(output.begin(), output.end(), pattern);
       it != std::sregex_iterator(); ++it) {
    lines.push_back({(*it)[1], std::stoi((*it)[2]), std::stod((*it)[3])});
  }
  return lines;
}

// An OS update on a NOR module: the console shows the update's phases a tenth at a time, and
// the event file tells the whole run in module time.
TEST(FlashwickEvents, UpdateTellsItsProgressInModuleTime) {
  const ToolModule module("pxa270-32m");
  TemporaryDirectory scratch;
  const fs::path events = scratch.Path() / "events.jsonl";
  std::string output;
  RunFlashwick(module, "--events '" + events.string() + R"(' /u '\USB HD\IMAGES\os-update.bin')",
               &output);

  // Console: a line for each phase and each tenth, never one per percent, in module time order.
  const std::vector<ProgressLine> lines = ProgressLines(output);
  ASSERT_GE(lines.size(), 4u) << output;
  std::map<std::string, int> perPhase;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_LE(++perPhase[lines[i].phase], 11) << lines[i].phase << "\n" << output;
    if (i > 0) {
      EXPECT_GE(lines[i].time, lines[i - 1].time) << output;
      if (lines[i].phase == lines[i - 1].phase) {
        EXPECT_GE(lines[i].percent / 10, lines[i - 1].percent / 10 + 1) << output;
      }
    }
  }
  EXPECT_EQ(perPhase.count("Validating File"), 1u) << output;
  EXPECT_EQ(perPhase.count("Erasing Flash"), 1u) << output;
  EXPECT_EQ(lines.back().phase, "Section Start") << output;
  EXPECT_EQ(lines.back().percent, 100) << output;

  // Events: every line one object with its module time, from start to end.
  const std::vector<sim::Json> all = ReadEvents(events);
  ASSERT_GE(all.size(), 5u);
  EXPECT_EQ(all.front()["event"], "start");
  EXPECT_EQ(all.front()["commandLine"], R"(/u \USB HD\IMAGES\os-update.bin)");
  EXPECT_EQ(all.back()["event"], "end");
  double time = 0;
  for (const sim::Json& event : all) {
    ASSERT_TRUE(event.contains("moduleTime")) << event.dump();
    EXPECT_GE(event["moduleTime"].get<double>(), time - 1e-9) << event.dump();
    time = event["moduleTime"];
  }
  const std::vector<sim::Json> starts = OfKind(all, "operationStart");
  const std::vector<sim::Json> ends = OfKind(all, "operationEnd");
  ASSERT_EQ(starts.size(), 1u);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(starts[0]["operation"], "Image Update");
  EXPECT_NEAR(ends[0]["seconds"].get<double>(), Seconds(output, "Image Update: "), 0.002);
  const std::vector<sim::Json> progress = OfKind(all, "progress");
  ASSERT_GE(progress.size(), 4u);
  EXPECT_EQ(progress.back()["percent"], 100);
  EXPECT_TRUE(OfKind(all, "fault").empty());
  EXPECT_EQ(all.back()["result"], "OK");
}

// A run with a file dialog and an error box: both are events with their answers, and the error is
// the run's last line.
TEST(FlashwickEvents, FileDialogAndErrorBoxCarryTheirAnswers) {
  const ToolModule module("pxa320");
  TemporaryDirectory scratch;
  const fs::path events = scratch.Path() / "events.jsonl";
  std::string output;
  EXPECT_EQ(RunFlashwick(module,
                         "--exit-status unix --events '" + events.string() +
                             R"(' --answer '\USB HD\IMAGES\damaged.bin' /u /f)",
                         &output),
            1)
      << output;
  EXPECT_EQ(LastLine(output), "FAILED: Bin file with corrupt CRC!") << output;
  const std::vector<sim::Json> all = ReadEvents(events);
  const std::vector<sim::Json> dialogs = OfKind(all, "fileDialog");
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0]["folder"], R"(\USB HD\IMAGES)");
  EXPECT_EQ(dialogs[0]["answer"], R"(\USB HD\IMAGES\damaged.bin)");
  const std::vector<sim::Json> boxes = OfKind(all, "messageBox");
  ASSERT_EQ(boxes.size(), 1u) << "the batch ends at the failure: /f does not run";
  EXPECT_EQ(boxes[0]["caption"], "ERROR");
  EXPECT_EQ(boxes[0]["text"], "Bin file with corrupt CRC!");
  EXPECT_EQ(boxes[0]["icon"], "stop");
  EXPECT_EQ(boxes[0]["buttons"], sim::Json::array({"OK"}));
  EXPECT_EQ(boxes[0]["answer"], "OK");
  EXPECT_EQ(all.back()["event"], "end");
  EXPECT_EQ(all.back()["result"], "FAILED");
  EXPECT_EQ(all.back()["exitCode"], 1);
  EXPECT_EQ(all.back()["programExitCode"], 0);
  EXPECT_EQ(all.back()["message"], "Bin file with corrupt CRC!");
}

// A file of this computer named where the program wants a module path: the program says only
// that it cannot open it, so the host says how to reach it.
TEST(FlashwickEndToEnd, HostFileGivenToTheUpdateGetsTheUsbHint) {
  const ToolModule module("pxa320");
  TemporaryDirectory folder;
  fs::copy_file(module.Images() / "os-update.bin", folder.Path() / "new.bin");
  std::string output;
  EXPECT_EQ(
      RunCommand("cd '" + folder.Path().string() + "' && " + Executable("flashwick") +
                     " --ui console --module '" + module.Directory().string() + "' /u new.bin",
                 &output),
      0)
      << output;
  EXPECT_NE(output.find("flashwick: \"new.bin\" is not on the module; "), std::string::npos)
      << output;
  EXPECT_NE(output.find("--usb '" + folder.Path().string() + R"(' /u '\USB HD\new.bin')"),
            std::string::npos)
      << output;
  EXPECT_EQ(LastLine(output), "FAILED: Cannot open image file new.bin") << output;
  // The hint's command does what it says.
  EXPECT_EQ(RunFlashwick(module, "--usb '" + folder.Path().string() + R"(' /u '\USB HD\new.bin')",
                         &output),
            1)
      << output;
  EXPECT_EQ(LastLine(output), "OK") << output;
}

TEST(FlashwickEndToEnd, VersionOfBothExecutables) {
  std::string output;
  EXPECT_EQ(RunCommand(Executable("flashwick") + " --version", &output), 0);
  EXPECT_EQ(output, "flashwick 3.4.0\n");
  EXPECT_EQ(RunCommand(Executable("flashwick-module") + " --version", &output), 0);
  EXPECT_EQ(output, "flashwick-module 3.4.0\n");
  EXPECT_EQ(RunCommand(Executable("flashwick") + " --version /r", &output), 2) << output;
}

// A power cut stops the module's processor with its flash: the run ends there, says so on both
// streams and never reports success; the module's RAM is gone (its debug log kept). The OS image
// it cut short does not start, and once the technician has written it back the same update
// completes the module.
TEST(FlashwickEndToEnd, PowerCutEndsTheRunAsFailedAndTheNextRunCompletes) {
  for (const char* preset : {"pxa270-32m", "pxa320"}) {
    SCOPED_TRACE(preset);
    const ToolModule module(preset);
    const fs::path file = module.Directory() / "module.json";
    std::string text;
    ASSERT_TRUE(sim::ReadWholeFile(file, &text));
    sim::Json config = sim::Json::parse(text);
    config["faults"]["items"] = sim::Json::array({sim::Json(faults::PowerCut{.after = 40})});
    std::string error;
    ASSERT_TRUE(sim::WriteWholeFile(file, config.dump(2), &error)) << error;
    const std::string update = R"(--exit-status unix /u '\USB HD\IMAGES\os-update.bin' /r)";
    TemporaryDirectory scratch;
    const fs::path events = scratch.Path() / "events.jsonl";
    std::string output;
    EXPECT_EQ(RunFlashwick(module, "--events '" + events.string() + "' " + update, &output), 1)
        << output;
    // The event file ends with the cut: the fault in module time, then the end that names it.
    const std::vector<sim::Json> all = ReadEvents(events);
    ASSERT_GE(all.size(), 3u);
    const std::vector<sim::Json> faults = OfKind(all, "fault");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0]["line"].get<std::string>().rfind("fault power-cut (item 0) fired: ", 0), 0u)
        << faults[0].dump();
    EXPECT_TRUE(OfKind(all, "operationEnd").empty());
    EXPECT_EQ(all.back()["event"], "end");
    EXPECT_EQ(all.back()["result"], "FAILED");
    EXPECT_TRUE(all.back().contains("powerCut")) << all.back().dump();
    EXPECT_GE(all.back()["moduleTime"].get<double>(), faults[0]["moduleTime"].get<double>());
    EXPECT_NE(output.find("flashwick: fault power-cut (item 0) fired: "), std::string::npos)
        << output;
    EXPECT_NE(output.find("FAILED: power cut during the "), std::string::npos) << output;
    EXPECT_EQ(output.find("\nOK\n"), std::string::npos) << output;
    std::string log;
    ASSERT_TRUE(sim::ReadWholeFile(module.Directory() / "ram" / "debug.log", &log));
    EXPECT_NE(log.find("fault power-cut (item 0) fired"), std::string::npos) << log;
    EXPECT_NE(log.find("power cut: the module's RAM is lost"), std::string::npos) << log;

    config["faults"]["items"] = sim::Json::array();
    ASSERT_TRUE(sim::WriteWholeFile(file, config.dump(2), &error)) << error;
    // The cut left the OS image half written: the module restarts in its bootloader, the
    // program cannot run, and the technician writes the image back before the update completes.
    EXPECT_EQ(RunFlashwick(module, update, &output), 2) << output;
    EXPECT_NE(output.find("FAILED: the module's OS is not running: no OS"), std::string::npos)
        << output;
    ASSERT_EQ(module.Tool("recover", "--os " + ToolModule::Quote(module.Images() / "os-update.bin"),
                          &output),
              0)
        << output;
    ASSERT_EQ(module.Tool("reset", "", &output), 0) << output;
    EXPECT_EQ(RunFlashwick(module, update, &output), 0) << output;
    EXPECT_NE(output.find("\nOK\n"), std::string::npos) << output;
  }
}

}  // namespace
