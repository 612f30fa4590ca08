// flashwick-module backup, erase, read and verify as a user runs them: a backup restored by an
// update brings the erased regions back on every preset, verify names the first difference, and
// bad names, files in the way, unreadable flash and a busy module lose nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/base/files.h"
#include "sim/module/machine.h"
#include "tests/support/module_fixture.h"
#include "tests/support/tool_module.h"

namespace {

namespace fs = std::filesystem;
using sim::Json;
using testing_support::Executable;
using testing_support::RunCommand;
using testing_support::ToolModule;

// An update of a file of the scratch folder by the program, through --usb.
int Update(const ToolModule& module, const std::string& name, std::string* output) {
  return module.Program(
      "--usb " + ToolModule::Quote(module.File("")) + " /u '\\USB HD\\" + name + "'", output);
}

// A region's bytes as the program reads them, through the read command into a scratch file.
std::string Read(const ToolModule& module, const std::string& region, const std::string& name) {
  std::string output;
  EXPECT_EQ(
      module.Tool("read", "--region '" + region + "' --out " + module.QuotedFile(name), &output), 0)
      << output;
  std::string bytes;
  EXPECT_TRUE(sim::ReadWholeFile(module.File(name), &bytes));
  return bytes;
}

// `backup --regions 'Config Block'` into config.bin beside the module.
int BackupConfigBlock(const ToolModule& module, std::string* output) {
  return module.Tool("backup", "--regions 'Config Block' " + module.QuotedFile("config.bin"),
                     output);
}

// Whether the scratch folder holds a temporary file a command left behind.
bool HasLeftovers(const ToolModule& module) {
  for (const auto& entry : fs::directory_iterator(module.File(""))) {
    if (entry.path().extension() == ".part") {
      return true;
    }
  }
  return false;
}

// A module made by the tool in a scratch folder, which also receives the files written.

// backup, read, erase, verify and the program's update of the backup, on every preset.
class RegionRoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(RegionRoundTrip, BackupEraseUpdateRestoresWhatReadAndVerifySee) {
  const ToolModule module(GetParam());
  const std::string m = module.Quoted();
  const std::string imageBefore = Read(module, "OS Image", "image-before.raw");
  const std::string registryBefore = Read(module, "registry", "registry-before.raw");
  ASSERT_FALSE(imageBefore.empty());

  int status = 0;
  Json backup = module.ToolJson(
      "backup", "--regions 'os image,REGISTRY' " + module.QuotedFile("saved.bin"), &status);
  ASSERT_EQ(status, 0) << backup.dump();
  EXPECT_EQ(backup["regions"], Json({"OS Image", "Registry"}));
  EXPECT_EQ(backup["bytes"].get<std::uintmax_t>(), fs::file_size(module.File("saved.bin")));
  EXPECT_GT(backup["moduleSeconds"].get<double>(), 0.0);

  std::string output;
  EXPECT_EQ(module.Tool("verify", "" + module.QuotedFile("saved.bin"), &output), 0) << output;
  EXPECT_NE(output.find("the flash holds the 2 record(s)"), std::string::npos) << output;

  EXPECT_EQ(module.Tool("erase", "--regions os-image,registry", &output), 0) << output;
  EXPECT_NE(output.find("flashwick-module: erase: 0% of 0x"), std::string::npos) << output;
  EXPECT_NE(output.find("erased " + std::to_string(imageBefore.size() + registryBefore.size()) +
                        " bytes in "),
            std::string::npos)
      << output;
  EXPECT_TRUE(Read(module, "OS Image", "image-erased.raw") ==
              std::string(imageBefore.size(), '\xFF'));

