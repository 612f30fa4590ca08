// flashwick: the program on a virtual module.
//
//   flashwick [OPTIONS] [--] [SWITCHES...]
//
// The SWITCHES are the module's command line (the words joined by single blanks), as the
// module's shell would hand it to the program. They are checked first, so that a typing mistake
// is not silently skipped as the program itself would skip it; --unchecked hands them over as
// they stand. The exit code is the program's own (1 success, 0 failure), or with
// --exit-status unix 0 for success and 1 for failure; 2 means that the program could not be
// started (a bad option, no module). The last line on standard output is "OK" or
// "FAILED: why".
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/default_module.h"
#include "host/run_events.h"
#include "platform/kernel.h"
#include "resources/resource.h"
#include "shell/shell.h"
#include "sim/base/files.h"
#include "sim/base/utf.h"
#include "sim/module/boot_flash.h"
#include "sim/module/fault_plan.h"
#include "sim/module/machine.h"
#include "sim/os/real_time_clock.h"
#include "sim/ui/front_end.h"

namespace {

namespace fs = std::filesystem;

constexpr int kStartFailed = 2;
// The program reads at most this many switches.
constexpr int kMostSwitches = 20;

enum class ExitStatus { kSystem, kUnix };

struct Options {
  fs::path module;
  bool moduleGiven = false;
  std::string ui;
  fs::path usb;
  std::string pace;
  std::vector<std::string> answers;
  std::vector<std::string> words;  // the module's command line
  ExitStatus exitStatus = ExitStatus::kSystem;
  fs::path events;
  bool unchecked = false;
  bool help = false;
  bool version = false;
};

constexpr const char* kUsage =
    "usage: flashwick [--module DIR] [--ui terminal|console] [--usb DIR] [--pace fast|real]\n"
    "                 [--answer ANSWER]... [--exit-status system|unix] [--events FILE]\n"
    "                 [--unchecked] [--] [SWITCHES...]\n"
    "       flashwick --help | --version\n";

void PrintUsage(std::FILE* out) {
  std::fprintf(
      out,
      "%s"
      "\n"
      "Runs the program on a virtual module. SWITCHES are the program's command line:\n"
      "  /u FILE     update from a bin file on the module (\"\\USB HD\\IMAGES\\os-update.bin\")\n"
      "  /f, /fu     save the registry (u: silently)\n"
      "  /c, /cu     clear the registry (u: silently)\n"
      "  /r, /rcMS   reset warm at once, or cold after MS milliseconds\n"
      "Without switches the main dialog opens.\n"
      "\n"
      "  --module DIR       the module (default: %s, made with sample files on first use)\n"
      "  --ui NAME          terminal (default on a terminal) or console (prints message boxes\n"
      "                     and answers them from --answer, or with their default button)\n"
      "  --usb DIR          a folder of this computer that appears as \"\\USB HD\" on the module\n"
      "  --pace NAME        real (module time follows wall time; default for the terminal) or\n"
      "                     fast\n"
      "  --answer A         answer for the next message box (ok, cancel, yes, no, ...) or file\n"
      "                     dialog (a module path); may be given many times\n"
      "  --exit-status S    system (default: 1 when the commands ran, 0 when one failed) or\n"
      "                     unix (0 success, 1 failure); 2 always means the program did not start\n"
      "  --events FILE      write what happens as JSON, one object per line: start, operations\n"
      "                     with progress, message boxes with their answers, file dialogs,\n"
      "                     faults that fired and the module's debug output, end; each with the\n"
      "                     module time\n"
      "  --unchecked        hand SWITCHES to the program unchecked (it skips what it cannot read)\n"
      "  --version          print the program's version\n",
      kUsage, sim::DefaultModuleDirectory().c_str());
}

// A bad command line: the reason and the usage line on standard error.
int UsageError(const std::string& message) {
  std::fprintf(stderr, "flashwick: %s\n%s(see flashwick --help)\n", message.c_str(), kUsage);
  return kStartFailed;
}

// False with a message for a bad option.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  bool hostOptions = true;
  bool uiGiven = false;
  bool paceGiven = false;
  bool usbGiven = false;
  bool exitGiven = false;
  bool eventsGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (!hostOptions || word.rfind("--", 0) != 0) {
      if (hostOptions && word.size() > 1 && word[0] == '-') {
        *error = "unknown option " + word;
        return false;
      }
      options->words.push_back(word);
      continue;
    }
    if (word == "--") {
      hostOptions = false;
      continue;
    }
    std::string name = word.substr(2);
    std::string value;
    bool valueGiven = false;
    if (const auto equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      valueGiven = true;
    }
    const bool takesValue = name == "module" || name == "ui" || name == "usb" || name == "pace" ||
                            name == "answer" || name == "exit-status" || name == "events";
    const bool flag = name == "help" || name == "version" || name == "unchecked";
    if (!takesValue && !flag) {
      *error = "unknown option --" + name + " (put -- before a command line that starts with --)";
      return false;
    }
    if (flag && valueGiven) {
      *error = "option --" + name + " takes no value";
      return false;
    }
    if (takesValue && !valueGiven) {
      if (i + 1 >= argc) {
        *error = "option --" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    auto once = [&](bool& given) {
      if (given) {
        *error = "option --" + name + " is given twice";
        return false;
      }
      given = true;
      return true;
    };
    if (name == "help") {
      options->help = true;
    } else if (name == "version") {
      options->version = true;
    } else if (name == "unchecked") {
      options->unchecked = true;
    } else if (name == "module") {
      if (!once(options->moduleGiven)) {
        return false;
      }
      if (value.empty()) {
        *error = "--module needs a directory";
        return false;
      }
      options->module = value;
    } else if (name == "ui") {
      if (!once(uiGiven)) {
        return false;
      }
      if (value != "terminal" && value != "console") {
        *error = "--ui must be terminal or console, not \"" + value + "\"";
        return false;
      }
      options->ui = value;
    } else if (name == "usb") {
      if (!once(usbGiven)) {
        return false;
      }
      if (value.empty()) {
        *error = "--usb needs a directory";
        return false;
      }
      options->usb = value;
    } else if (name == "pace") {
      if (!once(paceGiven)) {
        return false;
      }
      if (value != "fast" && value != "real") {
        *error = "--pace must be fast or real, not \"" + value + "\"";
        return false;
      }
      options->pace = value;
    } else if (name == "answer") {
      options->answers.push_back(value);
    } else if (name == "exit-status") {
      if (!once(exitGiven)) {
        return false;
      }
      if (value != "system" && value != "unix") {
        *error = "--exit-status must be system or unix, not \"" + value + "\"";
        return false;
      }
      options->exitStatus = value == "unix" ? ExitStatus::kUnix : ExitStatus::kSystem;
    } else if (name == "events") {
      if (!once(eventsGiven)) {
        return false;
      }
      if (value.empty()) {
        *error = "--events needs a file";
        return false;
      }
      options->events = value;
    }
  }
  return true;
}

std::string JoinWords(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    line.append(line.empty() ? "" : " ").append(word);
  }
  return line;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A word the program reads as one whole switch.
bool IsSwitch(const std::string& word) {
  if (word == "/u" || word == "/f" || word == "/fu" || word == "/c" || word == "/cu" ||
      word == "/r" || word == "/rc") {
    return true;
  }
  return word.rfind("/rc", 0) == 0 && AllDigits(word.substr(3));
}

// The hint for a file of this computer given where the program wants a path on the module.
std::string UsbHint(const std::string& name) {
  const fs::path host = fs::absolute(name);
  return "the program reads the module's files, not this computer's. To update from " +
         host.string() + ", show its folder as the module's USB drive: flashwick --usb '" +
         host.parent_path().string() + "' /u '\\USB HD\\" + host.filename().string() + "'";
}

// The file names of the update switches, in order ("" for one that asks for its file).
std::vector<std::string> UpdateNames(const std::vector<std::string>& words) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] != "/u") {
      continue;
    }
    std::string name;
    for (std::size_t j = i + 1; j < words.size() && !IsSwitch(words[j]); ++j) {
      name.append(j == i + 1 ? "" : " ").append(words[j]);
    }
    names.push_back(name);
  }
  return names;
}

