// flashwick-module create, info and reset.
#include <cstdio>
#include <iostream>

#include "flash/flash_ops.h"
#include "host/default_module.h"
#include "host/module_tool.h"
#include "host/sample_files.h"
#include "library/flashwick_lib.h"
#include "platform/kernel.h"
#include "shell/shell.h"
#include "sim/base/hex.h"
#include "sim/base/utf.h"
#include "sim/hw/nand_flash.h"
#include "sim/module/boot_flash.h"
#include "sim/module/machine.h"

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
      !default_module::CreateWithSampleFiles(arguments.positional[0], presetSpec, &error)) {
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

// The flash map as the program's own start-up sees it: FWLInit (hardware check, flash layer,
// region scan) run in this process, as the program does when it starts on the module.
sim::Json ProgramFlashMap() {
  sim::Json map;
  // The scan waits for "OnModuleFlash" without a time limit; a process that holds it (the OS
  // driver at work, hold-lock) would keep this command waiting, so it only looks when the lock
  // is free.
  switch (LookAtFlashLock()) {
    case FlashLockState::kCannotOpen:
      map["init"] = "not run: \"OnModuleFlash\" cannot be opened";
      return map;
    case FlashLockState::kHeld:
      map["init"] = "not run: another process holds \"OnModuleFlash\"";
      return map;
    case FlashLockState::kFree:
      break;
  }
  const FwlStatus status = FWLInit();
  const char* name = FwlStatusName(status);
  map["init"] = name != nullptr ? name : std::to_string(status);
  bool scanned = status == FWL_OK;
  if (status == FWL_ERR_HW_VERSION && FlashInit() != kFlashKindNone) {
    // The program refuses this board, but its flash can still be shown.
    scanned = FWLScanRegions(REGION_ALL_TYPES) == FWL_OK;
  }
  if (!scanned) {
    return map;
  }
  map["flashKind"] = FlashKind == kFlashKindNor ? "NOR" : "NAND";
  map["flashBytes"] = sim::Hex(FlashSize, 8);
  sim::Json regions = sim::Json::array();
  for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
    const FlashRegion& region = RegionTable[i];
    const WCHAR* kind = RegionName(region.flags & REGION_ALL_TYPES);
    regions.push_back({{"kind", kind != nullptr ? sim::ToUtf8(kind) : sim::Hex(region.flags, 8)},
                       {"start", sim::Hex(region.start, 8)},
                       {"length", sim::Hex(region.length, 8)},
                       {"used", sim::Hex(region.used, 8)},
                       {"present", (region.flags & REGION_NOT_PRESENT) == 0}});
  }
  map["regions"] = regions;
  map["fileSystemStore"] = sim::ToUtf8(FileSystemStoreName);
  return map;
}

void PrintFlashMap(const sim::Json& map) {
  std::printf("flashMap:\n");
  std::printf("  %-18s %s\n", "init:", map.value("init", "").c_str());
  if (!map.contains("regions")) {
    return;
  }
  std::printf("  %-18s %s, %s bytes\n", "flash:", map.value("flashKind", "").c_str(),
              map.value("flashBytes", "").c_str());
  std::printf("  %-18s %s\n", "fileSystemStore:",
              map.value("fileSystemStore", "").empty() ? "(none)"
                                                       : map.value("fileSystemStore", "").c_str());
  std::printf("  %-14s %-10s  %-10s  %-10s  %s\n", "kind", "start", "length", "used", "present");
  for (const sim::Json& region : map["regions"]) {
    std::printf("  %-14s %-10s  %-10s  %-10s  %s\n", region.value("kind", "").c_str(),
                region.value("start", "").c_str(), region.value("length", "").c_str(),
                region.value("used", "").c_str(), region.value("present", false) ? "yes" : "no");
  }
}

