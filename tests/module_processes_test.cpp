// Several processes on one module: two programs at once, a program killed while a chip works,
// and the module tool beside a running program. Each case ends with a module that the next run
// uses without a manual reset.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "library/flashwick_lib.h"
#include "sim/base/files.h"
#include "sim/module/machine.h"
#include "sim/os/os_flash.h"
#include "tests/support/module_fixture.h"
#include "tests/support/program_state.h"
#include "tests/support/tool_module.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Executable;
using testing_support::RunCommand;
using testing_support::ToolModule;

using Bytes = std::vector<std::uint8_t>;

// A backup of every region into a file of the module's drive, as the program takes one.
void Backup(const ToolModule& module, const char16_t* modulePath) {
  std::string error;
  ASSERT_TRUE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error)) << error;
  testing_support::ForgetProgramState();
  FwlStatus status = FWLInit();
  FlashRegion selection{REGION_ALL_TYPES, 0, 0, 0};
  if (status == FWL_OK) {
    status = FWLGetRegions(&selection, nullptr);
  }
  if (status == FWL_OK) {
    status = FWLBackupToFile(modulePath, selection.flags, nullptr, nullptr, nullptr);
  }
  testing_support::ForgetProgramState();
  sim::Detach();
  ASSERT_EQ(status, FWL_OK);
}

// A command run on a thread of its own, so that several run at once.
class Concurrent {
 public:
  explicit Concurrent(std::string command)
      : thread_([this, command = std::move(command)] { code_ = RunCommand(command, &output_); }) {}
  ~Concurrent() { Join(); }
  Concurrent(const Concurrent&) = delete;
  Concurrent& operator=(const Concurrent&) = delete;
  void Join() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  int Code() {
    Join();
    return code_;
  }
  const std::string& Output() {
    Join();
    return output_;
  }

 private:
  int code_ = -1;
  std::string output_;
  std::thread thread_;
};

// Module time of the first "Erasing Flash" progress line: the erase runs under the flash lock,
// so of two updates the one that erased later also wrote later.
double EraseStart(const std::string& output) {
  std::smatch match;
  if (!std::regex_search(output, match,
                         std::regex(R"(Erasing Flash [0-9]+% \(module time ([0-9.]+) s\))"))) {
    ADD_FAILURE() << "no erase progress in:\n" << output;
    return -1;
  }
  return std::stod(match[1]);
}

// Two updates at once on one NAND module: each takes its turn at the flash and ends with its own
// status, and the module is left with the image of the one that wrote last, whole.
TEST(ModuleProcesses, TwoUpdatesAtOnceEachEndWithTheirOwnStatusAndTheLaterImageWins) {
  const ToolModule module("pxa320");
  const std::uint32_t offset = module.OsOffset();
  constexpr std::uint32_t kLength = 0x10000;
  const Bytes backupImage = module.Flash(offset, kLength);
  // A second full backup, taken from a module that had the OS update: both files rewrite every
  // region, the config block included, and differ in the OS image.
  Bytes newImage;
  {
    const ToolModule donor("pxa320");
    std::string output;
    ASSERT_EQ(RunCommand(donor.ProgramLine(R"(/u '\USB HD\IMAGES\os-update.bin')"), &output), 1)
        << output;
    newImage = donor.Flash(offset, kLength);
    Backup(donor, u"\\USB HD\\IMAGES\\updated-backup.bin");
    fs::copy_file(donor.Images() / "updated-backup.bin", module.Images() / "updated-backup.bin");
  }
  ASSERT_NE(backupImage, newImage);

  Concurrent backup(module.ProgramLine(R"(/u '\USB HD\IMAGES\full-backup.bin')"));
  Concurrent update(module.ProgramLine(R"(/u '\USB HD\IMAGES\updated-backup.bin')"));
  // The image records are written under the flash lock, one update after the other. The file
  // system stage is not: both runs unload and load the flash disk's driver, and when their turns
  // cross, one of them finds the driver in the other's hands and says so. That run has still
  // written its images, and its own status is the failure it reports: the driver taken from it,
  // or its restore meeting the other's format.
  const char* const crossed[] = {"FAILED: Could not load/unload Flash filesystem driver!",
                                 "FAILED: Error during Flash filesystem restore!"};
  for (Concurrent* run : {&backup, &update}) {
    const std::string& output = run->Output();
    if (run->Code() == 1) {
      EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
    } else {
      ASSERT_EQ(run->Code(), 0) << output;
      EXPECT_TRUE(std::any_of(std::begin(crossed), std::end(crossed), [&](const char* line) {
        return output.find(line) != std::string::npos;
      })) << output;
    }
    EXPECT_EQ(output.find("virtual module fault"), std::string::npos) << output;
  }
  const bool updateLast = EraseStart(update.Output()) > EraseStart(backup.Output());
  EXPECT_EQ(module.Flash(offset, kLength), updateLast ? newImage : backupImage);

  // The config block kept its board data and the module works on: the next update runs clean.
  std::string output;
  EXPECT_EQ(RunCommand(module.ProgramLine(R"(/u '\USB HD\IMAGES\os-update.bin')"), &output), 1)
      << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
  EXPECT_EQ(module.Flash(offset, kLength), newImage);
}

