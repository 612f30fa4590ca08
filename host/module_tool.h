// flashwick-module: create, inspect, reset and fault-inject virtual modules.
//
// Each command is registered by the file that implements it (see ModuleCommandRegistrar), so
// the tool grows with the models it serves.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

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
  const char* usage;    // e.g. "create DIR --preset NAME [--nand-chip ID]"
  const char* summary;  // one line
  // Options that take a value (others are flags).
  std::vector<std::string> valueOptions;
  int (*run)(const Arguments& arguments);
};

// Registers a command for the life of the process (from a static initialiser).
struct ModuleCommandRegistrar {
  explicit ModuleCommandRegistrar(ModuleCommand command);
};

// Prints "flashwick-module: message" to standard error and returns exit code 2.
int Fail(const std::string& message);
// The module directory named by the first positional argument, or the default module.
std::filesystem::path ModuleDirectoryArgument(const Arguments& arguments, std::size_t index = 0);
// Parses a number written in decimal or as 0x... hex; false when it is not one.
bool ParseNumber(const std::string& text, unsigned long long* value);

}  // namespace module_tool