  Json verify = module.ToolJson("verify", "" + module.QuotedFile("saved.bin"), &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(verify["matches"], false);
  EXPECT_EQ(verify["difference"]["region"], "OS Image");
  EXPECT_EQ(verify["difference"]["address"], 0x80000);
  EXPECT_EQ(verify["difference"]["found"], 0xFF);

  EXPECT_EQ(Update(module, "saved.bin", &output), 0) << output;
  EXPECT_EQ(module.Tool("verify", "" + module.QuotedFile("saved.bin"), &output), 0) << output;
  EXPECT_TRUE(Read(module, "OS Image", "image-after.raw") == imageBefore);
  EXPECT_TRUE(Read(module, "Registry", "registry-after.raw") == registryBefore);
}

INSTANTIATE_TEST_SUITE_P(Presets, RegionRoundTrip,
                         ::testing::Values("pxa270-32m", "pxa270-64m", "pxa320", "pxa300",
                                           "pxa310"),
                         [](const auto& info) {
                           std::string name = info.param;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

// A record whose byte differs from the flash (its checksum made good again): verify names the
// region, the flash address, the record, the file offset and both bytes.
TEST(RegionVerify, NamesTheFirstDifferingByte) {
  const ToolModule module("pxa320");
  std::string output;
  ASSERT_EQ(BackupConfigBlock(module, &output), 0) << output;
  std::string bytes;
  ASSERT_TRUE(sim::ReadWholeFile(module.File("config.bin"), &bytes));
  // Header (15), record address, length and byte-sum checksum (12), then the data.
  constexpr std::size_t kChecksumAt = 15 + 8;
  constexpr std::size_t kChanged = 15 + 12 + 0x123;
  const auto old = static_cast<unsigned char>(bytes[kChanged]);
  const unsigned char now = old ^ 0x5A;
  bytes[kChanged] = static_cast<char>(now);
  std::uint32_t sum = 0;
  for (int i = 0; i < 4; ++i) {
    sum |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[kChecksumAt + i]))
           << (8 * i);
  }
  sum = sum - old + now;
  for (int i = 0; i < 4; ++i) {
    bytes[kChecksumAt + i] = static_cast<char>((sum >> (8 * i)) & 0xFF);
  }
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(module.File("changed.bin"), bytes, &error)) << error;

  EXPECT_EQ(module.Tool("verify", module.QuotedFile("changed.bin"), &output), 1);
  char expected[160];
  std::snprintf(expected, sizeof(expected),
                "differs in Config Block at 0x00040123 (record 0, file offset 0x%08zX): expected "
                "0x%02X, found 0x%02X",
                kChanged, now, old);
  EXPECT_NE(output.find(expected), std::string::npos) << output << "\nwanted: " << expected;
}

// Bytes of the image's range that no record writes are erased by the update, not written: verify
// does not pass them off as compared, it counts them.
TEST(RegionVerify, CountsTheBytesNoRecordWrites) {
  const ToolModule module("pxa320");
  std::string output;
  ASSERT_EQ(BackupConfigBlock(module, &output), 0) << output;
  int status = -1;
  const Json whole = module.ToolJson("verify", module.QuotedFile("config.bin"), &status);
  ASSERT_EQ(status, 0) << whole.dump(2);
  std::uint64_t before = 0;
  for (const Json& note : whole["notCompared"]) {
    before = std::stoull(note.get<std::string>());
  }
  // The header's range made 2048 bytes longer than the records reach.
  std::string bytes;
  ASSERT_TRUE(sim::ReadWholeFile(module.File("config.bin"), &bytes));
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    length |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[11 + i])) << (8 * i);
  }
  length += 2048;
  for (int i = 0; i < 4; ++i) {
    bytes[11 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  }
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(module.File("longer.bin"), bytes, &error)) << error;
  EXPECT_EQ(module.Tool("verify", module.QuotedFile("longer.bin"), &output), 0) << output;
  EXPECT_NE(output.find("not compared: the " + std::to_string(before + 2048) +
                        " bytes of the image's range that no record writes"),
            std::string::npos)
      << output;
}

// Refusals: one line naming the trouble, exit 2, nothing written, an existing file kept.
struct RefusalCase {
  const char* label;
  const char* arguments;  // after the command's module; {file} is the scratch file "out.bin"
  const char* expected;
  bool existingFile = false;  // out.bin exists beforehand (with "old")
};

const RefusalCase kRefusals[] = {
    {"UnknownRegionListsTheNames", "backup {module} --regions os,registry {file}",
     R"(no region "os" on this module; names: "Bootloader", "Config Block", "OS Image", )"},
    {"RegionNamedTwice", "backup {module} --regions registry,Registry {file}", "named twice"},
    {"EmptyName", "backup {module} --regions 'OS Image,,Registry' {file}", "an empty name"},
    {"RegionsApart", "backup {module} --regions bootloader,registry {file}", "contiguous"},
    {"NoRegions", "backup {module} {file}", "--regions LIST is required"},
    {"ExistingFileKept", "backup {module} --regions registry {file}", "exists (--force", true},
    {"FileIsAFolder", "backup {module} --regions registry {folder}", "is a folder"},
    {"NoSuchFolder", "backup {module} --regions registry {folder}/no/out.bin", "no such folder"},
    {"EraseUnknownRegion", "erase {module} --regions 'OS Imag'", R"(no region "OS Imag")"},
    {"ReadUnknownRegion", "read {module} --region everything --out {file}", "names:"},
    {"ReadExistingFileKept", "read {module} --region registry --out {file}", "exists", true},
    {"VerifyRefusedFile", "verify {module} {images}/damaged.bin", "refused by the update"},
    {"VerifyNoFile", "verify {module} {folder}/absent.bin", "no such file"},
};

