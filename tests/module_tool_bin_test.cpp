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

// A refused file says why and where: the part of the file, its file offset, the record or chunk,
// the checksums that differ, the address that the flash does not hold. The status stays the
// library's; the detail follows it on the same line and in the object.
TEST(ModuleToolBin, RefusedFiles_SayWhyAndWhere) {
  TemporaryModule module("pxa270-32m");
  TemporaryDirectory folder;
  // FullFile's layout: header, record 0 (4096 bytes), record 1 (13 bytes), end record, the file
  // system section (348-byte header, chunks of 2048 and 4096 bytes), the CPLD section.
  constexpr std::size_t kRecord1 = 15 + 12 + 4096;
  constexpr std::size_t kSection = kRecord1 + 12 + 13 + 12;
  constexpr std::size_t kChunk0 = kSection + 348;
  constexpr std::size_t kCpld = kChunk0 + 12 + 2048 + 12 + 4096;
  const Bytes full = FullFile();
  const auto flipped = [&full](std::size_t at) {
    Bytes bytes = full;
    bytes.at(at) ^= 0x20;
    return bytes;
  };
  Bytes cut = full;
  cut.resize(100);
  const std::string notes = "These are notes, not an image.\n";
  const struct {
    const char* name;
    Bytes bytes;
    const char* status;
    const char* detail;  // part of the detail, in text and JSON
    const char* part;
    std::size_t fileOffset;
  } cases[] = {
      {"record-checksum", flipped(kRecord1 + 12 + 3), "FWL_ERR_CHECKSUM",
       "record 1 (file offset 0x0000101B, address 0x80010000, 13 bytes): checksum ", "record",
       kRecord1},
      {"linked-past-the-flash",
       BinBuilder().Header(0x40200000, 0x1000).Record(0x40200000, Pattern(16, 1)).End().Data(),
       "FWL_ERR_BAD_FILE", "linked at 0x40200000, which puts it at flash offset 0x40200000",
       "header", 7},
      {"linked-nowhere", BinBuilder().Header(0x50000000, 0x100).End().Data(), "FWL_ERR_BAD_FILE",
       "linked at 0x50000000, an address the update does not place in the flash", "header", 7},
      {"record-outside-the-image",
       BinBuilder().Header(0x80000000, 0x100).Record(0x80000200, Pattern(16, 1)).End().Data(),
       "FWL_ERR_BAD_FILE",
       "record 0 (file offset 0x0000000F, address 0x80000200, 16 bytes) lies "
       "outside the image, 0x80000000 to 0x80000100",
       "record", 15},
      {"cut", cut, "FWL_ERR_BAD_FILE",
       "record 0 (file offset 0x0000000F, address 0x80000000, "
       "4096 bytes) is cut short: the file holds 73 bytes",
       "record", 15},
      {"no-end-record",
       BinBuilder().Header(0x80000000, 0x100).Record(0x80000000, Pattern(16, 1)).Data(),
       "FWL_ERR_BAD_FILE", "the file ends inside the header of record 1", "record", 15 + 12 + 16},
      {"section-header", flipped(kSection + 40), "FWL_ERR_CHECKSUM",
       "the file system section at file offset 0x00001040: header checksum ", "file system section",
       kSection},
      {"chunk", flipped(kChunk0 + 12 + 100), "FWL_ERR_CHECKSUM",
       "chunk 0 (file offset 0x0000119C) of the file system section at file offset 0x00001040: "
       "checksum ",
       "file system chunk", kChunk0},
      {"cpld", flipped(kCpld + 24 + 5), "FWL_ERR_CHECKSUM",
       "the CPLD section at file offset 0x000029B4: checksum ", "CPLD section", kCpld},
      {"cpld-version", BinBuilder().Cpld(Pattern(8, 1), 24, 3).Data(), "FWL_ERR_FILE_VERSION",
       "the CPLD section at file offset 0x00000000 is of version 3", "CPLD section", 0},
      {"empty", Bytes{}, "FWL_OK", "the file is empty", "file", 0},
      {"notes", Bytes(notes.begin(), notes.end()), "FWL_OK", "it starts with neither a bin header",
       "file", 0},
  };
  for (const auto& refused : cases) {
    SCOPED_TRACE(refused.name);
    const fs::path file = Write(folder, std::string(refused.name) + ".bin", refused.bytes);
    std::string output;
    EXPECT_EQ(RunCommand("(" + Bin(file, module) + " 2>&1 >/dev/null)", &output), 1) << output;
    EXPECT_NE(output.find(refused.detail), std::string::npos) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_EQ(RunCommand(Bin(file, module, " --json"), &output), 1) << output;
    const sim::Json report = sim::Json::parse(output, nullptr, false);
    ASSERT_TRUE(report.is_object()) << output;
    EXPECT_EQ(report["accepted"], false);
    EXPECT_EQ(report["status"], refused.status);
    EXPECT_NE(report.value("detail", "").find(refused.detail), std::string::npos) << output;
    EXPECT_EQ(report["where"]["part"], refused.part) << output;
    EXPECT_EQ(report["where"]["fileOffset"], refused.fileOffset) << output;
    if (report["where"].contains("expected")) {
      EXPECT_NE(report["where"]["expected"], report["where"]["found"]) << output;
    }
  }
  // The checksums named are the file's and the data's own.
  const fs::path file = Write(folder, "record.bin", flipped(kRecord1 + 12 + 3));
  std::string output;
  EXPECT_EQ(RunCommand(Bin(file, module, " --json"), &output), 1) << output;
  const sim::Json where = sim::Json::parse(output)["where"];
  Bytes data = Pattern(13, 4);
  EXPECT_EQ(where["expected"], sample_content::ByteSum(data));
  data[3] ^= 0x20;
  EXPECT_EQ(where["found"], sample_content::ByteSum(data));
  EXPECT_EQ(where["record"], 1);
  EXPECT_EQ(where["address"], 0x80010000u);
}

}  // namespace
