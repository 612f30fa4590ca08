// A module whose own files are damaged is refused at attach with one clear line, and the
// refusal changes nothing on disk.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "sim/base/files.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;

// Every file and folder of a directory with its content (files) and modification time.
std::map<std::string, std::string> Snapshot(const fs::path& directory) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    const std::string relative = fs::relative(entry.path(), directory).string();
    std::string state = std::to_string(entry.last_write_time().time_since_epoch().count());
    if (entry.is_regular_file() && entry.file_size() < (1u << 20)) {
      std::string content;
      EXPECT_TRUE(sim::ReadWholeFile(entry.path(), &content));
      state += ":" + content;
    } else if (entry.is_regular_file()) {
      state += ":" + std::to_string(entry.file_size());
    }
    entries[relative] = state;
  }
  return entries;
}

struct DamageCase {
  const char* label;
  const char* file;      // in the module directory
  const char* content;   // written over it
  const char* expected;  // part of the error line
};

class DamagedModuleTest : public testing_support::ModuleTest,
                          public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedModuleTest, AttachRefusesWithOneLineAndChangesNothing) {
  const DamageCase& damage = GetParam();
  sim::Detach();
  // A module that ran and was reset, as a user would find it.
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::WriteWholeFile(ModuleDirectory() / damage.file, damage.content, &error))
      << error;
  const auto before = Snapshot(ModuleDirectory());
  EXPECT_FALSE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error));
  EXPECT_FALSE(sim::IsAttached());
  EXPECT_NE(error.find(damage.file), std::string::npos) << error;
  EXPECT_NE(error.find(damage.expected), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  EXPECT_EQ(Snapshot(ModuleDirectory()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedModuleTest,
    ::testing::Values(
        DamageCase{"ConfigNotJson", "module.json", "{\"format\": 1,", "not valid JSON"},
        DamageCase{"ConfigWrongField", "module.json",
                   "{\"format\": 1, \"processor\": {\"identity\": \"seventeen\", \"mainId\": 1},"
                   " \"os\": {\"version\": 6}}",
                   "processor.identity"},
        DamageCase{"ConfigBadOsVersion", "module.json",
                   "{\"format\": 1, \"processor\": {\"identity\": 2, \"mainId\": 1},"
                   " \"os\": {\"version\": 4}}",
                   "os.version"},
        DamageCase{"ImageRegistryBadValue", "default.reg",
                   "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Ident]\n\"Name\"=dword:xyz\n", "line 4"},
        DamageCase{"ImageRegistryNotRegedit", "default.reg",
                   "\x7f"
                   "ELF\x02\x01",
                   "line 1"},
        DamageCase{"ImageRegistryBadKey", "default.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n",
                   "line 2"}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return info.param.label; });

}  // namespace
