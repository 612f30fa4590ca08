// flashwick as a user runs it: modules made with flashwick-module (which puts the sample update
// files on their USB drive), the program started with the console front end and a command line,
// and then the module looked at: its flash, its CPLD, whether it was reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "sim/module/machine.h"
#include "sim/os/os_flash.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Executable;
using testing_support::RunCommand;
using testing_support::TemporaryDirectory;

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Word(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes.at(at)) |
         (static_cast<std::uint32_t>(bytes.at(at + 1)) << 8) |
         (static_cast<std::uint32_t>(bytes.at(at + 2)) << 16) |
         (static_cast<std::uint32_t>(bytes.at(at + 3)) << 24);
}

// FNV-1a of a file's bytes (the flash images are too large to keep two copies of).
std::uint64_t Digest(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  std::uint64_t hash = 0xcbf29ce484222325ull;
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<std::uint8_t>(buffer[static_cast<std::size_t>(i)])) *
             0x100000001b3ull;
    }
  }
  return hash;
}

Bytes ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A module made by the module tool, as a user makes one.
class Module {
 public:
  explicit Module(const std::string& preset) : directory_(scratch_.Path() / "module") {
    std::string output;
    const int code = RunCommand(
        Executable("flashwick-module") + " create '" + directory_.string() + "' --preset " + preset,
        &output);
    EXPECT_EQ(code, 0) << output;
  }
  [[nodiscard]] const fs::path& Directory() const { return directory_; }
  [[nodiscard]] fs::path Images() const { return directory_ / "files" / "USB HD" / "IMAGES"; }

  // Runs flashwick with the console front end on this module; returns the exit code.
  int Run(const std::string& arguments, std::string* output) const {
    return RunCommand(Executable("flashwick") + " --ui console --module '" + directory_.string() +
                          "' " + arguments,
                      output);
  }

  // The flash as the module's OS reads it, from offset for length bytes.
  [[nodiscard]] Bytes Flash(std::uint32_t offset, std::uint32_t length) const {
    std::string error;
    Bytes bytes(length);
    EXPECT_TRUE(sim::Attach(directory_, sim::AttachOptions{}, &error)) << error;
    if (sim::IsAttached()) {
      EXPECT_TRUE(sim::CurrentOsFlash()->Read(offset, bytes.data(), length));
      sim::Detach();
    }
    return bytes;
  }

  // Word 0 of platform item 5: where the module's OS image starts in the flash.
  [[nodiscard]] std::uint32_t OsOffset() const {
    sim::Json config;
    std::string error;
    EXPECT_TRUE(sim::LoadModuleConfig(directory_, &config, &error)) << error;
    const std::string item = config["platformItems"]["5"].get<std::string>();
    std::uint32_t offset = 0;
    for (int i = 3; i >= 0; --i) {
      offset =
          (offset << 8) | std::stoul(item.substr(static_cast<std::size_t>(i) * 2, 2), nullptr, 16);
    }
    return offset;
  }

  // The running OS's state is gone after a reset.
  [[nodiscard]] bool WasReset() const { return !fs::exists(directory_ / "ram" / "booted"); }

 private:
  TemporaryDirectory scratch_;
  fs::path directory_;
};

// The data of a bin file's image part, laid out from its start address.
Bytes ImageOf(const Bytes& file, std::uint32_t* start) {
  *start = Word(file, 7);
  Bytes image(Word(file, 11), 0xFF);
  std::size_t at = 15;
  while (true) {
    const std::uint32_t address = Word(file, at);
    const std::uint32_t length = Word(file, at + 4);
    const std::uint32_t checksum = Word(file, at + 8);
    at += 12;
    if (address == 0 && checksum == 0) {
      return image;
    }
    std::copy(file.begin() + static_cast<std::ptrdiff_t>(at),
              file.begin() + static_cast<std::ptrdiff_t>(at + length),
              image.begin() + static_cast<std::ptrdiff_t>(address - *start));
    at += length;
  }
}

