// flashwick-module cpld and play-xsvf, run as an engineer runs them.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "host/sample_content.h"
#include "sim/base/files.h"
#include "sim/module/machine.h"
#include "tests/support/module_fixture.h"
#include "tests/support/xsvf_test_stream.h"

namespace {

using testing_support::Executable;
using testing_support::RunCommand;
using testing_support::TemporaryDirectory;
using testing_support::TemporaryModule;

std::string Tool() { return Executable("flashwick-module"); }

std::string Quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

TEST(ModuleToolCpld, ShowsIdCodeAndUserCode) {
  TemporaryModule module("pxa300");
  std::string output;
  EXPECT_EQ(RunCommand(Tool() + " cpld " + Quoted(module.Directory()), &output), 0) << output;
  EXPECT_NE(output.find("IDCODE      0x16E5D093 (part 0x6E5D093, revision 1)"), std::string::npos)
      << output;
  EXPECT_NE(output.find("user code   0x00010003 (version 1.3)"), std::string::npos) << output;
}

TEST(ModuleToolCpld, PlaysAStreamWithATrace_AndTheNewUserCodeShows) {
  TemporaryModule module("pxa310");
  TemporaryDirectory scratch;
  const std::filesystem::path stream = xsvf_test::SampleStreamPath("xc2c64a_light_LED.xsvf");
  ASSERT_FALSE(stream.empty());
  const std::filesystem::path vcd = scratch.Path() / "jtag.vcd";
  std::string output;
  EXPECT_EQ(RunCommand(Tool() + " play-xsvf " + Quoted(module.Directory()) + " " + Quoted(stream) +
                           " --vcd " + Quoted(vcd),
                       &output),
            0)
      << output;
  EXPECT_NE(output.find("result      0 (no error)"), std::string::npos) << output;
  EXPECT_NE(output.find("commands    1417"), std::string::npos) << output;
  EXPECT_NE(output.find("virtual     "), std::string::npos) << output;
  std::ifstream trace(vcd);
  std::string first;
  std::getline(trace, first);
  EXPECT_EQ(first.rfind("$date", 0), 0u) << first;
  // The stream erased the part and programmed a design without a user code.
  EXPECT_EQ(RunCommand(Tool() + " cpld " + Quoted(module.Directory()), &output), 0) << output;
  EXPECT_NE(output.find("user code   0xFFFFFFFF"), std::string::npos) << output;
}

TEST(ModuleToolCpld, ArrayProgrammedWithoutTheLoad_ShowsWhatRunsAndWhatWaits) {
  TemporaryModule module("pxa300");
  TemporaryDirectory scratch;
  sample_content::ProgramOptions options;
  options.initialize = false;
  const xsvf_test::Bytes stream = sample_content::ProgramStream(
      {{sample_content::kCpldRows - 1, sample_content::UserCodeRow(0x00020001)}}, options);
  const std::filesystem::path file = scratch.Path() / "no-load.xsvf";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(stream.data()),
             static_cast<std::streamsize>(stream.size()));
  std::string output;
  ASSERT_EQ(
      RunCommand(Tool() + " play-xsvf " + Quoted(module.Directory()) + " " + Quoted(file), &output),
      0)
      << output;
  EXPECT_EQ(RunCommand(Tool() + " cpld " + Quoted(module.Directory()), &output), 0) << output;
  EXPECT_NE(output.find("user code   0x00010003 (version 1.3)"), std::string::npos) << output;
  EXPECT_NE(output.find("array       0x00020001 (version 2.1), not running yet"), std::string::npos)
      << output;
}

TEST(ModuleToolCpld, TruncatedStream_ReportsTheEndOfStreamError) {
  TemporaryModule module("pxa320");
  TemporaryDirectory scratch;
  const sample_content::Bytes full = xsvf_test::SampleStream("xc2c64a_idcode.xsvf");
  ASSERT_GE(full.size(), 40u);
  const std::filesystem::path cut = scratch.Path() / "cut.xsvf";
  ASSERT_TRUE(sim::WriteWholeFile(cut, std::span(full.data(), 40), nullptr));
  std::string output;
  EXPECT_EQ(
      RunCommand(Tool() + " play-xsvf " + Quoted(module.Directory()) + " " + Quoted(cut), &output),
      1)
      << output;
  EXPECT_NE(output.find("result      7 (the stream ended before XCOMPLETE)"), std::string::npos)
      << output;
}

TEST(ModuleToolCpld, ModuleWithoutCpld_SaysSo) {
  TemporaryModule module("pxa270-32m");
  std::string output;
  EXPECT_EQ(RunCommand(Tool() + " cpld " + Quoted(module.Directory()), &output), 1) << output;
  EXPECT_NE(output.find("no CPLD: processor identity 17"), std::string::npos) << output;
  const std::filesystem::path stream = xsvf_test::SampleStreamPath("xc2c64a_idcode.xsvf");
  ASSERT_FALSE(stream.empty());
  EXPECT_EQ(RunCommand(Tool() + " play-xsvf " + Quoted(module.Directory()) + " " + Quoted(stream),
                       &output),
            1)
      << output;
  EXPECT_NE(output.find("CPLD not opened: status 3"), std::string::npos) << output;
}

TEST(ModuleToolCpld, MissingStreamFile_UsageError) {
  TemporaryModule module("pxa320");
  std::string output;
  EXPECT_EQ(
      RunCommand(Tool() + " play-xsvf " + Quoted(module.Directory()) + " /no/such.xsvf", &output),
      2)
      << output;
  EXPECT_NE(output.find("/no/such.xsvf: cannot read"), std::string::npos) << output;
}

}  // namespace