std::string Expand(std::string text, const ToolModule& module) {
  const std::pair<std::string, std::string> words[] = {
      {"{module}", module.Quoted()},
      {"{file}", module.QuotedFile("out.bin")},
      {"{folder}", module.File("").parent_path().string()},
      {"{images}", "'" + module.Images().string() + "'"}};
  for (const auto& [word, value] : words) {
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word)) {
      text.replace(at, word.size(), value);
    }
  }
  return text;
}

class RegionRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RegionRefusal, SaysWhyAndWritesNothing) {
  const RefusalCase& c = GetParam();
  const ToolModule module("pxa320");
  std::string error;
  if (c.existingFile) {
    ASSERT_TRUE(sim::WriteWholeFile(module.File("out.bin"), std::string("old"), &error));
  }
  const std::string before = Read(module, "OS Image", "before.raw");
  fs::remove(module.File("before.raw"));
  std::string output;
  EXPECT_EQ(RunCommand(Executable("flashwick-module") + " " + Expand(c.arguments, module), &output),
            2)
      << output;
  EXPECT_NE(output.find(c.expected), std::string::npos) << output;
  std::string content;
  EXPECT_EQ(sim::ReadWholeFile(module.File("out.bin"), &content), c.existingFile);
  EXPECT_EQ(content, c.existingFile ? "old" : "");
  EXPECT_FALSE(HasLeftovers(module));
  EXPECT_TRUE(Read(module, "OS Image", "after.raw") == before);
}

INSTANTIATE_TEST_SUITE_P(Cases, RegionRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.label); });

// A page that cannot be corrected: read and backup fail with nothing written (an older file
// kept even with --force), verify names the page.
TEST(RegionUnreadable, FailsWithThePageAndKeepsTheOlderFile) {
  const ToolModule module("pxa310");
  const std::string m = module.Quoted();
  std::string output;
  ASSERT_EQ(module.Tool("backup", "--regions 'OS Image' " + module.QuotedFile("good.bin"), &output),
            0)
      << output;
  // OS Image starts at 0x80000: page 260 of 2 KiB pages lies at 0x82000.
  ASSERT_EQ(module.Tool("fault add", "nand.bit-flip page=260 bits=8", &output), 0) << output;
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(module.File("old.bin"), std::string("old"), &error));

  EXPECT_EQ(
      module.Tool("read", "--region 'OS Image' --out " + module.QuotedFile("image.raw"), &output),
      1);
  EXPECT_NE(output.find("the page at 0x00082000 in OS Image cannot be read"), std::string::npos)
      << output;
  EXPECT_FALSE(fs::exists(module.File("image.raw")));

  EXPECT_EQ(module.Tool("backup", "--regions 'OS Image' --force " + module.QuotedFile("old.bin"),
                        &output),
            1);
  EXPECT_NE(output.find("FWL_ERR_READ_FLASH"), std::string::npos) << output;
  std::string content;
  EXPECT_TRUE(sim::ReadWholeFile(module.File("old.bin"), &content));
  EXPECT_EQ(content, "old");

  int status = 0;
  const Json verify = module.ToolJson("verify", "" + module.QuotedFile("good.bin"), &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(verify["difference"]["address"], 0x82000);
  EXPECT_EQ(verify["difference"]["unreadable"], true);
  EXPECT_FALSE(HasLeftovers(module));
}

// The power fails during an erase: the command fails and says so (never "erased"), the fault's
// line is on standard error, and the module starts again for the next command.
TEST(RegionPowerCut, EraseCutShortFailsAndTheModuleStartsAgain) {
  const ToolModule module("pxa320");
  const std::string m = module.Quoted();
  std::string output;
  ASSERT_EQ(module.Tool("fault add", "power-cut after=3", &output), 0) << output;
  EXPECT_EQ(module.Tool("erase", "--regions 'OS Image'", &output), 1) << output;
  EXPECT_NE(output.find("fault power-cut (item 0) fired: erase of block"), std::string::npos)
      << output;
  EXPECT_NE(output.find("power cut during the erase of block"), std::string::npos) << output;
  EXPECT_EQ(output.find("erased "), std::string::npos) << output;
  EXPECT_EQ(module.Tool("fault clear", "", &output), 0) << output;
  // The module started again without its OS image, which the cut erased in part: the library
  // does not run until the image is written back and the module reset.
  EXPECT_EQ(module.Tool("erase", "--regions registry", &output), 2) << output;
  EXPECT_NE(output.find("the module's OS is not running: no OS"), std::string::npos) << output;
  ASSERT_EQ(module.Tool("recover", "--os " + ToolModule::Quote(module.Images() / "os-update.bin"),
                        &output),
            0)
      << output;
  ASSERT_EQ(module.Tool("reset", "", &output), 0) << output;
  EXPECT_EQ(module.Tool("erase", "--regions registry", &output), 0) << output;
}

