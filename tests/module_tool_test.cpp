// flashwick-module on modules it cannot use: a damaged module.json or registry, or no module at
// all. Each command says so in one line, fails, and leaves the directory exactly as it was.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <string>

#include "sim/base/files.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Executable;
using testing_support::RunCommand;
using testing_support::TemporaryModule;

// Every entry below a directory with its time and content (size only for large files).
std::map<std::string, std::string> Snapshot(const fs::path& directory) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    std::string state = std::to_string(entry.last_write_time().time_since_epoch().count());
    if (entry.is_regular_file() && entry.file_size() >= (1u << 20)) {
      state += ":" + std::to_string(entry.file_size());  // flash images: size and time
    } else if (entry.is_regular_file()) {
      std::string content;
      EXPECT_TRUE(sim::ReadWholeFile(entry.path(), &content));
      state += ":" + content;
    }
    entries[fs::relative(entry.path(), directory).string()] = state;
  }
  return entries;
}

struct Damage {
  const char* label;
  const char* file;      // in the module directory
  const char* content;   // written over it
  const char* expected;  // part of the error line
};

struct DamageCommandCase {
  Damage damage;
  const char* command;
};

class DamagedModuleToolTest : public ::testing::TestWithParam<DamageCommandCase> {};

TEST_P(DamagedModuleToolTest, OneErrorLineAndNothingChanges) {
  const Damage& damage = GetParam().damage;
  TemporaryModule module("pxa320");
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(module.Directory() / damage.file, damage.content, &error))
      << error;
  const auto before = Snapshot(module.Directory());
  std::string output;
  const int status = RunCommand(
      Executable("flashwick-module") + " " + GetParam().command + " " + module.Directory().string(),
      &output);
  EXPECT_NE(status, 0);
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(output.find('\n'), output.size() - 1) << output;  // exactly one line
  EXPECT_NE(output.find(damage.file), std::string::npos) << output;
  EXPECT_NE(output.find(damage.expected), std::string::npos) << output;
  EXPECT_EQ(Snapshot(module.Directory()), before);
}

constexpr Damage kDamages[] = {
    {"ConfigCut", "module.json", "{\"format\": 1, \"processor\": {", "not valid JSON"},
    {"ConfigBadIdentity", "module.json",
     "{\"format\": 1, \"processor\": {\"identity\": \"seventeen\", \"mainId\": 1},"
     " \"os\": {\"version\": 6}}",
     "processor.identity"},
    {"RegistryBadDword", "registry.reg",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Ident]\n\"Name\"=dword:12345678x\n", "line 4"},
    {"RegistryBinary", "registry.reg", "\x89PNG\r\n\x1a\n", "line 1"},
};

std::vector<DamageCommandCase> AllCases() {
  std::vector<DamageCommandCase> cases;
  for (const Damage& damage : kDamages) {
    for (const char* command : {"info", "reset"}) {
      cases.push_back({damage, command});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedModuleToolTest, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<DamageCommandCase>& info) {
                           std::string name = std::string(info.param.damage.label) + "_";
                           for (const char* c = info.param.command; *c != '\0'; ++c) {
                             if (std::isalnum(static_cast<unsigned char>(*c)) != 0) {
                               name += *c;
                             }
                           }
                           return name;
                         });

TEST(ModuleTool, MissingModule_OneLineAndNoDirectoryAppears) {
  testing_support::TemporaryDirectory parent;
  const fs::path missing = parent.Path() / "nowhere";
  for (const char* command : {"info", "reset"}) {
    SCOPED_TRACE(command);
    std::string output;
    EXPECT_NE(RunCommand(Executable("flashwick-module") + " " + command + " " + missing.string(),
                         &output),
              0);
    EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
    EXPECT_NE(output.find(missing.string()), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(missing));
  }
}

}  // namespace
