// flashwick: the program on a virtual module.
//
//   flashwick [--module DIR] [--ui terminal|console] [--usb DIR] [--pace fast|real]
//             [--answer ANSWER]... [--] [SWITCHES...]
//
// Everything that is not one of these options is the module's command line (its words joined by
// single blanks), as the module's shell would hand it to the program. The exit code is the
// program's own (1 success, 0 failure); 2 means that the program could not be started.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/sample_files.h"
#include "resources/resource.h"
#include "shell/shell.h"
#include "sim/module/machine.h"
#include "sim/os/real_time_clock.h"
#include "sim/base/utf.h"
#include "sim/ui/front_end.h"

namespace {

namespace fs = std::filesystem;

constexpr int kStartFailed = 2;

struct Options {
  fs::path module;
  bool moduleGiven = false;
  std::string ui;
  fs::path usb;
  std::string pace;
  std::vector<std::string> answers;
  std::vector<std::string> words;  // the module's command line
  bool help = false;
};

void PrintUsage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: flashwick [--module DIR] [--ui terminal|console] [--usb DIR] [--pace fast|real]\n"
      "                 [--answer ANSWER]... [--] [SWITCHES...]\n"
      "\n"
      "Runs the program on a virtual module. SWITCHES are the program's command line:\n"
      "  /u FILE     update from a bin file (\"\\USB HD\\IMAGES\\os-update.bin\")\n"
      "  /f, /fu     save the registry (u: silently)\n"
      "  /c, /cu     clear the registry (u: silently)\n"
      "  /r, /rcMS   reset warm at once, or cold after MS milliseconds\n"
      "Without switches the main dialog opens.\n"
      "\n"
      "  --module DIR  the module (default: %s, created with sample files on first use)\n"
      "  --ui NAME     terminal (default on a terminal) or console (prints message boxes and\n"
      "                answers them from --answer, or with their default button)\n"
      "  --usb DIR     a host folder that appears as \"\\USB HD\" on the module\n"
      "  --pace NAME   real (module time follows wall time; default for the terminal) or fast\n"
      "  --answer A    answer for the next message box (ok, cancel, yes, no, ...) or file\n"
      "                dialog (a module path); may be given many times\n",
      sim::DefaultModuleDirectory().c_str());
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "flashwick: %s\n", message.c_str());
  return kStartFailed;
}

// False with a message for a bad option.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  bool hostOptions = true;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (!hostOptions || word.rfind("--", 0) != 0) {
      options->words.push_back(word);
      continue;
    }
    if (word == "--") {
      hostOptions = false;
      continue;
    }
    if (word == "--help") {
      options->help = true;
      continue;
    }
    std::string name = word.substr(2);
    std::string value;
    if (const auto equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    } else if (name == "module" || name == "ui" || name == "usb" || name == "pace" ||
               name == "answer") {
      if (i + 1 >= argc) {
        *error = "option --" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (name == "module") {
      if (value.empty()) {
        *error = "--module needs a directory";
        return false;
      }
      options->module = value;
      options->moduleGiven = true;
    } else if (name == "ui") {
      options->ui = value;
    } else if (name == "usb") {
      if (value.empty()) {
        *error = "--usb needs a directory";
        return false;
      }
      options->usb = value;
    } else if (name == "pace") {
      if (value != "fast" && value != "real") {
        *error = "--pace must be fast or real, not \"" + value + "\"";
        return false;
      }
      options->pace = value;
    } else if (name == "answer") {
      options->answers.push_back(value);
    } else {
      *error = "unknown option " + word +
               " (see flashwick --help; put -- before a command "
               "line that starts with --)";
      return false;
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

// Creates the default module from the default preset with its sample files. The library's
// state belongs to one attachment for the life of a process, so the sample files are made by a
// child process, and this one attaches afresh.
bool CreateDefaultModule(const fs::path& directory, std::string* error) {
  sim::PresetSpec presetSpec;
  if (!sim::FindPreset(sim::kDefaultPreset, 0, &presetSpec, error) ||
      !sim::CreateModule(directory, presetSpec, error)) {
    return false;
  }
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    *error = "cannot start a process for the sample files";
    return false;
  }
  if (child == 0) {
    std::string childError;
    const bool ok = sample_files::AddSampleFiles(directory, &childError);
    if (!ok) {
      std::fprintf(stderr, "flashwick: %s\n", childError.c_str());
    }
    std::fflush(nullptr);
    std::_Exit(ok ? 0 : 1);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = directory.string() + ": the sample files could not be made";
    return false;
  }
  std::fprintf(stderr, "flashwick: created the default module %s (%s) with sample files in %s\n",
               directory.c_str(), presetSpec.name.c_str(),
               sim::ToUtf8(sample_files::kFolder).c_str());
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

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    return Fail(error);
  }
  if (options.help) {
    PrintUsage(stdout);
    return 0;
  }
  if (!options.moduleGiven) {
    options.module = sim::DefaultModuleDirectory();
    if (!fs::exists(options.module / "module.json") &&
        !CreateDefaultModule(options.module, &error)) {
      return Fail("cannot create the default module: " + error);
    }
  }

  const std::string ui = options.ui.empty() ? sim::ui::DefaultFrontEndName() : options.ui;
  if (ui != "terminal" && ui != "console") {
    return Fail("--ui must be terminal or console, not \"" + ui + "\"");
  }
  sim::AttachOptions attach;
  attach.usbFolder = options.usb;
  const std::string pace =
      options.pace.empty() ? (ui == "terminal" ? "real" : "fast") : options.pace;
  attach.pace = pace == "real" ? sim::Pace::kReal : sim::Pace::kFast;
  if (!options.usb.empty() && !fs::is_directory(options.usb)) {
    return Fail(options.usb.string() + ": not a folder (given to appear as \\USB HD)");
  }
  if (!sim::Attach(options.module, attach, &error)) {
    return Fail(error);
  }
  std::unique_ptr<sim::ui::FrontEnd> frontEnd =
      sim::ui::CreateFrontEnd(ui, sim::ui::FrontEndOptions{options.answers}, &error);
  if (frontEnd == nullptr) {
    sim::Detach();
    return Fail(error);
  }

  std::u16string commandLine = sim::FromUtf8(JoinWords(options.words));
  sim::ui::InstallFrontEnd(frontEnd.get());
  std::unique_ptr<ResetWatcher> watcher;
  if (ui == "terminal") {
    watcher = std::make_unique<ResetWatcher>();
  }
  const int exitCode =
      WinMain(sim::ui::ProgramInstance(), nullptr, commandLine.data(), SW_SHOWNORMAL);
  watcher.reset();
  frontEnd->Finish();
  sim::ui::InstallFrontEnd(nullptr);

  // Threads the program left behind (a busy animation about to notice that its work is done)
  // end before the module is detached.
  for (int i = 0; i < 500 && sim::ProgramThreadCount() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  sim::Machine& machine = sim::CurrentMachine();
  const double seconds = static_cast<double>(machine.Clock().SinceAttach()) / 1e9;
  const sim::ResetKind reset = machine.PendingReset();
  std::printf("flashwick: exit code %d after %.3f s of module time%s\n", exitCode, seconds,
              reset == sim::ResetKind::kCold   ? "; the module resets (cold)"
              : reset == sim::ResetKind::kWarm ? "; the module resets (warm)"
                                               : "");
  std::fflush(nullptr);
  sim::Detach();
  // Like the module's kernel at process exit: threads the program left behind end with it.
  std::fflush(nullptr);
  std::_Exit(exitCode);
}
