#include "host/module_tool.h"

#include <cstdio>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>

#include "host/default_module.h"
#include "platform/kernel.h"
#include "shell/shell.h"
#include "sim/module/machine.h"

namespace module_tool {
namespace {

std::map<std::string, ModuleCommand>& Commands() {
  static std::map<std::string, ModuleCommand> commands;
  return commands;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: flashwick-module COMMAND [ARGS]\n"
               "       flashwick-module COMMAND --help\n"
               "       flashwick-module --version\n\ncommands:\n");
  for (const auto& [name, command] : Commands()) {
    std::fprintf(out, "  %-46s %s\n", command.usage, command.summary);
  }
  std::fprintf(out, "\nDIR defaults to the default module (%s), made on first use.\n",
               sim::DefaultModuleDirectory().c_str());
  for (const auto& [name, command] : Commands()) {
    if (command.overview != nullptr) {
      command.overview(out);
    }
  }
}

// What a usage line allows: its options ("--json", "[--preset NAME]") and how many positional
// arguments it takes (bracketed ones are optional, "..." repeats the last).
struct Grammar {
  std::vector<std::string> options;
  std::size_t fewest = 0;
  std::size_t most = 0;
};

Grammar GrammarOf(const ModuleCommand& command) {
  Grammar grammar;
  std::istringstream words(command.usage);
  std::string word;
  words >> word;  // the command's name
  bool valueNext = false;
  while (words >> word) {
    const bool optional = word.front() == '[';
    std::string bare = word;
    while (!bare.empty() && (bare.front() == '[' || bare.front() == '(')) {
      bare.erase(bare.begin());
    }
    while (!bare.empty() && (bare.back() == ']' || bare.back() == ')')) {
      bare.pop_back();
    }
    if (bare.rfind("--", 0) == 0) {
      std::string name = bare.substr(2);
      if (const auto equals = name.find('='); equals != std::string::npos) {
        name.resize(equals);
      }
      grammar.options.push_back(name);
      valueNext = false;
      for (const std::string& option : command.valueOptions) {
        valueNext = valueNext || option == name;
      }
      continue;
    }
    if (valueNext) {
      valueNext = false;  // the option's value, not a positional argument
      continue;
    }
    if (bare == "..." || (bare.size() > 3 && bare.compare(bare.size() - 3, 3, "...") == 0)) {
      grammar.most = std::numeric_limits<std::size_t>::max();
      if (bare == "...") {
        continue;
      }
    }
    if (grammar.most != std::numeric_limits<std::size_t>::max()) {
      ++grammar.most;
    }
    if (!optional && word.back() != ']') {
      ++grammar.fewest;
    }
  }
  return grammar;
}

// What --json output needs to know of the run: whether it was asked for, whether the command
// printed its object, and the last failure said on standard error.
struct JsonOutput {
  bool requested = false;
  bool printed = false;
  std::string command;
  std::string lastFailure;
};

JsonOutput& Output() {
  static JsonOutput output;
  return output;
}

int UsageError(const ModuleCommand& command, const std::string& message) {
  std::fprintf(stderr, "flashwick-module: %s: %s\nusage: flashwick-module %s\n", command.name,
               message.c_str(), command.usage);
  Output().lastFailure = std::string(command.name) + ": " + message;
  return kUsageError;
}

void PrintCommandHelp(const ModuleCommand& command) {
  std::printf("usage: flashwick-module %s\n\n%s\n", command.usage, command.summary);
  if (command.help != nullptr) {
    std::printf("\n");
    command.help(stdout);
  }
}

}  // namespace

bool Arguments::Has(const std::string& name) const {
  for (const auto& [key, value] : options) {
    if (key == name) {
      return true;
    }
  }
  return false;
}

std::string Arguments::Get(const std::string& name, const std::string& fallback) const {
  for (const auto& [key, value] : options) {
    if (key == name) {
      return value;
    }
  }
  return fallback;
}

ModuleCommandRegistrar::ModuleCommandRegistrar(ModuleCommand command) {
  Commands()[command.name] = std::move(command);
}

FlashLockState LookAtFlashLock() {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"OnModuleFlash");
  if (mutex == nullptr) {
    return FlashLockState::kCannotOpen;
  }
  const DWORD waited = WaitForSingleObject(mutex, 0);
  const bool taken = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  if (taken) {
    (void)ReleaseMutex(mutex);
  }
  (void)CloseHandle(mutex);
  return taken ? FlashLockState::kFree : FlashLockState::kHeld;
}

int FailUnlessFlashFree() {
  switch (LookAtFlashLock()) {
    case FlashLockState::kCannotOpen:
      return Fail("\"OnModuleFlash\" cannot be opened on this module");
    case FlashLockState::kHeld:
      return Fail(kFlashLockHeldText);
    case FlashLockState::kFree:
      break;
  }
  return 0;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "flashwick-module: %s\n", message.c_str());
  Output().lastFailure = message;
  return kUsageError;
}

bool JsonRequested() { return Output().requested; }

