// flashwick-module rehearse --power-cut-sweep as a user runs it: the sample OS update swept at
// the erase of every block on a NOR and a NAND module, each cut reported as what it must cause;
// the module itself untouched and no copy left behind, also when the sweep cannot run or is
// interrupted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim/base/files.h"
#include "tests/support/tool_module.h"

namespace {

namespace fs = std::filesystem;
using sim::Json;
using testing_support::ToolModule;

// Every file of the module with its bytes, to show that a sweep changed nothing.
std::map<std::string, std::string> Snapshot(const fs::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    std::string bytes;
    if (entry.is_regular_file()) {
      EXPECT_TRUE(sim::ReadWholeFile(entry.path(), &bytes)) << entry.path();
    }
    files[fs::relative(entry.path(), directory).string()] = bytes;
  }
  return files;
}

// Folders of copies a sweep left beside the module.
std::vector<std::string> Leftovers(const fs::path& module) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(module.parent_path())) {
    if (entry.path().filename().string().rfind(".rehearse-", 0) == 0) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

std::string SampleUpdate(const ToolModule& module) {
  return ToolModule::Quote(module.Images() / "os-update.bin");
}

class RehearseSweep : public ::testing::TestWithParam<const char*> {};

// Every erase of the update is cut once. The erase of the OS image's first block leaves that
// block as it was, so the module still starts on its old image; from the second erase on the
// region holds neither image and the module does not start; the bootloader is never touched.
TEST_P(RehearseSweep, EveryBlock_EachCutReportsWhatItLeaves) {
  const ToolModule module(GetParam());
  const auto before = Snapshot(module.Directory());
  int status = -1;
  const Json report = module.ToolJson(
      "rehearse", SampleUpdate(module) + " --power-cut-sweep --every block", &status);
  ASSERT_EQ(status, 0) << report.dump(2);
  const Json& cuts = report["cuts"];
  ASSERT_GE(cuts.size(), 3u) << report.dump(2);
  EXPECT_EQ(report["erases"], cuts.size());  // one cut per erased block, none twice
  std::size_t osErases = 0;
  std::size_t starting = 0;
  for (const Json& cut : cuts) {
    SCOPED_TRACE(cut.dump());
    EXPECT_EQ(cut["operation"], "erase");
    // The run on the copy was cut where the mapped run had that operation.
    EXPECT_EQ(cut["fired"], cut["target"]);
    EXPECT_TRUE(cut["sameOperation"].get<bool>());
    EXPECT_EQ(cut["exitCode"], 1);
    EXPECT_EQ(cut["reported"].get<std::string>().rfind("FAILED: power cut during the ", 0), 0u);
    EXPECT_EQ(cut["regions"]["Bootloader"], "unchanged");
    EXPECT_EQ(cut["regions"]["Config Block"], "unchanged");
    starting += cut["starts"].get<bool>() ? 1 : 0;
    if (cut["region"] != "OS Image") {
      continue;
    }
    if (osErases++ == 0) {
      EXPECT_EQ(cut["regions"]["OS Image"], "before");
      EXPECT_TRUE(cut["starts"].get<bool>());
    } else {
      EXPECT_EQ(cut["regions"]["OS Image"], "lost");
      EXPECT_FALSE(cut["starts"].get<bool>());
      // The bootloader is whole: the module waits in it for an OS.
      EXPECT_EQ(cut["boot"], "bootloader") << cut.dump();
    }
  }
  EXPECT_GE(osErases, 2u);
  const Json& summary = report["summary"];
  EXPECT_EQ(summary["cuts"], cuts.size());
  EXPECT_EQ(summary["starts"], starting);
  EXPECT_EQ(summary["lost"]["OS Image"], osErases - 1);
  EXPECT_EQ(summary["lost"]["Bootloader"], 0);
  EXPECT_EQ(summary["differentOperation"], 0);
  EXPECT_EQ(Snapshot(module.Directory()), before);
  EXPECT_TRUE(Leftovers(module.Directory()).empty());
}

INSTANTIATE_TEST_SUITE_P(Modules, RehearseSweep, ::testing::Values("pxa270-32m", "pxa320"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             c = c == '-' ? '_' : c;
                           }
                           return name;
                         });

