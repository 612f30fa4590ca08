// flashwick-module bin, run as an engineer runs it before taking a file to a module.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "host/sample_content.h"
#include "sim/base/files.h"
#include "sim/module/machine.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_pattern.h"

namespace {

namespace fs = std::filesystem;
using sample_content::BinBuilder;
using sample_content::Bytes;
using sample_content::Chunk;
using sample_content::FileSystemSection;
using testing_support::Executable;
using testing_support::Pattern;
using testing_support::RunCommand;
using testing_support::TemporaryDirectory;
using testing_support::TemporaryModule;

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

fs::path Write(const TemporaryDirectory& folder, const std::string& name, const Bytes& bytes) {
  const fs::path file = folder.Path() / name;
  std::string error;
  EXPECT_TRUE(sim::WriteWholeFile(file, bytes, &error)) << error;
  return file;
}

std::string Bin(const fs::path& file, const TemporaryModule& module, const std::string& more = "") {
  return Executable("flashwick-module") + " bin " + Quoted(file) + " --module " +
         Quoted(module.Directory()) + more;
}

Bytes FullFile() {
  Bytes sectors = Chunk(16, Pattern(2048, 2));
  const Bytes second = Chunk(40, Pattern(4096, 3));
  sectors.insert(sectors.end(), second.begin(), second.end());
  return BinBuilder()
      .Header(0x80000000, 0x20000)
      .Record(0x80000000, Pattern(4096, 1))
      .Record(0x80010000, Pattern(13, 4))
      .End(0x80001000)
      .Raw(FileSystemSection(3, sectors))
      .Cpld(Pattern(64, 5))
      .Data();
}

TEST(ModuleToolBin, AcceptedFile_ShowsRecordsSectionsAndRegions) {
  TemporaryModule module("pxa320");
  TemporaryDirectory folder;
  std::string output;
  ASSERT_EQ(RunCommand(Bin(Write(folder, "full.bin", FullFile()), module), &output), 0) << output;
  for (const char* line : {
           "holds             image, file system, CPLD firmware",
           "image start       0x80000000",
           "image length      0x00020000",
           "address offset    0x80080000 (image at flash offset 0x00080000)",
           "records           2",
           "  0x80000000  0x00080000  0x00001000  ",
           "  0x80010000  0x00090000  0x0000000D  ",
           "file system       kind 3 (sectors), header 348 bytes, data 6168 bytes",
           "  run             sector 16, 4 sectors (2048 bytes)",
           "  run             sector 40, 8 sectors (4096 bytes)",
           "cpld              64 bytes of XSVF",
           "overwrites        OS Image, Registry, File System, CPLD Firmware",
       }) {
    EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
  }
  EXPECT_EQ(output.find(" NO\n"), std::string::npos) << output;
}

TEST(ModuleToolBin, Json_CarriesTheSameFacts) {
  TemporaryModule module("pxa270-32m");
  TemporaryDirectory folder;
  std::string output;
  ASSERT_EQ(RunCommand(Bin(Write(folder, "full.bin", FullFile()), module, " --json"), &output), 0)
      << output;
  const sim::Json report = sim::Json::parse(output);
  EXPECT_EQ(report["status"], "FWL_OK");
  EXPECT_EQ(report["accepted"], true);
  const sim::Json& records = report["image"]["records"];
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]["address"], 0x80010000u);
  EXPECT_EQ(records[1]["length"], 13u);
  EXPECT_EQ(records[1]["flashOffset"],
            0x80010000u + report["image"]["addressOffset"].get<std::uint32_t>());
  EXPECT_EQ(records[1]["valid"], true);
  EXPECT_EQ(report["image"]["endRecordLength"], 0x80001000u);
  EXPECT_EQ(report["fileSystem"]["runs"].size(), 2u);
  // The NOR module has no CPLD: the section is walked but not used.
  EXPECT_EQ(report["cpld"]["used"], false);
  EXPECT_EQ(report["types"].get<std::uint32_t>() & 0x400u, 0u);
}

// Every file that the update would refuse exits 1: in text one line naming the reason (the
// library's status where it has one), with --json an object that says so.
TEST(ModuleToolBin, RefusedFiles_ExitOneNamingTheReasonInTextAndJson) {
  TemporaryModule module("pxa320");
  TemporaryDirectory folder;
  Bytes badChecksum = FullFile();
  badChecksum[15 + 12 + 10] ^= 1;
  Bytes cut = FullFile();
  cut.resize(100);
  const std::string text = "These are notes, not an image.\n";
  const struct {
    const char* name;
    Bytes bytes;
    const char* status;  // in --json
    const char* line;    // the text line after "refused: "
  } cases[] = {
      {"checksum.bin", badChecksum, "FWL_ERR_CHECKSUM",
       "FWL_ERR_CHECKSUM (a record or section checksum differs)"},
      {"cut.bin", cut, "FWL_ERR_BAD_FILE", "FWL_ERR_BAD_FILE (not a valid bin file)"},
      {"start.bin", BinBuilder().Header(0x50000000, 0x100).End().Data(), "FWL_ERR_BAD_FILE",
       "FWL_ERR_BAD_FILE"},
      {"version.bin", BinBuilder().Cpld(Pattern(8, 1), 24, 3).Data(), "FWL_ERR_FILE_VERSION",
       "FWL_ERR_FILE_VERSION"},
      // Accepted by the reader, refused by the update: nothing in them for this module.
      {"empty.bin", Bytes{}, "FWL_OK", "it holds no update data for this module's hardware"},
      {"notes.bin", Bytes(text.begin(), text.end()), "FWL_OK",
       "it holds no update data for this module's hardware"},
      {"small.bin", Pattern(14, 1), "FWL_OK", "it holds no update data for this module's hardware"},
  };
  for (const auto& refused : cases) {
    SCOPED_TRACE(refused.name);
    std::string output;
    const fs::path file = Write(folder, refused.name, refused.bytes);
    // Standard error alone: the layout that text mode prints before a refusal is not counted.
    EXPECT_EQ(RunCommand("(" + Bin(file, module) + " 2>&1 >/dev/null)", &output), 1) << output;
    EXPECT_EQ(output.rfind("flashwick-module: " + file.string() + ": refused: " + refused.line, 0),
              0u)
        << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_EQ(RunCommand(Bin(file, module, " --json"), &output), 1) << output;
    const sim::Json report = sim::Json::parse(output);
    EXPECT_EQ(report["file"], file.string());
    EXPECT_EQ(report["accepted"], false);
    EXPECT_EQ(report["status"], refused.status);
    EXPECT_FALSE(report["reason"].get<std::string>().empty());
  }
  std::string output;
  EXPECT_EQ(RunCommand(Bin(folder.Path() / "missing.bin", module), &output), 2) << output;
  EXPECT_NE(output.find("missing.bin: no such file"), std::string::npos) << output;
}

TEST(ModuleToolBin, FileHoldingNothing_ShowsWhatItHoldsAndIsRefused) {
  TemporaryModule module("pxa320");
  TemporaryDirectory folder;
  std::string output;
  ASSERT_EQ(RunCommand(Bin(Write(folder, "small.bin", Pattern(14, 1)), module), &output), 1)
      << output;
  EXPECT_NE(output.find("holds             nothing for this module"), std::string::npos) << output;
  EXPECT_NE(output.find("overwrites        nothing"), std::string::npos) << output;
}

}  // namespace