// Seconds from "NAME: 1.234 s of module time" lines, and the program's closing line.
double Seconds(const std::string& output, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(output, match,
                         std::regex(pattern + R"(([0-9]+\.[0-9]+) s of module time)"))) {
    ADD_FAILURE() << "no \"" << pattern << "\" time in:\n" << output;
    return -1;
  }
  return std::stod(match[1]);
}

class EveryPreset : public ::testing::TestWithParam<std::string> {};

TEST_P(EveryPreset, OsUpdateFromTheCommandLineWritesTheImageWaitsAndResetsCold) {
  const Module module(GetParam());
  const Bytes file = ReadFile(module.Images() / "os-update.bin");
  ASSERT_GT(file.size(), 15u);
  std::uint32_t start = 0;
  const Bytes image = ImageOf(file, &start);
  const std::uint32_t offset = module.OsOffset();
  ASSERT_NE(module.Flash(offset, static_cast<std::uint32_t>(image.size())), image)
      << "the module already holds the update";

  std::string output;
  EXPECT_EQ(module.Run(R"('/u' '\USB HD\IMAGES\os-update.bin' /rc2000)", &output), 1) << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
  EXPECT_NE(output.find("the module resets (cold)"), std::string::npos) << output;
  // The program's time is the update's, then the 2000 ms wait before the reset.
  const double update = Seconds(output, "Image Update: ");
  const double total = Seconds(output, "exit code 1 after ");
  EXPECT_GT(update, 0.0);
  EXPECT_GE(total - update, 2.0) << output;
  EXPECT_LT(total - update, 2.5) << output;
  EXPECT_TRUE(module.WasReset());
  EXPECT_EQ(module.Flash(offset, static_cast<std::uint32_t>(image.size())), image);
}