// Checks that the program will read the whole command line as the switches it was meant to be;
// false with the reason for the first word it would skip or misread.
bool CheckCommandLine(const std::vector<std::string>& words, std::string* error) {
  int switches = 0;
  for (std::size_t i = 0; i < words.size();) {
    const std::string& word = words[i];
    if (word.empty() || word[0] != '/') {
      *error = i == 0 ? "\"" + word +
                            "\" is not a switch; the command line starts with one (/u FILE, /f, "
                            "/fu, /c, /cu, /r or /rcMS)"
                      : "unexpected argument \"" + word + "\" after " + words[i - 1];
      return false;
    }
    if (++switches > kMostSwitches) {
      *error = "more than " + std::to_string(kMostSwitches) +
               " switches: the program reads only the first " + std::to_string(kMostSwitches);
      return false;
    }
    ++i;
    if (word == "/u") {
      std::string name;
      for (; i < words.size() && !IsSwitch(words[i]); ++i) {
        name.append(name.empty() ? "" : " ").append(words[i]);
      }
      if (name.find('/') != std::string::npos) {
        *error = "/u \"" + name +
                 "\": the program reads \"/\" as the start of a switch, so this cannot be a file "
                 "name on the module; " +
                 UsbHint(name);
        return false;
      }
      continue;
    }
    if (word.rfind("/u", 0) == 0) {
      *error = "\"" + word + "\": give the file after /u and a blank (/u FILE)";
      return false;
    }
    if (!IsSwitch(word)) {
      *error = "unknown switch \"" + word + "\" (switches: /u FILE, /f, /fu, /c, /cu, /r, /rcMS)";
      return false;
    }
    if (word.size() > 3 && word.rfind("/rc", 0) == 0 &&
        (word.size() > 13 || std::stoull(word.substr(3)) > 0xFFFFFFFFull)) {
      *error = "\"" + word + "\": the delay does not fit the program's 32 bits of milliseconds";
      return false;
    }
  }
  return true;
}