// Cuts every Nth operation, programs among them: a page cut half-way through the OS image leaves
// it lost. The table names each cut and ends with the summary line.
TEST(RehearseSweepEvery, ProgramCuts_LoseTheOsImageAndTheTableSaysSo) {
  const ToolModule module("pxa320");
  int status = -1;
  const Json report =
      module.ToolJson("rehearse", SampleUpdate(module) + " --power-cut-sweep --every 200", &status);
  ASSERT_EQ(status, 0) << report.dump(2);
  const std::uint64_t operations = report["operations"];
  ASSERT_EQ(report["cuts"].size(), (operations - 1) / 200 + 1);
  std::size_t programs = 0;
  for (std::size_t i = 0; i < report["cuts"].size(); ++i) {
    const Json& cut = report["cuts"][i];
    SCOPED_TRACE(cut.dump());
    EXPECT_EQ(cut["cut"], 1 + 200 * i);
    EXPECT_EQ(cut["fired"], cut["target"]);
    if (cut["operation"] == "program" && cut["region"] == "OS Image") {
      ++programs;
      EXPECT_EQ(cut["regions"]["OS Image"], "lost");
      EXPECT_FALSE(cut["starts"].get<bool>());
    }
  }
  EXPECT_GE(programs, 2u);

  std::string output;
  ASSERT_EQ(
      module.Tool("rehearse", SampleUpdate(module) + " --power-cut-sweep --every 400", &output), 0)
      << output;
  EXPECT_NE(output.find("OS Image"), std::string::npos) << output;
  EXPECT_NE(output.find("LOST"), std::string::npos) << output;
  EXPECT_NE(output.find("cuts of " + std::to_string(operations) + " flash operations"),
            std::string::npos)
      << output;
}

// A sweep that cannot run says why, with its own exit status, and leaves nothing behind.
TEST(RehearseRefusals, EachSaysWhyAndLeavesNothing) {
  const ToolModule module("pxa320");
  std::string output;
  ASSERT_EQ(module.Tool("fault add", "power-cut after=3", &output), 0) << output;
  auto before = Snapshot(module.Directory());
  EXPECT_EQ(module.Tool("rehearse", SampleUpdate(module) + " --power-cut-sweep", &output), 1)
      << output;
  EXPECT_NE(output.find("cuts the power already (item 0)"), std::string::npos) << output;
  EXPECT_EQ(Snapshot(module.Directory()), before);
  ASSERT_EQ(module.Tool("fault clear", "", &output), 0) << output;
  before = Snapshot(module.Directory());
  struct Case {
    std::string arguments;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"'" + module.File("missing.bin").string() + "' --power-cut-sweep", 1, "no such file"},
      {SampleUpdate(module), 1, "--power-cut-sweep"},
      {SampleUpdate(module) + " --power-cut-sweep --every 0", 1, "--every takes"},
      {SampleUpdate(module) + " --power-cut-sweep --every two", 1, "--every takes"},
      {SampleUpdate(module) + " --power-cut-sweep --jobs 0", 1, "--jobs takes"},
      {SampleUpdate(module) + " --power-cut-sweep --cuts 3", 2, "unknown option --cuts"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.arguments);
    EXPECT_EQ(module.Tool("rehearse", test.arguments, &output), test.status) << output;
    EXPECT_NE(output.find(test.says), std::string::npos) << output;
  }
  EXPECT_EQ(Snapshot(module.Directory()), before);
  EXPECT_TRUE(Leftovers(module.Directory()).empty());

  // A file the update refuses is refused before any cut.
  EXPECT_EQ(module.Tool("rehearse",
                        ToolModule::Quote(module.Images() / "damaged.bin") + " --power-cut-sweep",
                        &output),
            1)
      << output;
  EXPECT_NE(output.find("the update refuses the file"), std::string::npos) << output;
  EXPECT_TRUE(Leftovers(module.Directory()).empty());
}

// Another process on the module: a copy taken now could catch it half-way, so nothing is done.
TEST(RehearseRefusals, BusyModule_ExitsTwo) {
  const ToolModule module("pxa270-32m");
  std::FILE* holder = ::popen((module.ToolLine("hold-lock") + " --ms 3000").c_str(), "r");
  ASSERT_NE(holder, nullptr);
  char line[128] = {};
  ASSERT_NE(std::fgets(line, sizeof(line), holder), nullptr);
  std::string output;
  EXPECT_EQ(module.Tool("rehearse", SampleUpdate(module) + " --power-cut-sweep", &output), 2)
      << output;
  EXPECT_NE(output.find("busy"), std::string::npos) << output;
  EXPECT_TRUE(Leftovers(module.Directory()).empty());
  ::pclose(holder);
}

// Ctrl-C during a long sweep: the runs on copies end, the copies are removed, the module is as
// it was.
TEST(RehearseInterrupted, CopiesAreRemoved) {
  const ToolModule module("pxa270-32m");
  const auto before = Snapshot(module.Directory());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string command = "exec " + module.ToolLine("rehearse") + " " + SampleUpdate(module) +
                                " --power-cut-sweep --every 1 >/dev/null 2>&1";
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Waits until the sweep has made its copies and started cutting.
  bool cutting = false;
  for (int i = 0; i < 600 && !cutting; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const std::string& folder : Leftovers(module.Directory())) {
      for (const auto& entry : fs::directory_iterator(folder)) {
        cutting = cutting || entry.path().filename().string().rfind("cut-", 0) == 0;
      }
    }
  }
  EXPECT_TRUE(cutting);
  ASSERT_EQ(::kill(child, SIGINT), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
  EXPECT_TRUE(Leftovers(module.Directory()).empty());
  EXPECT_EQ(Snapshot(module.Directory()), before);
}

}  // namespace
