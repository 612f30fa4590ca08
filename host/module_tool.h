// flashwick-module: create, inspect, reset and fault-inject virtual modules.
//
// Each command is registered by the file that implements it (see ModuleCommandRegistrar), so
// the tool grows with the models it serves. A command accepts exactly the options its usage line
// names ("--json", "--preset NAME"): anything else is refused before it runs.
#pragma once

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/fwl_types.h"

namespace module_tool {

struct Arguments {
  std::vector<std::string> positional;
  // --name value or --flag (value "")
  std::vector<std::pair<std::string, std::string>> options;
  [[nodiscard]] bool Has(const std::string& name) const;
  [[nodiscard]] std::string Get(const std::string& name, const std::string& fallback = "") const;
};

struct ModuleCommand {
  const char* name;
  const char* usage;    // e.g. "create DIR --preset NAME [--nand-chip ID]"; names every option
  const char* summary;  // one line
  // Options that take a value (others are flags).
  std::vector<std::string> valueOptions;
  int (*run)(const Arguments& arguments);
  // More for "COMMAND --help", after the usage and summary lines (null: nothing more).
  void (*help)(std::FILE* out) = nullptr;
  // More for "flashwick-module --help", after the list of commands (null: nothing more).
  void (*overview)(std::FILE* out) = nullptr;
};

// Registers a command for the life of the process (from a static initialiser).
struct ModuleCommandRegistrar {
  explicit ModuleCommandRegistrar(ModuleCommand command);
};

// Exit codes: 0 done, 1 the command ran and found a failure (a refused file, no CPLD),
// 2 it could not run (bad arguments, no module).
inline constexpr int kUsageError = 2;

// Prints "flashwick-module: message" to standard error and returns exit code 2. The message is
// kept: with --json a command that ends without printing its object prints one with it.
int Fail(const std::string& message);
// Whether the command line asks for --json output.
bool JsonRequested();
// Prints the command's object on standard output (its one answer with --json).
void PrintJson(const nlohmann::json& value);
// With --json, when the command printed no object: {"command", "exitStatus", "error"} with the
// last failure, so that a script reads every outcome from standard output.
void PrintFailureJson(int exitStatus);
// The module directory named by the first positional argument, or the default module, which is
// made (and a line on standard error says so) when it does not exist yet. When that fails, the
// reason is printed and the default directory returned, so that attaching it fails in turn.
std::filesystem::path ModuleDirectoryArgument(const Arguments& arguments, std::size_t index = 0);
// The other processes attached to the module as "pid 123 (flashwick)", joined with ", "; empty
// when there is none.
std::string AttachedProcessesText(const std::filesystem::path& directory);
// A line for commands that show the module's state while another process runs on it: what they
// show may change under them. Empty when no other process is attached.
std::string StaleStateNote(const std::filesystem::path& directory);
// Whether "OnModuleFlash" is free on the attached module, looked at without waiting: the
// library waits for it without a time limit, so a command looks first.
enum class FlashLockState { kFree, kHeld, kCannotOpen };
FlashLockState LookAtFlashLock();
// The refusal every command gives when another process holds the lock.
inline constexpr const char* kFlashLockHeldText =
    "another process of the module holds \"OnModuleFlash\" (the OS's flash driver or another "
    "tool at work); nothing was done, try again when it is done";
// 0 when "OnModuleFlash" is free; else the refusal is printed and its exit code returned.
int FailUnlessFlashFree();
// Parses a number written in decimal or as 0x... hex; false when it is not one.
bool ParseNumber(const std::string& text, unsigned long long* value);

// The fault plan of module.json (config) as fault list and info show it: {"seed", "items":
// [{"index", "kind", "fields", "fired", "refused" when the module would refuse it}]}.
nlohmann::json FaultPlanJson(const std::filesystem::path& directory, const nlohmann::json& config);
void PrintFaultPlan(const nlohmann::json& plan, std::FILE* out);

// The bin command's account of a file that the update refuses, shared by the commands that read
// update files. DiagnoseRefusedBinFile gives where the reader stopped ({"detail", "where"}, empty
// when the status alone says why); RefuseBinFile prints the refusal as bin does (one line on
// standard error, or the object with --json) and returns exit code 1.
// "Bootloader", "OS Image", ...: a region kind's name as the update reports it ("Region" for
// none of them).
const char* RegionLabel(DWORD flags);
nlohmann::json DiagnoseRefusedBinFile(const std::filesystem::path& file, FwlStatus status);
const char* BinStatusMeaning(FwlStatus status);
int RefuseBinFile(const Arguments& arguments, nlohmann::json report, const std::string& status,
                  const std::string& reason);

}  // namespace module_tool
