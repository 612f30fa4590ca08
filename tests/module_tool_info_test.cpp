// flashwick-module info: the module's hardware next to the flash map that the program's own
// start-up finds on it, run as an engineer runs it.
#include <gtest/gtest.h>

#include <string>

#include "sim/base/files.h"
#include "sim/base/hex.h"
#include "sim/hw/cpu.h"
#include "sim/module/machine.h"
#include "sim/os/registry_store.h"
#include "tests/support/module_fixture.h"

namespace {

using testing_support::Executable;
using testing_support::RunCommand;
using testing_support::TemporaryModule;

std::string Tool() { return Executable("flashwick-module"); }

std::string Quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

std::uint64_t Number(const sim::Json& value) {
  std::uint64_t number = 0;
  EXPECT_TRUE(sim::ParseUnsigned(value, &number)) << value.dump();
  return number;
}

// The bytes the registry stored in flash takes from the region's start: the copy of what
// registry.reg shows.
std::uint64_t StoredRegistryUsed(const TemporaryModule& module) {
  std::string text;
  EXPECT_TRUE(sim::ReadWholeFile(module.Directory() / "registry.reg", &text));
  return sim::StoredRegistryBytes(text).size();
}

sim::Json InfoJson(const std::filesystem::path& module) {
  std::string output;
  EXPECT_EQ(RunCommand(Tool() + " info " + Quoted(module) + " --json 2>/dev/null", &output), 0)
      << output;
  return sim::Json::parse(output, nullptr, false);
}

TEST(ModuleToolInfo, FlashMap_MatchesTheModulesLayoutAndStore) {
  TemporaryModule module("pxa270-64m");
  const sim::Json info = InfoJson(module.Directory());
  ASSERT_FALSE(info.is_discarded());
  sim::Json config;
  std::string error;
  ASSERT_TRUE(sim::LoadModuleConfig(module.Directory(), &config, &error)) << error;
  const sim::Json& layout = config["layout"];
  const sim::Json& store = info["storage"]["stores"][0];
  const std::uint64_t registry = Number(layout["registryOffset"]);
  const std::uint64_t osOffset = Number(layout["osOffset"]);
  struct Row {
    const char* kind;
    std::uint64_t start;
    std::uint64_t length;
    std::uint64_t used;
  };
  const Row rows[] = {
      {"Bootloader", 0, 0x40000,
       Number(layout["bootloaderOffset"]) + Number(layout["bootloaderLength"])},
      {"Config Block", Number(layout["configOffset"]), 0x40000, Number(layout["configUsed"])},
      {"OS Image", osOffset, registry - osOffset,
       Number(layout["osLength"]) + 16 + Number(layout["osTrailer"])},
      {"Registry", registry, 2 * Number(layout["registryHalf"]), StoredRegistryUsed(module)},
      {"File System", Number(store["memBase"]), Number(store["memLen"]),
       Number(store["sectorsInUse"]) * Number(store["sectorSize"])},
  };
  const sim::Json& map = info["flashMap"];
  EXPECT_EQ(map["init"], "FWL_OK");
  EXPECT_EQ(map["flashKind"], "NOR");
  EXPECT_EQ(map["flashBytes"], "0x04000000");
  EXPECT_EQ(map["fileSystemStore"], store["device"]);
  ASSERT_EQ(map["regions"].size(), 5u) << map.dump(2);
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(rows[i].kind);
    const sim::Json& region = map["regions"][i];
    EXPECT_EQ(region["kind"], rows[i].kind);
    EXPECT_EQ(region["start"], sim::Hex(rows[i].start, 8));
    EXPECT_EQ(region["length"], sim::Hex(rows[i].length, 8));
    EXPECT_EQ(region["used"], sim::Hex(rows[i].used, 8));
    EXPECT_EQ(region["present"], true);
  }
  // The hardware is shown beside it.
  EXPECT_EQ(info["processor"]["identity"], sim::kProcessorPxa27x);
}

TEST(ModuleToolInfo, Text_ShowsTheMapAsATable) {
  TemporaryModule module("pxa320");
  std::string output;
  ASSERT_EQ(RunCommand(Tool() + " info " + Quoted(module.Directory()), &output), 0) << output;
  EXPECT_NE(output.find("flashMap:\n  init:              FWL_OK\n"), std::string::npos) << output;
  EXPECT_NE(output.find("  kind           start       length      used        present\n"
                        "  Bootloader     0x00000000  0x00040000  0x00023000  yes\n"
                        "  Config Block   0x00040000  0x00040000  0x00000400  yes\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("  fileSystemStore:   DSK1:\n"), std::string::npos) << output;
}

TEST(ModuleToolInfo, RefusedBoard_StillShowsTheMap) {
  TemporaryModule module("pxa320");
  sim::Json config;
  std::string error;
  ASSERT_TRUE(sim::LoadModuleConfig(module.Directory(), &config, &error)) << error;
  config["platformItems"]["8"] = "0100010000000000";  // hardware 1.1
  ASSERT_TRUE(sim::WriteWholeFile(module.Directory() / "module.json", config.dump(2), &error));
  const sim::Json info = InfoJson(module.Directory());
  ASSERT_FALSE(info.is_discarded());
  EXPECT_EQ(info["flashMap"]["init"], "FWL_ERR_HW_VERSION");
  ASSERT_EQ(info["flashMap"]["regions"].size(), 5u);
  EXPECT_EQ(info["flashMap"]["regions"][2]["kind"], "OS Image");
}

TEST(ModuleToolInfo, NoModule_FailsWithAMessage) {
  testing_support::TemporaryDirectory empty;
  std::string output;
  EXPECT_EQ(RunCommand(Tool() + " info " + Quoted(empty.Path() / "none"), &output), 2) << output;
  EXPECT_NE(output.find("flashwick-module: "), std::string::npos) << output;
}

}  // namespace