int Info(const Arguments& arguments) {
  const auto directory = ModuleDirectoryArgument(arguments);
  std::string error;
  if (!sim::Attach(directory, sim::AttachOptions{}, &error)) {
    return Fail(error);
  }
  sim::Machine& machine = sim::CurrentMachine();
  sim::ConfigReader reader(machine.Config(), "module.json");
  const std::string none;
  const std::string stale = StaleStateNote(directory);
  sim::Json info = {
      {"module", directory.string()},
      {"preset", reader.String("preset", &none)},
      {"processor", {{"identity", machine.Identity()}, {"mainId", sim::Hex(machine.MainId(), 8)}}},
      {"os", {{"version", machine.OsVersion()}}},
  };
  if (machine.Config().contains("platformItems")) {
    info["platformItems"] = machine.Config()["platformItems"];
  }
  if (machine.Config().contains("imageVersion")) {
    info["imageVersion"] = machine.Config()["imageVersion"];
  } else if (machine.OsRunning()) {
    info["imageVersion"] = machine.Started().versionKnown
                               ? sim::Json{{"id", machine.Started().version.id},
                                           {"major", machine.Started().version.major},
                                           {"minor", machine.Started().version.minor},
                                           {"beta", machine.Started().version.beta}}
                               : sim::Json(nullptr);
  }
  // What the last start found, and what the flash would start now (it may have changed since).
  info["started"] = sim::BootLookJson(machine.Started());
  if (LookAtFlashLock() == FlashLockState::kFree) {
    info["nextStart"] = sim::BootLookJson(sim::LookAtAttachedBootFlash(machine));
  }
  info["clock"] = {{"virtualMilliseconds", machine.Clock().Now() / sim::kMillisecond}};
  for (sim::Component* component : sim::AllComponents()) {
    component->Describe(machine, info);
  }
  // After the models described themselves: the program's start-up changes what it drives. The
  // program runs only on the module's OS.
  sim::Json flashMap;
  if (machine.OsRunning()) {
    flashMap = ProgramFlashMap();
  } else {
    flashMap["init"] = "not run: the module's OS is not running";
  }
  const sim::Json config = machine.Config();
  const bool osRunning = machine.OsRunning();
  const std::string startedText = sim::BootOutcomeText(machine.Started());
  sim::Detach();
  // The plan after the detach, which writes what fired in this process to the record.
  const sim::Json faults = FaultPlanJson(directory, config);
  if (!stale.empty()) {
    info["stale"] = stale;
  }
  if (arguments.Has("json")) {
    info["flashMap"] = flashMap;
    info["faults"] = faults;
    PrintJson(info);
  } else {
    PrintInfo(info, 0);
    PrintFlashMap(flashMap);
    if (!osRunning) {
      std::printf("flashwick-module: %s\n", startedText.c_str());
    }
    PrintFaultPlan(faults, stdout);
    if (!stale.empty()) {
      std::fprintf(stderr, "flashwick-module: note: %s\n", stale.c_str());
    }
  }
  return 0;
}

int Reset(const Arguments& arguments) {
  std::string error;
  const auto directory = ModuleDirectoryArgument(arguments);
  if (const std::string processes = AttachedProcessesText(directory);
      !processes.empty() && !arguments.Has("force")) {
    // A reset clears what the running OS holds under the feet of that program.
    return Fail("reset: refused: " + processes +
                " is running on the module; let it end first, or reset with --force");
  }
  if (!sim::ResetModule(directory, &error)) {
    return Fail(error);
  }
  std::printf("reset %s\n", ModuleDirectoryArgument(arguments).c_str());
  return 0;
}

void CreateHelp(std::FILE* out) {
  std::fprintf(out, "presets (--preset NAME; default %s):\n", sim::kDefaultPreset);
  for (const std::string& name : sim::PresetNames()) {
    sim::PresetSpec preset;
    std::string ignored;
    if (!sim::FindPreset(name, 0, &preset, &ignored)) {
      continue;
    }
    if (preset.nor) {
      std::fprintf(out, "  %-12s PXA27x, %u MiB NOR flash, no CPLD\n", name.c_str(),
                   preset.norSize >> 20);
    } else {
      std::fprintf(out, "  %-12s PXA3xx (processor identity %u), NAND flash (chip 0x%04X), CPLD\n",
                   name.c_str(), preset.identity, preset.nandChipId);
    }
  }
  std::fprintf(out, "\nNAND chips (--nand-chip ID, PXA3xx presets only):\n");
  for (const sim::NandChip& chip : sim::NandChips()) {
    std::fprintf(out, "  0x%04X       %s\n", chip.id, chip.description);
  }
  std::fprintf(out, "\nThe module's USB drive receives the sample update files in %s.\n",
               sim::ToUtf8(sample_files::kFolder).c_str());
}

const ModuleCommandRegistrar kCreate({"create",
                                      "create DIR --preset NAME [--nand-chip ID]",
                                      "create a module from a preset, with sample update files",
                                      {"preset", "nand-chip"},
                                      Create,
                                      CreateHelp});
const ModuleCommandRegistrar kInfo(
    {"info", "info [DIR] [--json]", "show the module's hardware, flash and state", {}, Info});
int Where(const Arguments& /*arguments*/) {
  std::printf("%s\n", sim::DefaultModuleDirectory().c_str());
  return 0;
}

const ModuleCommandRegistrar kWhere(
    {"where", "where", "print the default module's directory", {}, Where});
const ModuleCommandRegistrar kReset(
    {"reset",
     "reset [DIR] [--force]",
     "reset the module (clears what the running OS holds); refused while a program is "
     "attached unless --force",
     {},
     Reset});

}  // namespace
}  // namespace module_tool