// On the module a reset ends the program with everything else. Here the reset takes effect when
// the process ends, so once the program has asked for one and only its main dialog is left
// waiting, the dialog is closed for the person, who would otherwise look at a program that the
// module has already restarted.
class ResetWatcher {
 public:
  ResetWatcher() : thread_([this] { Watch(); }) {}
  ~ResetWatcher() {
    stop_.store(true);
    thread_.join();
  }
  ResetWatcher(const ResetWatcher&) = delete;
  ResetWatcher& operator=(const ResetWatcher&) = delete;

 private:
  void Watch() {
    while (!stop_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (sim::CurrentMachine().PendingReset() == sim::ResetKind::kNone) {
        continue;
      }
      const std::vector<sim::ui::WindowView> windows = sim::ui::OpenWindows();
      if (windows.size() == 1 && windows[0].templateId == IDD_MAIN &&
          sim::ui::IsIdle(windows[0].handle)) {
        sim::ui::CloseWindow(windows[0].handle);
      }
    }
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Tells the person when an update names a file that the module does not have but this computer
// does: the program would only say that it cannot open it.
void HintAtHostFiles(const std::vector<std::string>& words, run_events::RunRecorder& recorder) {
  for (const std::string& name : UpdateNames(words)) {
    if (name.empty()) {
      continue;
    }
    const std::u16string path = sim::FromUtf8(name);
    std::error_code code;
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES || !fs::exists(name, code)) {
      continue;
    }
    const std::string hint = "\"" + name + "\" is not on the module; " + UsbHint(name);
    std::fprintf(stderr, "flashwick: %s\n", hint.c_str());
    recorder.Note({{"event", "hint"}, {"text", hint}});
  }
}

const char* ResetName(sim::ResetKind reset) {
  switch (reset) {
    case sim::ResetKind::kCold:
      return "cold";
    case sim::ResetKind::kWarm:
      return "warm";
    default:
      return nullptr;
  }
}

// What the run ends with: the exit code by the chosen convention and the last line.
class Ending {
 public:
  Ending(const Options& options, run_events::RunRecorder& recorder)
      : options_(options), recorder_(recorder) {}