void PrintJson(const nlohmann::json& value) {
  std::printf("%s\n", value.dump(2).c_str());
  Output().printed = true;
}

void PrintFailureJson(int exitStatus) {
  JsonOutput& output = Output();
  if (!output.requested || output.printed) {
    return;
  }
  PrintJson({{"command", output.command},
             {"exitStatus", exitStatus},
             {"error", output.lastFailure.empty() ? "the command failed" : output.lastFailure}});
  std::fflush(stdout);
}

std::filesystem::path ModuleDirectoryArgument(const Arguments& arguments, std::size_t index) {
  if (arguments.positional.size() > index) {
    return arguments.positional[index];
  }
  std::filesystem::path directory;
  std::string error;
  if (!default_module::EnsureDefaultModule("flashwick-module", &directory, &error)) {
    std::fprintf(stderr, "flashwick-module: %s\n", error.c_str());
  }
  return directory;
}

bool ParseNumber(const std::string& text, unsigned long long* value) {
  std::uint64_t result = 0;
  if (!sim::ParseUnsigned(sim::Json(text), &result)) {
    return false;
  }
  *value = result;
  return true;
}

std::string AttachedProcessesText(const std::filesystem::path& directory) {
  std::string text;
  for (const sim::AttachedProcess& process : sim::OtherAttachedProcesses(directory)) {
    text += (text.empty() ? "" : ", ") + std::string("pid ") + std::to_string(process.pid) + " (" +
            process.name + ")";
  }
  return text;
}

std::string StaleStateNote(const std::filesystem::path& directory) {
  const std::string processes = AttachedProcessesText(directory);
  if (processes.empty()) {
    return {};
  }
  return "a program is running on the module (" + processes +
         "): what this shows may be stale or change meanwhile";
}

namespace {

int RunCommand(const ModuleCommand& command, int argc, char** argv);

}  // namespace
}  // namespace module_tool

int main(int argc, char** argv) {
  using namespace module_tool;
  if (argc < 2) {
    PrintUsage(stderr);
    return kUsageError;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    if (argc > 2) {
      PrintUsage(stderr);
      return Fail("--help takes nothing after it (for a command: COMMAND --help)");
    }
    PrintUsage(stdout);
    return 0;
  }
  if (first == "--version") {
    if (argc > 2) {
      PrintUsage(stderr);
      return Fail("--version takes nothing after it");
    }
    std::printf("flashwick-module %d.%d.%d\n", kProgramMajor, kProgramMinor, kProgramRevision);
    return 0;
  }
  auto it = Commands().find(first);
  if (it == Commands().end()) {
    PrintUsage(stderr);
    return Fail("unknown command \"" + first + "\"");
  }
  const ModuleCommand& command = it->second;
  Output().command = command.name;
  for (int i = 2; i < argc && std::string(argv[i]) != "--"; ++i) {
    Output().requested = Output().requested || std::string(argv[i]) == "--json";
  }
  const int code = RunCommand(command, argc, argv);
  if (code != 0) {
    PrintFailureJson(code);
  }
  return code;
}

namespace module_tool {
namespace {

// Parses the command's options and arguments by its usage line and runs it.
int RunCommand(const ModuleCommand& command, int argc, char** argv) {
  const Grammar grammar = GrammarOf(command);
  Arguments arguments;
  bool optionsEnd = false;
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    if (!optionsEnd && (word == "--help" || word == "-h")) {
      PrintCommandHelp(command);
      return 0;
    }
    if (!optionsEnd && word == "--") {
      optionsEnd = true;
      continue;
    }
    if (optionsEnd || word.size() < 2 || word.front() != '-') {
      arguments.positional.push_back(word);
      continue;
    }
    if (word.rfind("--", 0) != 0) {
      return UsageError(command, "unknown option " + word);
    }
    std::string name = word.substr(2);
    std::string value;
    bool valueGiven = false;
    if (const auto equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      valueGiven = true;
    }
    bool known = false;
    for (const std::string& option : grammar.options) {
      known = known || option == name;
    }
    if (!known) {
      return UsageError(command, "unknown option --" + name);
    }
    bool takesValue = false;
    for (const std::string& option : command.valueOptions) {
      takesValue = takesValue || option == name;
    }
    if (takesValue && !valueGiven) {
      if (i + 1 >= argc) {
        return UsageError(command, "option --" + name + " needs a value");
      }
      value = argv[++i];
    } else if (!takesValue && valueGiven) {
      return UsageError(command, "option --" + name + " takes no value");
    }
    if (arguments.Has(name)) {
      return UsageError(command, "option --" + name + " is given twice");
    }
    arguments.options.emplace_back(name, value);
  }
  if (arguments.positional.size() > grammar.most) {
    return UsageError(command,
                      "unexpected argument \"" + arguments.positional[grammar.most] + "\"");
  }
  if (arguments.positional.size() < grammar.fewest) {
    return UsageError(command, "missing argument");
  }
  return command.run(arguments);
}

}  // namespace
}  // namespace module_tool