// Another process holds "OnModuleFlash": every command refuses at once and changes nothing.
TEST(RegionBusyModule, EveryCommandRefusesWhileAnotherProcessHoldsTheFlash) {
  const ToolModule module("pxa320");
  const std::string m = module.Quoted();
  std::string output;
  ASSERT_EQ(
      module.Tool("backup", "--regions registry " + module.QuotedFile("registry.bin"), &output), 0)
      << output;
  const std::string before = Read(module, "Registry", "before.raw");
  std::FILE* holder =
      ::popen((Executable("flashwick-module") + " hold-lock " + m + " --ms 4000").c_str(), "r");
  ASSERT_NE(holder, nullptr);
  char line[128] = {};
  ASSERT_NE(std::fgets(line, sizeof(line), holder), nullptr);
  ASSERT_EQ(std::string(line).rfind("holding", 0), 0u) << line;
  const std::string commands[] = {
      "backup " + m + " --regions registry " + module.QuotedFile("out.bin"),
      "erase " + m + " --regions registry",
      "read " + m + " --region registry --out " + module.QuotedFile("out.raw"),
      "verify " + m + " " + module.QuotedFile("registry.bin"),
      "files " + m + " ls '\\Flash Disk'",
  };
  for (const std::string& command : commands) {
    EXPECT_EQ(RunCommand(Executable("flashwick-module") + " " + command, &output), 2)
        << command << "\n"
        << output;
    EXPECT_NE(output.find("another process of the module holds \"OnModuleFlash\""),
              std::string::npos)
        << output;
  }
  ::pclose(holder);
  EXPECT_FALSE(fs::exists(module.File("out.bin")));
  EXPECT_FALSE(fs::exists(module.File("out.raw")));
  EXPECT_TRUE(Read(module, "Registry", "after.raw") == before);
}

// files: a file put on the flash disk is on the flash: a file system backup taken after it,
// erased and restored by the program's update, brings it back after the module starts again.
TEST(ModuleFiles, PutGoesToTheFlashAndComesBackThroughBackupAndUpdate) {
  const ToolModule module("pxa320");
  const std::string m = module.Quoted();
  const std::string content = "calibration 42\n";
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(module.File("note.txt"), content, &error)) << error;
  std::string output;
  ASSERT_EQ(module.Tool("files",
                        "put " + module.QuotedFile("note.txt") + " '\\Flash Disk\\Data\\note.txt'",
                        &output),
            0)
      << output;
  EXPECT_NE(output.find("copied 15 bytes"), std::string::npos) << output;
  // An existing file is kept; a missing one is named.
  EXPECT_EQ(
      module.Tool("files", "put " + module.QuotedFile("note.txt") + " '/Flash Disk/Data/note.txt'",
                  &output),
      2);
  EXPECT_NE(output.find("exists (--force"), std::string::npos) << output;
  EXPECT_EQ(
      module.Tool("files", "get '\\Flash Disk\\absent.txt' " + module.QuotedFile("absent.txt"),
                  &output),
      2);
  EXPECT_FALSE(fs::exists(module.File("absent.txt")));

  ASSERT_EQ(
      module.Tool("backup", "--regions 'File System' " + module.QuotedFile("disk.bin"), &output), 0)
      << output;
  ASSERT_EQ(module.Tool("erase", "--regions 'File System'", &output), 0) << output;
  EXPECT_NE(
      module.Tool("files", "get '\\Flash Disk\\Data\\note.txt' " + module.QuotedFile("gone.txt"),
                  &output),
      0);
  ASSERT_EQ(Update(module, "disk.bin", &output), 0) << output;
  ASSERT_EQ(module.Tool("reset", "", &output), 0) << output;

  int status = 0;
  const Json listing = module.ToolJson("files", "ls '\\Flash Disk\\Data'", &status);
  EXPECT_EQ(status, 0);
  bool listed = false;
  for (const Json& entry : listing["entries"]) {
    listed = listed || (entry["name"] == "note.txt" && entry["size"] == content.size());
  }
  EXPECT_TRUE(listed) << listing.dump();
  ASSERT_EQ(
      module.Tool("files", "get '\\Flash Disk\\Data\\note.txt' " + module.QuotedFile("back.txt"),
                  &output),
      0)
      << output;
  std::string back;
  EXPECT_TRUE(sim::ReadWholeFile(module.File("back.txt"), &back));
  EXPECT_EQ(back, content);
}

}  // namespace
