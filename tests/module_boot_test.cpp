// The module boots from its flash, as a technician meets it: an OS update shows its version after
// the reset, a wrong erase leaves a module without its OS or without any sign of life until the
// technician writes the image back with flashwick-module recover, and the registry lives in the
// flash registry region, so that erasing it gives the image's registry and a backup of it brings
// the saved one back.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "sim/module/machine.h"
#include "sim/os/registry.h"
#include "tests/support/tool_module.h"

namespace {

namespace fs = std::filesystem;
using sim::Json;
using testing_support::ToolModule;

constexpr int kStartFailed = 2;

std::string ImageFile(const ToolModule& module, const char* name) {
  return ToolModule::Quote(module.Images() / name);
}

// What info says the module started, and the version its OS reports.
Json Started(ToolModule& module) {
  int status = 0;
  const Json info = module.ToolJson("info", "", &status);
  EXPECT_EQ(status, 0) << info.dump(2);
  return info.value("started", Json::object());
}

void Reset(ToolModule& module) {
  std::string output;
  ASSERT_EQ(module.Tool("reset", "", &output), 0) << output;
}

class ModuleBoot : public ::testing::TestWithParam<const char*> {};

TEST_P(ModuleBoot, UpdateEraseAndRecoverAsTheFlashDecides) {
  ToolModule module(GetParam());
  std::string output;
  EXPECT_EQ(Started(module)["imageVersion"]["minor"], 31);

  // The sample OS update is a newer image: it runs after the reset, not before.
  ASSERT_EQ(module.Program("/u \"\\USB HD\\IMAGES\\os-update.bin\"", &output), 0) << output;
  EXPECT_EQ(Started(module)["imageVersion"]["minor"], 31) << "the old image runs until the reset";
  Reset(module);
  Json started = Started(module);
  EXPECT_EQ(started["outcome"], "os");
  EXPECT_EQ(started["imageVersion"]["major"], 2);
  EXPECT_EQ(started["imageVersion"]["minor"], 40);

  // A wrong erase of the OS image: the module keeps running until its reset, then waits in its
  // bootloader, and the program says so instead of running.
  ASSERT_EQ(module.Tool("erase", "--regions 'OS Image'", &output), 0) << output;
  ASSERT_EQ(module.Program("/fu", &output), 0) << output;
  Reset(module);
  EXPECT_EQ(module.Program("/fu", &output), kStartFailed) << output;
  EXPECT_NE(output.find("FAILED: the module's OS is not running: no OS: the module is back in its "
                        "bootloader"),
            std::string::npos)
      << output;
  EXPECT_EQ(Started(module)["outcome"], "bootloader");
  EXPECT_NE(module.Tool("erase", "--regions registry", &output), 0)
      << "the program's library does not run without the OS";
  EXPECT_NE(output.find("OS is not running"), std::string::npos) << output;

  // The bootloader's download writes the image back.
  ASSERT_EQ(module.Tool("recover", "--os " + ImageFile(module, "os-update.bin"), &output), 0)
      << output;
  EXPECT_NE(output.find("flashwick-module reset"), std::string::npos) << output;
  EXPECT_EQ(module.Program("/fu", &output), kStartFailed) << "nothing starts before the reset";
  Reset(module);
  ASSERT_EQ(module.Program("/fu", &output), 0) << output;
  EXPECT_EQ(Started(module)["imageVersion"]["minor"], 40);

  // Without a bootloader nothing starts, and the OS image cannot be downloaded.
  ASSERT_EQ(module.Tool("erase", "--regions bootloader", &output), 0) << output;
  Reset(module);
  EXPECT_EQ(module.Program("/fu", &output), kStartFailed) << output;
  EXPECT_NE(output.find("no sign of life"), std::string::npos) << output;
  EXPECT_EQ(Started(module)["outcome"], "none");
  EXPECT_NE(module.Tool("recover", "--os " + ImageFile(module, "os-update.bin"), &output), 0);
  EXPECT_NE(output.find("no bootloader to download"), std::string::npos) << output;

  // A JTAG flash programmer writes the bootloader from the full backup's records.
  int status = 0;
  const Json recovered =
      module.ToolJson("recover", "--bootloader " + ImageFile(module, "full-backup.bin"), &status);
  ASSERT_EQ(status, 0) << recovered.dump(2);
  EXPECT_EQ(recovered["via"], "JTAG flash programmer");
  EXPECT_EQ(recovered["nextStart"]["outcome"], "os");
  Reset(module);
  ASSERT_EQ(module.Program("/fu", &output), 0) << output;
  EXPECT_EQ(Started(module)["imageVersion"]["minor"], 40) << "the OS image was not touched";
}

INSTANTIATE_TEST_SUITE_P(Presets, ModuleBoot, ::testing::Values("pxa320", "pxa270-64m"),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name == "pxa320" ? std::string("Nand") : std::string("Nor");
                         });

