#include "host/module_tool.h"

#include <cstdio>
#include <iostream>
#include <map>

#include "sim/module/machine.h"

namespace module_tool {
namespace {

std::map<std::string, ModuleCommand>& Commands() {
  static std::map<std::string, ModuleCommand> commands;
  return commands;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: flashwick-module COMMAND [ARGS]\n\ncommands:\n");
  for (const auto& [name, command] : Commands()) {
    std::fprintf(out, "  %-44s %s\n", command.usage, command.summary);
  }
  std::fprintf(out, "\nDIR defaults to the default module (%s).\n",
               sim::DefaultModuleDirectory().c_str());
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

int Fail(const std::string& message) {
  std::fprintf(stderr, "flashwick-module: %s\n", message.c_str());
  return 2;
}

std::filesystem::path ModuleDirectoryArgument(const Arguments& arguments, std::size_t index) {
  if (arguments.positional.size() > index) {
    return arguments.positional[index];
  }
  return sim::DefaultModuleDirectory();
}

bool ParseNumber(const std::string& text, unsigned long long* value) {
  std::uint64_t result = 0;
  if (!sim::ParseUnsigned(sim::Json(text), &result)) {
    return false;
  }
  *value = result;
  return true;
}

}  // namespace module_tool

int main(int argc, char** argv) {
  using namespace module_tool;
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    PrintUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  auto it = Commands().find(argv[1]);
  if (it == Commands().end()) {
    PrintUsage(stderr);
    return Fail(std::string("unknown command \"") + argv[1] + "\"");
  }
  const ModuleCommand& command = it->second;
  Arguments arguments;
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    if (word.rfind("--", 0) == 0 && word.size() > 2) {
      std::string name = word.substr(2);
      std::string value;
      if (const auto equals = name.find('='); equals != std::string::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
      } else {
        bool takesValue = false;
        for (const std::string& option : command.valueOptions) {
          takesValue = takesValue || option == name;
        }
        if (takesValue) {
          if (i + 1 >= argc) {
            return Fail("option --" + name + " needs a value (usage: " + command.usage + ")");
          }
          value = argv[++i];
        }
      }
      arguments.options.emplace_back(name, value);
    } else {
      arguments.positional.push_back(word);
    }
  }
  return command.run(arguments);
}