  // The program could not start: the reason on standard error, the last line, the end event.
  int StartFailed(const std::string& message) {
    std::fprintf(stderr, "flashwick: %s\n", message.c_str());
    recorder_.End({{"exitCode", kStartFailed}, {"result", "FAILED"}, {"message", message}});
    std::printf("FAILED: %s\n", message.c_str());
    std::fflush(nullptr);
    return kStartFailed;
  }

  // The power failed during a flash operation: the module's processor stopped with it, so the
  // program has no result. RAM is lost as at any power failure (the debug log, which records
  // the cut, is kept); the flash holds what the cut left and the next start shows what the
  // module makes of it.
  int PowerLost(const std::string& what, const fs::path& module) {
    recorder_.Finish();
    const std::string message = "power cut during the " + what +
                                ": the module stopped with its program; the flash holds what the "
                                "cut left (start the module again to see what it does)";
    const int exitCode = options_.exitStatus == ExitStatus::kUnix ? 1 : 0;
    std::fprintf(stderr, "flashwick: %s\n", message.c_str());
    recorder_.End({{"exitCode", exitCode},
                   {"programExitCode", nullptr},
                   {"result", "FAILED"},
                   {"message", message},
                   {"powerCut", what}});
    std::printf("FAILED: %s\n", message.c_str());
    std::fflush(nullptr);
    std::string error;
    if (!sim::ResetModuleAfterPowerCut(module, &error)) {
      std::fprintf(stderr, "flashwick: %s\n", error.c_str());
    }
    std::fflush(nullptr);
    return exitCode;
  }

  // The program ran and returned its exit code.
  int Ran(int programExitCode, sim::ResetKind reset) {
    const bool success = programExitCode == 1;
    std::string message;
    if (!success) {
      message = recorder_.FailureMessage();
      if (message.empty()) {
        message = "the program reported a failure without a message (exit code " +
                  std::to_string(programExitCode) + ")";
      }
    }
    const int exitCode =
        options_.exitStatus == ExitStatus::kUnix ? (success ? 0 : 1) : programExitCode;
    sim::Json end = {{"exitCode", exitCode},
                     {"programExitCode", programExitCode},
                     {"result", success ? "OK" : "FAILED"}};
    if (!success) {
      end["message"] = message;
    }
    end["reset"] = ResetName(reset) != nullptr ? sim::Json(ResetName(reset)) : sim::Json(nullptr);
    recorder_.End(end);
    const double seconds = static_cast<double>(sim::CurrentMachine().Clock().SinceAttach()) / 1e9;
    std::printf("flashwick: exit code %d after %.3f s of module time%s\n", programExitCode, seconds,
                reset == sim::ResetKind::kCold   ? "; the module resets (cold)"
                : reset == sim::ResetKind::kWarm ? "; the module resets (warm)"
                                                 : "");
    std::printf(success ? "OK\n" : "FAILED: %s\n", message.c_str());
    std::fflush(nullptr);
    return exitCode;
  }