INSTANTIATE_TEST_SUITE_P(Presets, EveryPreset,
                         ::testing::Values("pxa270-32m", "pxa270-64m", "pxa320", "pxa300",
                                           "pxa310"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

TEST(FlashwickEndToEnd, DamagedFileShowsItsErrorEndsTheBatchAndLeavesTheFlashAlone) {
  const Module module("pxa320");
  const std::uint64_t flashBefore = Digest(module.Directory() / "flash.img");
  const std::uint64_t spareBefore = Digest(module.Directory() / "nand.oob");
  std::string output;
  EXPECT_EQ(module.Run(R"(/u '\USB HD\IMAGES\damaged.bin' /rc2000)", &output), 0) << output;
  EXPECT_NE(output.find("[ERROR] Bin file with corrupt CRC!\n  -> OK"), std::string::npos)
      << output;
  EXPECT_NE(output.find("flashwick: exit code 0 after"), std::string::npos) << output;
  // The batch stopped at the failure: no wait, no reset.
  EXPECT_EQ(output.find("resets"), std::string::npos) << output;
  EXPECT_LT(Seconds(output, "exit code 0 after "), 2.0);
  EXPECT_FALSE(module.WasReset());
  EXPECT_EQ(Digest(module.Directory() / "flash.img"), flashBefore);
  EXPECT_EQ(Digest(module.Directory() / "nand.oob"), spareBefore);
}

TEST(FlashwickEndToEnd, CpldUpdateProgramsTheNewDesignWithinItsModuleTime) {
  const Module module("pxa320");
  std::string output;
  ASSERT_EQ(
      RunCommand(Executable("flashwick-module") + " cpld '" + module.Directory().string() + "'",
                 &output),
      0)
      << output;
  EXPECT_NE(output.find("0x00010003 (version 1.3)"), std::string::npos) << output;
  EXPECT_EQ(module.Run(R"(/u '\USB HD\IMAGES\cpld-update.bin')", &output), 1) << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
  // Erase, 98 rows of 10 ms, their reads and the player's own pace: a second and a half, not the
  // busy animation's ticks on top of it.
  const double update = Seconds(output, "Image Update: ");
  EXPECT_GT(update, 1.1) << output;
  EXPECT_LT(update, 2.5) << output;
  ASSERT_EQ(
      RunCommand(Executable("flashwick-module") + " cpld '" + module.Directory().string() + "'",
                 &output),
      0)
      << output;
  EXPECT_NE(output.find("0x00010004 (version 1.4)"), std::string::npos) << output;
}

TEST(FlashwickEndToEnd, FullBackupRestoresEveryRegion) {
  const Module module("pxa320");
  const std::uint32_t offset = module.OsOffset();
  std::string output;
  // First a newer OS, then the backup taken when the module was made brings the old one back.
  const Bytes original = module.Flash(offset, 0x10000);
  ASSERT_EQ(module.Run(R"(/u '\USB HD\IMAGES\os-update.bin')", &output), 1) << output;
  ASSERT_NE(module.Flash(offset, 0x10000), original);
  EXPECT_EQ(module.Run(R"(/u '\USB HD\IMAGES\full-backup.bin')", &output), 1) << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
  // The file system's driver is unloaded with its five-second delay: the time shows it.
  EXPECT_GT(Seconds(output, "Image Update: "), 5.0) << output;
  EXPECT_LT(Seconds(output, "Image Update: "), 30.0) << output;
  EXPECT_EQ(module.Flash(offset, 0x10000), original);
}

struct ExitCase {
  const char* name;
  const char* arguments;
  int exitCode;
  const char* shows;  // in the output
  bool reset;
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

class ExitCodes : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ExitCodes, AreTheProgramsOwnOrTwoWhenItCannotStart) {
  const ExitCase& c = GetParam();
  const Module module("pxa320");
  std::string output;
  EXPECT_EQ(module.Run(c.arguments, &output), c.exitCode) << output;
  EXPECT_NE(output.find(c.shows), std::string::npos) << output;
  EXPECT_EQ(output.find("resets") != std::string::npos, c.reset) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExitCodes,
    ::testing::Values(
        ExitCase{"SaveSilentlyThenWarmReset", "/fu /r", 1, "exit code 1 after", true},
        ExitCase{"SaveWithItsMessage", "/f", 1, "[Registry] Registry successfully saved", false},
        ExitCase{"UnknownFirstSwitch", "/x /fu /r", 0, "exit code 0 after", false},
        ExitCase{"UnknownSwitchAfterASuccess", "/fu /x/r", 1, "exit code 1 after", true},
        ExitCase{"MissingFile", R"(/u '\USB HD\IMAGES\absent.bin' /r)", 0,
                 "[ERROR] Cannot open image file\n        \\USB HD\\IMAGES\\absent.bin", false},
        ExitCase{"NoSwitchesOpensTheMainDialog", "", 1, "this dialog needs a person", false},
        // An empty name asks for the file; the batch asks nothing else.
        ExitCase{
            "EmptyNameTakesTheFileDialogsAnswer",
            R"(--answer '\USB HD\IMAGES\os-update.bin' /u /r)", 1,
            "[Open] IMAGE files (*.bin) in \\USB HD\\IMAGES\n  -> \\USB HD\\IMAGES\\os-update.bin",
            true},
        ExitCase{"EmptyNameWithoutAnAnswerIsCancelled", "/u /r", 0, "-> cancelled (no file given)",
                 false},
        ExitCase{"UnknownFrontEnd", "--ui window /r", 2, "--ui must be terminal or console", false},
        ExitCase{"UnknownPace", "--pace slow /r", 2, "--pace must be fast or real", false},
        ExitCase{"UnknownOption", "--colour /r", 2, "unknown option --colour", false},
        ExitCase{"UsbFolderMissing", "--usb /nonexistent/usb /r", 2, "not a folder", false}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

TEST(FlashwickEndToEnd, MissingModuleIsReportedWithoutCreatingIt) {
  TemporaryDirectory scratch;
  std::string output;
  EXPECT_EQ(RunCommand(Executable("flashwick") + " --ui console --module '" +
                           (scratch.Path() / "absent").string() + "' /r",
                       &output),
            2);
  EXPECT_NE(output.find("no such module"), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(scratch.Path() / "absent"));
}

// A fault plan item of a kind no component declares (a misspelt "nand.bad-block") would make the
// rehearsal a user asked for silently fault-free: both executables refuse the module, name the
// item and the field, and leave it as it was.
TEST(FlashwickEndToEnd, MisspeltFaultKindIsRefusedByBothExecutables) {
  const Module module("pxa320");
  const fs::path file = module.Directory() / "module.json";
  std::string text;
  ASSERT_TRUE(sim::ReadWholeFile(file, &text));
  sim::Json config = sim::Json::parse(text);
  config["faults"]["items"] = sim::Json::array({{{"kind", "nand.badblock"}, {"block", 5}}});
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(file, config.dump(2), &error)) << error;
  const std::uint64_t flashBefore = Digest(module.Directory() / "flash.img");
  const std::string runs[] = {
      Executable("flashwick-module") + " info '" + module.Directory().string() + "'",
      Executable("flashwick") + " --ui console --module '" + module.Directory().string() +
          R"(' /u '\USB HD\IMAGES\os-update.bin' /r)",
  };
  for (const std::string& run : runs) {
    SCOPED_TRACE(run);
    std::string output;
    EXPECT_NE(RunCommand(run, &output), 0) << output;
    EXPECT_NE(output.find("field \"faults.items[0].kind\""), std::string::npos) << output;
    EXPECT_NE(output.find("fault item 0 (nand.badblock): unknown kind"), std::string::npos)
        << output;
    EXPECT_NE(output.find("nand.bad-block"), std::string::npos) << output;  // the known kinds
  }
  std::string after;
  ASSERT_TRUE(sim::ReadWholeFile(file, &after));
  EXPECT_EQ(after, config.dump(2));
  EXPECT_EQ(Digest(module.Directory() / "flash.img"), flashBefore);
}

TEST(FlashwickEndToEnd, UsbFolderOfTheHostAppearsAsTheDrive) {
  const Module module("pxa300");
  TemporaryDirectory usb;
  fs::copy_file(module.Images() / "os-update.bin", usb.Path() / "New OS.bin");
  std::string output;
  EXPECT_EQ(module.Run("--usb '" + usb.Path().string() + R"(' /u '\USB HD\New OS.bin')", &output),
            1)
      << output;
  EXPECT_NE(output.find("Image Update: "), std::string::npos) << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
}

// The default module is made on first use, with its sample files.
TEST(FlashwickEndToEnd, DefaultModuleIsCreatedOnFirstUseWithSampleFiles) {
  TemporaryDirectory home;
  std::string output;
  EXPECT_EQ(RunCommand("FLASHWICK_HOME='" + home.Path().string() + "' " + Executable("flashwick") +
                           R"( --ui console /u '\USB HD\IMAGES\os-update.bin')",
                       &output),
            1)
      << output;
  EXPECT_NE(output.find("created the default module"), std::string::npos) << output;
  const fs::path images = home.Path() / "default" / "files" / "USB HD" / "IMAGES";
  for (const char* name : {"os-update.bin", "full-backup.bin", "cpld-update.bin", "damaged.bin"}) {
    EXPECT_TRUE(fs::is_regular_file(images / name)) << name;
  }
  // The second run finds it.
  EXPECT_EQ(RunCommand("FLASHWICK_HOME='" + home.Path().string() + "' " + Executable("flashwick") +
                           " --ui console /fu",
                       &output),
            1)
      << output;
  EXPECT_EQ(output.find("created the default module"), std::string::npos) << output;
}

}  // namespace