// recover refuses what it cannot write whole, and a module another program runs on.
TEST(ModuleBootRecover, RefusesDamagedFilesAndABusyModule) {
  ToolModule module("pxa320");
  std::string output;
  EXPECT_EQ(module.Tool("recover", "--os " + ImageFile(module, "damaged.bin"), &output),
            kStartFailed);
  EXPECT_NE(output.find("nothing was written"), std::string::npos) << output;
  EXPECT_EQ(module.Tool("recover", "", &output), kStartFailed) << output;
  EXPECT_EQ(module.Tool("recover",
                        "--os " + ImageFile(module, "os-update.bin") + " --bootloader " +
                            ImageFile(module, "os-update.bin"),
                        &output),
            kStartFailed);
  // A bootloader file whose records all lie elsewhere gives nothing for the region.
  EXPECT_EQ(module.Tool("recover", "--bootloader " + ImageFile(module, "os-update.bin"), &output),
            kStartFailed);
  EXPECT_NE(output.find("holds nothing for the flash"), std::string::npos) << output;
  // A process attached to the module (this one) keeps the technician's tool away.
  std::string error;
  ASSERT_TRUE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_EQ(module.Tool("recover", "--os " + ImageFile(module, "os-update.bin"), &output),
            kStartFailed);
  EXPECT_NE(output.find("is running on the module"), std::string::npos) << output;
  sim::Detach();
  Reset(module);
  EXPECT_EQ(Started(module)["outcome"], "os") << "nothing was written";
  EXPECT_EQ(Started(module)["imageVersion"]["minor"], 31) << "nothing was written";
}

// The registry saved by the program lives in the flash registry region.
class RegistryInFlash : public ::testing::Test {
 protected:
  // Sets the test's value in the module's live registry, flushed when asked (as a program on the
  // module does), from this process.
  static void SetValue(const fs::path& directory, std::uint32_t value, bool flush) {
    std::string error;
    ASSERT_TRUE(sim::Attach(directory, sim::AttachOptions{}, &error)) << error;
    EXPECT_TRUE(sim::RegistrySetDword("HKLM\\Software\\Technician", "Value", value));
    if (flush) {
      EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    }
    sim::Detach();
  }
  static std::uint32_t Value(const fs::path& directory) {
    std::string error;
    EXPECT_TRUE(sim::Attach(directory, sim::AttachOptions{}, &error)) << error;
    std::uint32_t value = 0;
    if (!sim::RegistryGetDword("HKLM\\Software\\Technician", "Value", &value)) {
      value = 0;
    }
    sim::Detach();
    return value;
  }
};

TEST_F(RegistryInFlash, SaveEraseResetGivesDefaults_RestoredRegionGivesTheSavedOneBack) {
  ToolModule module("pxa320");
  std::string output;
  // The program's save (/fu) writes what the running OS holds.
  SetValue(module.Directory(), 11, false);
  ASSERT_EQ(module.Program("/fu", &output), 0) << output;
  Reset(module);
  EXPECT_EQ(Value(module.Directory()), 11u);

  int status = 0;
  const fs::path saved = module.Directory() / "files" / "USB HD" / "registry-saved.bin";
  module.ToolJson("backup", "--regions registry " + ToolModule::Quote(saved), &status);
  ASSERT_EQ(status, 0);

  // Saved again with another value, then the region erased: the next start has the image's.
  SetValue(module.Directory(), 12, true);
  ASSERT_EQ(module.Tool("erase", "--regions registry", &output), 0) << output;
  EXPECT_EQ(Value(module.Directory()), 12u) << "the running OS keeps its registry";
  Reset(module);
  EXPECT_EQ(Value(module.Directory()), 0u);

  // The backup written back by the program brings the saved registry at the next start.
  SetValue(module.Directory(), 13, true);
  ASSERT_EQ(module.Program("/u \"\\USB HD\\registry-saved.bin\"", &output), 0) << output;
  Reset(module);
  EXPECT_EQ(Value(module.Directory()), 11u);
}

}  // namespace