// flashwick started in a process of its own, its output read line by line, to be killed.
class KillableRun {
 public:
  explicit KillableRun(std::vector<std::string> arguments) {
    int fds[2];
    if (::pipe(fds) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    const std::string program = Executable("flashwick");
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (std::string& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::dup2(fds[1], STDERR_FILENO);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    output_ = ::fdopen(fds[0], "r");
  }
  ~KillableRun() {
    Kill();
    if (output_ != nullptr) {
      std::fclose(output_);
    }
  }
  KillableRun(const KillableRun&) = delete;
  KillableRun& operator=(const KillableRun&) = delete;

  // Reads output until a line holds text; false when the process ended first.
  bool WaitFor(const std::string& text) {
    char line[1024];
    while (output_ != nullptr && std::fgets(line, sizeof(line), output_) != nullptr) {
      seen_ += line;
      if (std::string(line).find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  void Kill() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  [[nodiscard]] const std::string& Seen() const { return seen_; }

 private:
  pid_t pid_ = -1;
  std::FILE* output_ = nullptr;
  std::string seen_;
};

struct KillCase {
  const char* name;
  const char* preset;
  const char* killAt;  // the progress line after which the process is killed
};

void PrintTo(const KillCase& c, std::ostream* out) { *out << c.name; }

class KilledUpdate : public ::testing::TestWithParam<KillCase> {};

// An update killed while the chips work (in real pace, so that they are still at it): the next
// run needs no manual reset and does the whole update.
TEST_P(KilledUpdate, NextRunSucceedsWithoutAReset) {
  const KillCase& c = GetParam();
  const ToolModule module(c.preset);
  {
    KillableRun run({"--ui", "console", "--pace", "real", "--module", module.Directory().string(),
                     "/u", R"(\USB HD\IMAGES\os-update.bin)"});
    ASSERT_TRUE(run.WaitFor(c.killAt)) << run.Seen();
    run.Kill();
  }
  std::string output;
  EXPECT_EQ(RunCommand(module.ProgramLine(R"(/u '\USB HD\IMAGES\os-update.bin')"), &output), 1)
      << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
  EXPECT_NE(output.find("OK"), std::string::npos) << output;
  EXPECT_TRUE(sim::OtherAttachedProcesses(module.Directory()).empty());
}

INSTANTIATE_TEST_SUITE_P(Kills, KilledUpdate,
                         ::testing::Values(KillCase{"NorErase", "pxa270-32m", "Erasing Flash"},
                                           KillCase{"NandProgram", "pxa320", "Section Start"}),
                         [](const ::testing::TestParamInfo<KillCase>& info) {
                           return std::string(info.param.name);
                         });

// The module tool beside a running program: a reset is refused with the program named unless
// forced, and info and cpld say that what they show may be stale. A killed program no longer
// counts.
TEST(ModuleProcesses, ToolRefusesResetAndWarnsOfStaleStateWhileAProgramRuns) {
  const ToolModule module("pxa320");
  std::string output;
  {
    KillableRun run({"--ui", "console", "--pace", "real", "--module", module.Directory().string(),
                     "/u", R"(\USB HD\IMAGES\os-update.bin)", "/rc60000"});
    // Updated, it waits a minute before its reset.
    ASSERT_TRUE(run.WaitFor("s of module time")) << run.Seen();

    EXPECT_EQ(RunCommand(module.ToolLine("reset"), &output), 2) << output;
    EXPECT_NE(output.find("refused"), std::string::npos) << output;
    EXPECT_TRUE(std::regex_search(output, std::regex(R"(pid [0-9]+ \(flashwick\))"))) << output;
    EXPECT_NE(output.find("--force"), std::string::npos) << output;
    EXPECT_TRUE(fs::exists(module.Directory() / "ram" / "booted")) << "the module was reset";

    for (const char* command : {"info", "cpld"}) {
      EXPECT_EQ(RunCommand(module.ToolLine(command), &output), 0) << output;
      EXPECT_NE(output.find("may be stale"), std::string::npos) << command << "\n" << output;
      EXPECT_NE(output.find("(flashwick)"), std::string::npos) << command << "\n" << output;
    }
    EXPECT_EQ(RunCommand(module.ToolLine("info") + " --json", &output), 0) << output;
    EXPECT_NE(output.find("\"stale\""), std::string::npos) << output;

    EXPECT_EQ(RunCommand(module.ToolLine("reset") + " --force", &output), 0) << output;
    EXPECT_FALSE(fs::exists(module.Directory() / "ram" / "booted"));
    run.Kill();
  }
  for (const char* command : {"info", "cpld"}) {
    EXPECT_EQ(RunCommand(module.ToolLine(command), &output), 0) << output;
    EXPECT_EQ(output.find("may be stale"), std::string::npos) << command << "\n" << output;
  }
  EXPECT_EQ(RunCommand(module.ToolLine("reset"), &output), 0) << output;
  EXPECT_EQ(RunCommand(module.ProgramLine(R"(/u '\USB HD\IMAGES\os-update.bin')"), &output), 1)
      << output;
}

// A program that resets the module while another one runs on it: the reset waits for the other,
// whose locks and chips' state stay where they are, and happens once it has gone (here killed,
// so the next process to attach carries it out).
TEST(ModuleProcesses, ResetOfOneProgramWaitsForTheOtherProcesses) {
  const ToolModule module("pxa320");
  const fs::path ram = module.Directory() / "ram";
  std::string output;
  {
    KillableRun run({"--ui", "console", "--pace", "real", "--module", module.Directory().string(),
                     "/u", R"(\USB HD\IMAGES\os-update.bin)", "/rc60000"});
    ASSERT_TRUE(run.WaitFor("s of module time")) << run.Seen();
    std::string error;
    ASSERT_TRUE(sim::WriteWholeFile(ram / "witness", "kept until the reset\n", &error)) << error;

    EXPECT_EQ(RunCommand(module.ProgramLine("/r"), &output), 1) << output;
    EXPECT_TRUE(fs::exists(ram / "witness")) << "reset under a running program";
    EXPECT_TRUE(fs::exists(ram / "mutexes"));
    EXPECT_EQ(sim::OtherAttachedProcesses(module.Directory()).size(), 1u);
    run.Kill();
  }
  EXPECT_EQ(RunCommand(module.ToolLine("info"), &output), 0) << output;
  EXPECT_FALSE(fs::exists(ram / "witness")) << "the reset never came";
  EXPECT_FALSE(fs::exists(ram / "reset.deferred"));
  EXPECT_EQ(RunCommand(module.ProgramLine(R"(/u '\USB HD\IMAGES\os-update.bin')"), &output), 1)
      << output;
}

}  // namespace
