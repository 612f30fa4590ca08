// flashwick-module create, info and reset.
#include <cstdio>
#include <iostream>

#include "host/module_tool.h"
#include "sim/machine.h"

namespace module_tool {
namespace {

int Create(const Arguments& arguments) {
  if (arguments.positional.size() != 1) {
    return Fail("usage: create DIR --preset NAME [--nand-chip ID]");
  }
  unsigned long long chip = 0;
  if (arguments.Has("nand-chip") && !ParseNumber(arguments.Get("nand-chip"), &chip)) {
    return Fail("--nand-chip: not a number: " + arguments.Get("nand-chip"));
  }
  if (chip > 0xFFFFFFFF) {
    return Fail("--nand-chip: out of range: " + arguments.Get("nand-chip"));
  }
  sim::PresetSpec presetSpec;
  std::string error;
  if (!sim::FindPreset(arguments.Get("preset", sim::kDefaultPreset),
                       static_cast<std::uint32_t>(chip), &presetSpec, &error) ||
      !sim::CreateModule(arguments.positional[0], presetSpec, &error)) {
    return Fail(error);
  }
  std::printf("created %s (%s)\n", arguments.positional[0].c_str(), presetSpec.name.c_str());
  return 0;
}

void PrintInfo(const sim::Json& info, int depth) {
  for (const auto& [key, value] : info.items()) {
    if (value.is_object()) {
      std::printf("%*s%s:\n", depth * 2, "", key.c_str());
      PrintInfo(value, depth + 1);
    } else if (value.is_array() && !value.empty() && value[0].is_object()) {
      std::printf("%*s%s:\n", depth * 2, "", key.c_str());
      for (const sim::Json& row : value) {
        std::string line;
        for (const auto& [field, cell] : row.items()) {
          line += field + "=" + (cell.is_string() ? cell.get<std::string>() : cell.dump()) + " ";
        }
        std::printf("%*s- %s\n", depth * 2 + 2, "", line.c_str());
      }
    } else {
      std::printf("%*s%-18s %s\n", depth * 2, "", (key + ":").c_str(),
                  value.is_string() ? value.get<std::string>().c_str() : value.dump().c_str());
    }
  }
}

int Info(const Arguments& arguments) {
  const auto directory = ModuleDirectoryArgument(arguments);
  std::string error;
  if (!sim::Attach(directory, sim::AttachOptions{}, &error)) {
    return Fail(error);
  }
  sim::Machine& machine = sim::CurrentMachine();
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08X", machine.MainId());
  sim::Json info = {
      {"module", directory.string()},
      {"preset", machine.Config().value("preset", "")},
      {"processor", {{"identity", machine.Identity()}, {"mainId", hex}}},
      {"os", {{"version", machine.OsVersion()}}},
  };
  if (machine.Config().contains("platformItems")) {
    info["platformItems"] = machine.Config()["platformItems"];
  }
  if (machine.Config().contains("imageVersion")) {
    info["imageVersion"] = machine.Config()["imageVersion"];
  }
  info["clock"] = {{"virtualMilliseconds", machine.Clock().Now() / sim::kMillisecond}};
  for (sim::Component* component : sim::AllComponents()) {
    component->Describe(machine, info);
  }
  sim::Detach();
  if (arguments.Has("json")) {
    std::printf("%s\n", info.dump(2).c_str());
  } else {
    PrintInfo(info, 0);
  }
  return 0;
}

int Reset(const Arguments& arguments) {
  std::string error;
  if (!sim::ResetModule(ModuleDirectoryArgument(arguments), &error)) {
    return Fail(error);
  }
  std::printf("reset %s\n", ModuleDirectoryArgument(arguments).c_str());
  return 0;
}

const ModuleCommandRegistrar kCreate({"create",
                                      "create DIR --preset NAME [--nand-chip ID]",
                                      "create a module from a preset",
                                      {"preset", "nand-chip"},
                                      Create});
const ModuleCommandRegistrar kInfo(
    {"info", "info [DIR] [--json]", "show the module's hardware, flash and state", {}, Info});
int Where(const Arguments& /*arguments*/) {
  std::printf("%s\n", sim::DefaultModuleDirectory().c_str());
  return 0;
}

const ModuleCommandRegistrar kWhere(
    {"where", "where", "print the default module's directory", {}, Where});
const ModuleCommandRegistrar kReset(
    {"reset", "reset [DIR]", "reset the module (clears what the running OS holds)", {}, Reset});

}  // namespace
}  // namespace module_tool