 private:
  const Options& options_;
  run_events::RunRecorder& recorder_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    return UsageError(error);
  }
  if (options.help || options.version) {
    if (!options.words.empty() || argc > 2) {
      return UsageError(std::string(options.help ? "--help" : "--version") +
                        " takes nothing beside it");
    }
    if (options.help) {
      PrintUsage(stdout);
    } else {
      std::printf("flashwick %d.%d.%d\n", kProgramMajor, kProgramMinor, kProgramRevision);
    }
    return 0;
  }
  if (!options.unchecked && !CheckCommandLine(options.words, &error)) {
    return UsageError(error);
  }

  run_events::RunRecorder recorder;
  Ending ending(options, recorder);
  if (!options.events.empty() && !recorder.OpenEventFile(options.events, &error)) {
    return ending.StartFailed(error);
  }
  if (!options.moduleGiven &&
      !default_module::EnsureDefaultModule("flashwick", &options.module, &error)) {
    return ending.StartFailed(error);
  }
  const std::string ui = options.ui.empty() ? sim::ui::DefaultFrontEndName() : options.ui;
  sim::AttachOptions attach;
  attach.usbFolder = options.usb;
  const std::string pace =
      options.pace.empty() ? (ui == "terminal" ? "real" : "fast") : options.pace;
  attach.pace = pace == "real" ? sim::Pace::kReal : sim::Pace::kFast;
  if (!options.usb.empty() && !fs::is_directory(options.usb)) {
    return ending.StartFailed(options.usb.string() +
                              ": not a folder (given to appear as \\USB HD)");
  }
  if (!sim::Attach(options.module, attach, &error)) {
    return ending.StartFailed(error);
  }
  if (!sim::CurrentMachine().OsRunning()) {
    // The program lives on the module's OS: without one there is nothing to run it.
    const std::string started = sim::BootOutcomeText(sim::CurrentMachine().Started());
    sim::Detach();
    return ending.StartFailed("the module's OS is not running: " + started);
  }
  std::unique_ptr<sim::ui::FrontEnd> frontEnd =
      sim::ui::CreateFrontEnd(ui, sim::ui::FrontEndOptions{options.answers}, &error);
  if (frontEnd == nullptr) {
    sim::Detach();
    return ending.StartFailed(error);
  }

  const std::string line = JoinWords(options.words);
  std::u16string commandLine = sim::FromUtf8(line);
  recorder.SetInner(frontEnd.get());
  recorder.Start({{"module", fs::absolute(options.module).string()},
                  {"commandLine", line},
                  {"ui", ui},
                  {"pace", pace},
                  {"version", std::to_string(kProgramMajor) + "." + std::to_string(kProgramMinor) +
                                  "." + std::to_string(kProgramRevision)}});
  HintAtHostFiles(options.words, recorder);
  // Faults that fire are said on standard error (the terminal front end owns the screen: there
  // they stay in the module's debug log and the event file).
  if (ui != "terminal") {
    sim::FaultPlan::SetFiredHandler(
        [](const std::string& line) { std::fprintf(stderr, "flashwick: %s\n", line.c_str()); });
  }
  const fs::path module = options.module;
  sim::FaultPlan::SetPowerLostHandler(
      [&ending, module](const std::string& what) { std::_Exit(ending.PowerLost(what, module)); });
  sim::ui::InstallFrontEnd(&recorder);
  std::unique_ptr<ResetWatcher> watcher;
  if (ui == "terminal") {
    watcher = std::make_unique<ResetWatcher>();
  }
  const int programExitCode =
      WinMain(sim::ui::ProgramInstance(), nullptr, commandLine.data(), SW_SHOWNORMAL);
  watcher.reset();
  recorder.Finish();
  sim::ui::InstallFrontEnd(nullptr);

  // Threads the program left behind (a busy animation about to notice that its work is done)
  // end before the module is detached.
  for (int i = 0; i < 500 && sim::ProgramThreadCount() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const int exitCode = ending.Ran(programExitCode, sim::CurrentMachine().PendingReset());
  sim::Detach();
  // Like the module's kernel at process exit: threads the program left behind end with it.
  std::fflush(nullptr);
  std::_Exit(exitCode);
}
