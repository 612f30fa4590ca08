// flashwick-module on modules it cannot use: a damaged module.json or registry, or no module at
// all. Each command says so in one line, fails, and leaves the directory exactly as it was.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "sim/base/files.h"
#include "tests/support/module_fixture.h"
#include "tests/support/tool_module.h"

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
    {"ImageRegistryBadDword", "default.reg",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Ident]\n\"Name\"=dword:12345678x\n", "line 4"},
    {"ImageRegistryBinary", "default.reg", "\x89PNG\r\n\x1a\n", "line 1"},
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

// Every command takes exactly what its usage line names: anything else is refused before it
// runs, with exit code 2, the reason and the usage, and the module is left alone.
struct StrictCase {
  const char* name;
  const char* arguments;  // MODULE stands for the module's directory
  const char* shows;
};

void PrintTo(const StrictCase& c, std::ostream* out) { *out << c.name; }

class StrictArguments : public ::testing::TestWithParam<StrictCase> {};

TEST_P(StrictArguments, RefusedWithTheUsageAndNothingChanges) {
  const TemporaryModule module("pxa270-32m");
  const std::map<std::string, std::string> before = Snapshot(module.Directory());
  std::string arguments = GetParam().arguments;
  if (const std::size_t at = arguments.find("MODULE"); at != std::string::npos) {
    arguments.replace(at, 6, "'" + module.Directory().string() + "'");
  }
  std::string output;
  EXPECT_EQ(RunCommand(Executable("flashwick-module") + " " + arguments, &output), 2) << output;
  EXPECT_NE(output.find(GetParam().shows), std::string::npos) << output;
  EXPECT_NE(output.find("usage: flashwick-module "), std::string::npos) << output;
  EXPECT_EQ(Snapshot(module.Directory()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrictArguments,
    ::testing::Values(
        StrictCase{"ExtraArgument", "info MODULE more", "info: unexpected argument \"more\""},
        StrictCase{"UnknownOption", "info MODULE --verbose", "info: unknown option --verbose"},
        StrictCase{"ShortOption", "reset MODULE -f", "reset: unknown option -f"},
        StrictCase{"FlagWithAValue", "info MODULE --json=yes", "option --json takes no value"},
        StrictCase{"OptionTwice", "info MODULE --json --json", "option --json is given twice"},
        StrictCase{"MissingValue", "hold-lock MODULE --ms", "option --ms needs a value"},
        StrictCase{"MissingArgument", "bin --json", "bin: missing argument"},
        StrictCase{"OptionOfAnotherCommand", "cpld MODULE --json", "cpld: unknown option --json"},
        StrictCase{"CreateOverAModule", "create MODULE --preset pxa320 --colour",
                   "create: unknown option --colour"},
        StrictCase{"UnknownCommand", "inspect MODULE", "unknown command \"inspect\""},
        StrictCase{"VersionWithMore", "--version MODULE", "--version takes nothing after it"}),
    [](const ::testing::TestParamInfo<StrictCase>& info) { return std::string(info.param.name); });

TEST(ModuleTool, CreateHelp_ListsEveryPreset) {
  std::string output;
  ASSERT_EQ(RunCommand(Executable("flashwick-module") + " create --help", &output), 0) << output;
  EXPECT_EQ(output.rfind("usage: flashwick-module create DIR --preset NAME [--nand-chip ID]\n", 0),
            0u)
      << output;
  for (const std::string& preset : sim::PresetNames()) {
    EXPECT_NE(output.find("\n  " + preset + " "), std::string::npos) << preset << "\n" << output;
  }
  EXPECT_NE(output.find("0xDCAD"), std::string::npos) << output;
}

// The default module is made in one way by both executables, with its sample files, and never
// without saying so: here the module tool makes it, and the program then finds it.
TEST(ModuleTool, DefaultModule_MadeOnFirstUseWithSampleFilesAndSaidSo) {
  testing_support::TemporaryDirectory home;
  testing_support::TemporaryDirectory folder;
  std::ofstream(folder.Path() / "notes.bin") << "not an image\n";
  const std::string environment = "FLASHWICK_HOME='" + home.Path().string() + "' ";
  std::string output;
  EXPECT_EQ(RunCommand(environment + Executable("flashwick-module") + " bin '" +
                           (folder.Path() / "notes.bin").string() + "'",
                       &output),
            1)
      << output;
  EXPECT_NE(output.find("flashwick-module: created the default module " +
                        (home.Path() / "default").string() + " (pxa320) with sample files in " +
                        "\\USB HD\\IMAGES\n"),
            std::string::npos)
      << output;
  const fs::path images = home.Path() / "default" / "files" / "USB HD" / "IMAGES";
  for (const char* name : {"os-update.bin", "full-backup.bin", "cpld-update.bin", "damaged.bin"}) {
    EXPECT_TRUE(fs::is_regular_file(images / name)) << name;
  }
  // Nothing of the making is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(home.Path()), fs::directory_iterator()), 1);
  EXPECT_EQ(RunCommand(environment + Executable("flashwick") + " --ui console /fu", &output), 1)
      << output;
  EXPECT_EQ(output.find("created the default module"), std::string::npos) << output;
  EXPECT_EQ(RunCommand(environment + Executable("flashwick-module") + " info", &output), 0)
      << output;
  EXPECT_EQ(output.find("created the default module"), std::string::npos) << output;
}

// With --json every outcome is an object on standard output, refusals included, so that a
// script reads one place; the text still goes to standard error for a person.
TEST(ModuleToolJson, RefusalsAreObjectsToo) {
  const testing_support::ToolModule module("pxa320");
  struct Case {
    const char* command;
    std::string arguments;
    const char* error;
  };
  const Case cases[] = {
      {"erase", "--regions os-image --bogus", "erase: unknown option --bogus"},
      {"erase", "--regions nowhere", "--regions: no region \"nowhere\" on this module"},
      {"read", "--region os-image --out " + module.QuotedFile("missing/out.raw"), "no such folder"},
      {"fault add", "nand.badblock block=1", "unknown kind \"nand.badblock\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + std::string(" ") + c.arguments);
    int status = 0;
    const sim::Json answer = module.ToolJson(c.command, c.arguments, &status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(answer.value("exitStatus", 0), 2) << answer.dump();
    EXPECT_NE(answer.value("error", "").find(c.error), std::string::npos) << answer.dump();
  }
}

}  // namespace
