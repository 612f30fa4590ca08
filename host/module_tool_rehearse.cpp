// flashwick-module rehearse: an update of FILE tried on copies of the module with the power cut
// at one flash operation after another, to see before a real module is at stake what a power
// failure during that update leaves behind.
//
// The sweep maps the update first: it runs once, uncut, on a copy, in this process through the
// library calls the program makes, while the fault plan reports every flash operation (erase or
// program) with its place. That copy's flash is what a complete update leaves. Then, for each
// cut k, a fresh copy gets a "power-cut" item with after = k - 1, the flashwick executable runs
// the update on it as an engineer would, the copy restarts as after a power cut, and each
// region's flash is compared with the module's before the update and with the mapped run's
// after it. Copies are clones or sparse copies of the module's files; they live in one folder
// beside the module (or in $TMPDIR) that is removed when the sweep ends, fails or is
// interrupted. The module itself is only read, once, at the start.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/work_buffer.h"
#include "host/module_tool.h"
#include "library/flashwick_lib.h"
#include "platform/kernel.h"
#include "shell/shell.h"
#include "sim/base/files.h"
#include "sim/base/sparse_copy.h"
#include "sim/base/utf.h"
#include "sim/module/boot_flash.h"
#include "sim/module/fault_plan.h"
#include "sim/module/machine.h"

extern char** environ;

namespace module_tool {
namespace {

namespace fs = std::filesystem;
using sim::Json;

// Exit codes of this command: the sweep ran (whatever it found), it could not run, the module
// is busy with another process.
constexpr int kSweepRan = 0;
constexpr int kSweepFailed = 1;
constexpr int kModuleBusy = 2;

// NAND geometry of every supported chip: the flash offset of a page's data is its page number
// times the page size, and its spare area lies at the page number times the spare size in
// nand.oob.
constexpr std::uint64_t kNandPageBytes = 2048;
constexpr std::uint64_t kNandSpareBytes = 64;
constexpr std::uint64_t kNandBlockBytes = kNandPageBytes * 64;

int SweepFail(const std::string& message) {
  std::fprintf(stderr, "flashwick-module: rehearse: %s\n", message.c_str());
  return kSweepFailed;
}

// ---------------------------------------------------------------------------------------------
// The work folder and interruption
// ---------------------------------------------------------------------------------------------
// Child processes running now (flashwick on a copy), killed when the sweep is interrupted.
std::mutex ChildrenMutex;
std::vector<pid_t> RunningChildren;
std::atomic<int> StopSignal{0};

// Blocks the signals that end the sweep in every thread and turns them into StopSignal, so that
// a Ctrl-C still removes the copies. The children start with the signals unblocked.
class InterruptWatch {
 public:
  InterruptWatch() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    thread_ = std::thread([this] { Watch(); });
  }
  ~InterruptWatch() {
    done_.store(true);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

 private:
  void Watch() {
    const timespec wait{0, 50 * 1000 * 1000};
    while (!done_.load()) {
      const int signal = sigtimedwait(&signals_, nullptr, &wait);
      if (signal <= 0) {
        continue;
      }
      StopSignal.store(signal);
      std::lock_guard<std::mutex> lock(ChildrenMutex);
      for (const pid_t child : RunningChildren) {
        ::kill(child, SIGKILL);
      }
    }
  }

  sigset_t signals_{};
  sigset_t previous_{};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The folder that holds every copy of one sweep; removed with everything in it.
class WorkFolder {
 public:
  WorkFolder() = default;
  ~WorkFolder() {
    if (!path_.empty()) {
      std::error_code code;
      fs::remove_all(path_, code);
    }
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  // Makes the folder beside the module, or in the temporary folder when the module's parent
  // cannot take it (copies share blocks only within one file system, so beside is better).
  bool Make(const fs::path& module, std::string* error) {
    std::error_code code;
    const fs::path parent = fs::absolute(module, code).parent_path();
    const std::string name = ".rehearse-" + fs::absolute(module, code).filename().string();
    for (const fs::path& place : {parent, fs::temp_directory_path(code)}) {
      std::string pattern = (place / (name + "-XXXXXX")).string();
      if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
        return true;
      }
    }
    *error = "cannot make a folder for the copies beside " + module.string() +
             " or in the temporary folder: " + std::strerror(errno);
    return false;
  }
  [[nodiscard]] const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// ---------------------------------------------------------------------------------------------
// The module's regions and their flash in the module's files
// ---------------------------------------------------------------------------------------------
struct Region {
  std::string name;
  DWORD kind = 0;
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  bool written = false;  // the file overwrites it
};

// Where a region's bytes lie in the module's files: flash.img holds the flash bytes at their
// offsets (complemented or not, the same in every copy); a NAND module's spare areas are in
// nand.oob, a page's at its page number times the spare size.
struct FileStretch {
  const char* file;
  std::uint64_t begin;
  std::uint64_t end;
};

std::vector<FileStretch> StretchesOf(const Region& region, bool nand) {
  std::vector<FileStretch> stretches{{"flash.img", region.start, region.start + region.length}};
  if (nand) {
    stretches.push_back({"nand.oob", region.start / kNandPageBytes * kNandSpareBytes,
                         (region.start + region.length) / kNandPageBytes * kNandSpareBytes});
  }
  return stretches;
}

// Open files of a module copy, for comparisons.
class ModuleFiles {
 public:
  explicit ModuleFiles(const fs::path& directory) {
    for (const char* name : {"flash.img", "nand.oob"}) {
      files_[name] = ::open((directory / name).c_str(), O_RDONLY | O_CLOEXEC);
    }
  }
  ~ModuleFiles() {
    for (const auto& [name, fd] : files_) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }
  ModuleFiles(const ModuleFiles&) = delete;
  ModuleFiles& operator=(const ModuleFiles&) = delete;
  [[nodiscard]] int Fd(const std::string& name) const { return files_.at(name); }

 private:
  std::map<std::string, int> files_;
};

bool RegionSame(const ModuleFiles& a, const ModuleFiles& b, const Region& region, bool nand) {
  for (const FileStretch& stretch : StretchesOf(region, nand)) {
    const int first = a.Fd(stretch.file);
    const int second = b.Fd(stretch.file);
    if (first < 0 || second < 0 || !sim::SameBytes(first, second, stretch.begin, stretch.end)) {
      return false;
    }
  }
  return true;
}

enum class RegionState : std::uint8_t {
  kUnchanged,  // the update leaves the region as it is, and so did the cut
  kAsBefore,   // holds what it held before the update
  kAsFile,     // holds what the complete update writes
  kLost,       // holds neither
  kChanged,    // the update does not write it; the module's OS did (its file system driver)
};

const char* StateName(RegionState state) {
  switch (state) {
    case RegionState::kUnchanged:
      return "unchanged";
    case RegionState::kAsBefore:
      return "before";
    case RegionState::kAsFile:
      return "updated";
    case RegionState::kChanged:
      return "changed";
    case RegionState::kLost:
    default:
      return "lost";
  }
}

// ---------------------------------------------------------------------------------------------
// The mapped run: the uncut update, with every flash operation it does
// ---------------------------------------------------------------------------------------------
struct Operation {
  bool erase = false;
  std::string target;        // as the fault plan names it: "erase of block 12", "program at ..."
  std::uint64_t offset = 0;  // the flash offset it starts at
};

// The flash offset an operation's name points at: "block N" and "page N" of NAND, "at 0x..."
// of NOR.
std::uint64_t OffsetOf(const std::string& target) {
  if (const auto at = target.find(" at 0x"); at != std::string::npos) {
    return std::strtoull(target.c_str() + at + 4, nullptr, 16);
  }
  if (const auto block = target.find("block "); block != std::string::npos) {
    return std::strtoull(target.c_str() + block + 6, nullptr, 10) * kNandBlockBytes;
  }
  if (const auto page = target.find("page "); page != std::string::npos) {
    return std::strtoull(target.c_str() + page + 5, nullptr, 10) * kNandPageBytes;
  }
  return 0;
}

std::string PlaceOf(const std::string& target) {
  if (const auto at = target.find(" at 0x"); at != std::string::npos) {
    return target.substr(at + 4);
  }
  for (const char* word : {"block ", "page "}) {
    if (const auto at = target.find(word); at != std::string::npos) {
      return target.substr(at);
    }
  }
  return target;
}

struct MappedRun {
  std::vector<Region> regions;
  std::vector<Operation> operations;
  std::string status;  // the library's result of the uncut update
  double moduleSeconds = 0;
};

// Where the update reads FILE: a file of this computer is shown as the module's USB drive.
struct UpdateFile {
  fs::path usbFolder;         // empty: the file is on the module
  std::u16string modulePath;  // as /u gets it
};

// Runs the update uncut on the copy in this process and records its flash operations. Returns
// 0, or the exit code with the reason printed.
int MapUpdate(const fs::path& copy, const fs::path& afterFolder, const UpdateFile& file,
              MappedRun* run) {
  sim::AttachOptions options;
  options.usbFolder = file.usbFolder;
  // Counted from the attach on, as the power cut counts them: the module's OS may work on its
  // flash while it starts (its file system driver), before the update begins.
  std::mutex mutex;
  sim::FaultPlan::SetOperationHandler([&](std::uint64_t index, const std::string& target) {
    std::lock_guard<std::mutex> lock(mutex);
    if (index == run->operations.size()) {
      run->operations.push_back(
          {target.find("erase") != std::string::npos, target, OffsetOf(target)});
    }
  });
  std::string error;
  if (!sim::Attach(copy, options, &error)) {
    sim::FaultPlan::SetOperationHandler(nullptr);
    return SweepFail(error);
  }
  struct Detacher {
    ~Detacher() {
      sim::FaultPlan::SetOperationHandler(nullptr);
      (void)FWLCloseBinFile();
      FreeWorkBuffer();
      sim::Detach();
    }
  } detacher;
  if (LookAtFlashLock() != FlashLockState::kFree) {
    return SweepFail(kFlashLockHeldText);
  }
  if (const FwlStatus init = FWLInit(); init != FWL_OK) {
    return SweepFail(std::string("the library did not start on this module: ") +
                     FwlStatusName(init));
  }
  (void)FWLScanRegions(REGION_ALL_TYPES);
  for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
    const FlashRegion& entry = RegionTable[i];
    if ((entry.flags & REGION_NOT_PRESENT) != 0 || entry.length == 0) {
      continue;
    }
    const DWORD kind = entry.flags & REGION_ALL_TYPES;
    const WCHAR* name = RegionName(kind);
    run->regions.push_back(
        {name != nullptr ? sim::ToUtf8(name) : "region", kind, entry.start, entry.length});
  }
  ImageInfo info{};
  if (const FwlStatus status = FWLSetBinFile(file.modulePath.c_str(), &info, nullptr, 1);
      status != FWL_OK) {
    return SweepFail("the update refuses the file: " + std::string(FwlStatusName(status)) +
                     " (flashwick-module bin FILE says why)");
  }
  if (info.types == 0) {
    return SweepFail("the file holds no update data for this module");
  }
  // The regions the update overwrites, as the program names them before it starts.
  DWORD overlap = REGION_ALL_TYPES;
  if (FWLGetRegionsInRange(&overlap, info.start, info.length) == FWL_ERR_RANGE) {
    return SweepFail("the file's range crosses a region it does not name; the program refuses it");
  }
  for (Region& region : run->regions) {
    region.written = (overlap & region.kind) != 0;
  }
  const FwlStatus status = FWLDoUpdate(nullptr, nullptr, nullptr);
  sim::FaultPlan::SetOperationHandler(nullptr);
  // What the flash holds when the update returns is what a complete update leaves: taken now,
  // before the module's OS goes on with its own work at the program's end, which no cut of the
  // sweep reaches.
  std::error_code code;
  fs::create_directories(afterFolder, code);
  for (const char* name : {"flash.img", "nand.oob"}) {
    sim::CopyMethod method = sim::CopyMethod::kSparse;
    if (fs::exists(copy / name, code) &&
        !sim::CopyFileCheaply(copy / name, afterFolder / name, &method, &error)) {
      return SweepFail("cannot keep the updated flash: " + error);
    }
  }
  run->status = FwlStatusName(status) != nullptr ? FwlStatusName(status) : "unknown status";
  run->moduleSeconds = FWLGetOperationTime() / 1000.0;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// One cut
// ---------------------------------------------------------------------------------------------
struct CutResult {
  std::uint64_t cut = 0;    // the flash operation cut, counted from 1
  bool ran = false;         // the copy was made and flashwick ran on it
  std::string error;        // why not
  std::string firedTarget;  // what the power cut hit, as the run reported it
  bool matches = false;     // ... the same operation as the mapped run's at this place
  bool starts = false;      // the OS started at the restart after the cut
  std::string boot;         // what the restart started: "os", "bootloader" or "none"
  std::string bootReason;   // why, when the OS did not start
  std::vector<RegionState> states;
  int exitCode = -1;
  std::string reported;  // the program's last line
};

struct Sweep {
  fs::path work;
  fs::path base;       // the module as it was, copied once
  fs::path mapped;     // the copy the complete update ran on
  fs::path after;      // its flash files when the update returned
  fs::path flashwick;  // the executable
  UpdateFile file;
  bool nand = false;
  const MappedRun* run = nullptr;
  std::vector<RegionState> unchangedRegions;  // kUnchanged where before and after agree
};

fs::path Flashwick() {
  std::error_code code;
  return fs::read_symlink("/proc/self/exe", code).parent_path() / "flashwick";
}

// Runs flashwick on the copy with its output in outputFile; the exit code, or -1 when it could
// not start or was killed.
int RunFlashwick(const Sweep& sweep, const fs::path& copy, const fs::path& outputFile) {
  std::vector<std::string> words{sweep.flashwick.string(), "--ui", "console",  "--pace",     "fast",
                                 "--exit-status",          "unix", "--module", copy.string()};
  if (!sweep.file.usbFolder.empty()) {
    words.insert(words.end(), {"--usb", sweep.file.usbFolder.string()});
  }
  words.insert(words.end(), {"--", "/u", sim::ToUtf8(sweep.file.modulePath)});
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  int spawned = 0;
  {
    std::lock_guard<std::mutex> lock(ChildrenMutex);
    spawned = StopSignal.load() != 0
                  ? EINTR
                  : posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ);
    if (spawned == 0) {
      RunningChildren.push_back(child);
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    return -1;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> lock(ChildrenMutex);
    RunningChildren.erase(std::find(RunningChildren.begin(), RunningChildren.end(), child));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Adds the power cut to the copy's fault plan.
bool AddPowerCut(const fs::path& copy, std::uint64_t after, std::string* error) {
  Json config;
  if (!sim::ReadModuleConfig(copy, &config, error)) {
    return false;
  }
  Json& faults = config["faults"];
  if (!faults.is_object()) {
    faults = Json{{"seed", 1}, {"items", Json::array()}};
  }
  faults["items"].push_back({{"kind", "power-cut"}, {"after", after}});
  return sim::WriteWholeFile(copy / "module.json", config.dump(2) + "\n", error);
}

// The last line that says something, and what the power cut hit ("" when it did not fire).
void ReadOutput(const fs::path& outputFile, std::string* lastLine, std::string* fired) {
  std::string text;
  (void)sim::ReadWholeFile(outputFile, &text);
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = std::min(text.find('\n', from), text.size());
    const std::string line = text.substr(from, end - from);
    from = end + 1;
    if (line.empty()) {
      continue;
    }
    *lastLine = line;
    constexpr std::string_view kFired = "fault power-cut (item ";
    if (const auto at = line.find(kFired); at != std::string::npos && fired->empty()) {
      if (const auto target = line.find("fired: ", at); target != std::string::npos) {
        const std::size_t begin = target + 7;
        const std::size_t stop = line.find(", module time", begin);
        *fired = line.substr(begin, stop == std::string::npos ? std::string::npos : stop - begin);
      }
    }
  }
}

// Module resets go one at a time: they read module.json through the components' checks.
std::mutex ResetMutex;

CutResult RunCut(const Sweep& sweep, std::uint64_t cut) {
  CutResult result;
  result.cut = cut;
  const fs::path copy = sweep.work / ("cut-" + std::to_string(cut));
  const fs::path output = sweep.work / ("cut-" + std::to_string(cut) + ".out");
  struct Remover {
    fs::path copy, output;
    ~Remover() {
      std::error_code code;
      fs::remove_all(copy, code);
      fs::remove(output, code);
    }
  } remover{copy, output};
  std::string error;
  if (!sim::CopyTreeCheaply(sweep.base, copy, {}, nullptr, &error) ||
      !AddPowerCut(copy, cut - 1, &error)) {
    result.error = error;
    return result;
  }
  result.exitCode = RunFlashwick(sweep, copy, output);
  if (StopSignal.load() != 0) {
    result.error = "interrupted";
    return result;
  }
  ReadOutput(output, &result.reported, &result.firedTarget);
  {
    // The module starts again, as after a power cut (flashwick did so already when the cut
    // ended it; a run that ended otherwise leaves its RAM to clear).
    std::lock_guard<std::mutex> lock(ResetMutex);
    if (!sim::ResetModuleAfterPowerCut(copy, &error)) {
      result.error = error;
      return result;
    }
    // What the restart found in the flash: the module's own boot decision.
    sim::BootLook look;
    if (!sim::LookAtBootFlash(copy, &look, &error)) {
      result.error = error;
      return result;
    }
    result.starts = look.outcome == sim::BootOutcome::kOs;
    result.boot = sim::BootOutcomeName(look.outcome);
    if (!result.starts) {
      result.bootReason = look.reason;
    }
  }
  const Operation& operation = sweep.run->operations[cut - 1];
  result.matches = result.firedTarget == operation.target;
  const ModuleFiles before(sweep.base);
  const ModuleFiles after(sweep.after);
  const ModuleFiles now(copy);
  for (std::size_t i = 0; i < sweep.run->regions.size(); ++i) {
    const Region& region = sweep.run->regions[i];
    RegionState state = RegionState::kLost;
    if (RegionSame(now, before, region, sweep.nand)) {
      state = sweep.unchangedRegions[i] == RegionState::kUnchanged || !region.written
                  ? RegionState::kUnchanged
                  : RegionState::kAsBefore;
    } else if (!region.written) {
      // What the module's OS keeps there carries its own times and counters, which differ
      // from run to run: a change is reported as such, never as a loss.
      state = RegionState::kChanged;
    } else if (RegionSame(now, after, region, sweep.nand)) {
      state = RegionState::kAsFile;
    }
    result.states.push_back(state);
  }
  result.ran = true;
  return result;
}

// ---------------------------------------------------------------------------------------------
// The command
// ---------------------------------------------------------------------------------------------
// The step of --every N (1 when not given); false with the reason for anything but a number
// from 1 up or "block".
bool EveryStep(const std::string& every, unsigned long long* step, std::string* error) {
  *step = 1;
  if (every == "block" || every.empty()) {
    return true;
  }
  if (!ParseNumber(every, step) || *step == 0) {
    *error =
        "--every takes a number of operations from 1 up, or \"block\" (one cut at the erase "
        "of every block the update erases), not \"" +
        every + "\"";
    return false;
  }
  return true;
}

// The cuts of the sweep, each counted from 1: every Nth operation, or the erase of each block.
bool ChooseCuts(const std::string& every, const MappedRun& run, std::vector<std::uint64_t>* cuts,
                std::string* error) {
  const std::uint64_t total = run.operations.size();
  if (every == "block") {
    std::vector<std::uint64_t> erased;
    for (std::uint64_t i = 0; i < total; ++i) {
      const Operation& operation = run.operations[i];
      if (operation.erase &&
          std::find(erased.begin(), erased.end(), operation.offset) == erased.end()) {
        erased.push_back(operation.offset);
        cuts->push_back(i + 1);
      }
    }
    return true;
  }
  unsigned long long step = 1;
  if (!EveryStep(every, &step, error)) {
    return false;
  }
  for (std::uint64_t cut = 1; cut <= total; cut += step) {
    cuts->push_back(cut);
  }
  return true;
}

bool ResolveFile(const std::string& given, UpdateFile* file, std::string* error) {
  std::error_code code;
  if (!given.empty() && given.front() == '\\') {
    file->modulePath = sim::FromUtf8(given);  // a file on the module
    return true;
  }
  const fs::path host = fs::absolute(given, code);
  if (code || !fs::is_regular_file(host, code)) {
    *error = "\"" + given +
             "\": no such file on this computer (a file on the module is given as "
             "'\\USB HD\\IMAGES\\os-update.bin')";
    return false;
  }
  file->usbFolder = host.parent_path();
  file->modulePath = u"\\USB HD\\" + sim::FromUtf8(host.filename().string());
  return true;
}

// The table's word: the JSON's, with a dash for unchanged and a loss in capitals.
std::string Abbreviation(RegionState state) {
  if (state == RegionState::kUnchanged) {
    return "-";
  }
  if (state == RegionState::kLost) {
    return "LOST";
  }
  return StateName(state);
}

const Region* RegionAt(const std::vector<Region>& regions, std::uint64_t offset) {
  for (const Region& region : regions) {
    if (offset >= region.start && offset < region.start + region.length) {
      return &region;
    }
  }
  return nullptr;
}

int Rehearse(const Arguments& arguments) {
  if (!arguments.Has("power-cut-sweep")) {
    return SweepFail("say what to rehearse: --power-cut-sweep (the only rehearsal so far)");
  }
  const std::size_t count = arguments.positional.size();
  const std::string given = arguments.positional[count - 1];
  const fs::path module =
      count == 2 ? fs::path(arguments.positional[0]) : ModuleDirectoryArgument(Arguments{});
  const bool json = arguments.Has("json");
  std::string error;
  if (unsigned long long step = 1; !EveryStep(arguments.Get("every"), &step, &error)) {
    return SweepFail(error);
  }
  unsigned long long jobs = std::max(1u, std::thread::hardware_concurrency());
  if (arguments.Has("jobs") &&
      (!ParseNumber(arguments.Get("jobs"), &jobs) || jobs == 0 || jobs > 64)) {
    return SweepFail("--jobs takes a number of parallel runs from 1 to 64");
  }
  Json config;
  if (!sim::LoadModuleConfig(module, &config, &error)) {
    return SweepFail(error);
  }
  if (const std::string others = AttachedProcessesText(module); !others.empty()) {
    std::fprintf(stderr,
                 "flashwick-module: rehearse: the module is busy (%s); a copy taken now could "
                 "catch it half-way through a change; nothing was done, try again when it is "
                 "done\n",
                 others.c_str());
    return kModuleBusy;
  }
  if (const auto items = config["faults"].find("items"); items != config["faults"].end()) {
    for (std::size_t i = 0; i < items->size(); ++i) {
      if ((*items)[i].value("kind", "") == "power-cut") {
        return SweepFail("the module's fault plan cuts the power already (item " +
                         std::to_string(i) +
                         "); the sweep adds its own cuts: clear that item first "
                         "(flashwick-module fault clear)");
      }
    }
  }
  Sweep sweep;
  if (!ResolveFile(given, &sweep.file, &error)) {
    return SweepFail(error);
  }
  sweep.nand = config["flash"].value("kind", "") == "nand";
  sweep.flashwick = Flashwick();
  if (::access(sweep.flashwick.c_str(), X_OK) != 0) {
    return SweepFail(sweep.flashwick.string() + ": the program is not beside this tool");
  }

  const auto started = std::chrono::steady_clock::now();
  const InterruptWatch interrupts;
  WorkFolder work;
  if (!work.Make(module, &error)) {
    return SweepFail(error);
  }
  sweep.work = work.Path();
  sweep.base = sweep.work / "before";
  sweep.mapped = sweep.work / "mapped";
  sweep.after = sweep.work / "after";
  // The processes' entries would name processes that have nothing to do with the copies.
  std::uint64_t copiedBytes = 0;
  if (!sim::CopyTreeCheaply(module, sweep.base, {fs::path("ram") / "processes"}, &copiedBytes,
                            &error) ||
      !sim::CopyTreeCheaply(sweep.base, sweep.mapped, {}, nullptr, &error)) {
    return SweepFail("cannot copy the module: " + error);
  }
  MappedRun run;
  if (const int code = MapUpdate(sweep.mapped, sweep.after, sweep.file, &run); code != 0) {
    return code;
  }
  sweep.run = &run;
  std::vector<std::uint64_t> cuts;
  if (!ChooseCuts(arguments.Get("every"), run, &cuts, &error)) {
    return SweepFail(error);
  }
  {
    const ModuleFiles before(sweep.base);
    const ModuleFiles after(sweep.after);
    for (const Region& region : run.regions) {
      sweep.unchangedRegions.push_back(RegionSame(before, after, region, sweep.nand)
                                           ? RegionState::kUnchanged
                                           : RegionState::kAsFile);
    }
  }

  // The cuts, shared out among the workers in order.
  std::vector<CutResult> results(cuts.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  const std::size_t workerCount =
      std::min<std::size_t>(jobs, std::max<std::size_t>(1, cuts.size()));
  for (std::size_t w = 0; w < workerCount; ++w) {
    workers.emplace_back([&] {
      for (std::size_t i = next++; i < cuts.size() && StopSignal.load() == 0; i = next++) {
        results[i] = RunCut(sweep, cuts[i]);
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  if (const int signal = StopSignal.load(); signal != 0) {
    std::fprintf(stderr, "flashwick-module: rehearse: interrupted (%s); the copies are removed\n",
                 strsignal(signal));
    return 128 + signal;
  }
  for (const CutResult& result : results) {
    if (!result.ran) {
      return SweepFail("cut " + std::to_string(result.cut) + ": " + result.error);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  // What the cuts found.
  std::size_t starting = 0;
  std::size_t mismatched = 0;
  std::vector<std::size_t> lostCounts(run.regions.size(), 0);
  Json cutList = Json::array();
  for (const CutResult& result : results) {
    const Operation& operation = run.operations[result.cut - 1];
    const Region* region = RegionAt(run.regions, operation.offset);
    starting += result.starts ? 1 : 0;
    mismatched += result.matches ? 0 : 1;
    Json regions = Json::object();
    for (std::size_t i = 0; i < run.regions.size(); ++i) {
      regions[run.regions[i].name] = StateName(result.states[i]);
      lostCounts[i] += result.states[i] == RegionState::kLost ? 1 : 0;
    }
    cutList.push_back({{"cut", result.cut},
                       {"after", result.cut - 1},
                       {"operation", operation.erase ? "erase" : "program"},
                       {"target", operation.target},
                       {"offset", operation.offset},
                       {"region", region != nullptr ? Json(region->name) : Json(nullptr)},
                       {"fired", result.firedTarget},
                       {"sameOperation", result.matches},
                       {"starts", result.starts},
                       {"boot", result.boot},
                       {"bootReason", result.bootReason},
                       {"regions", regions},
                       {"exitCode", result.exitCode},
                       {"reported", result.reported}});
  }
  std::size_t erases = 0;
  for (const Operation& operation : run.operations) {
    erases += operation.erase ? 1 : 0;
  }
  Json lost = Json::object();
  std::string lostText;
  for (std::size_t i = 0; i < run.regions.size(); ++i) {
    lost[run.regions[i].name] = lostCounts[i];
    if (lostCounts[i] != 0) {
      lostText += (lostText.empty() ? "; lost: " : ", ") + run.regions[i].name + " in " +
                  std::to_string(lostCounts[i]);
    }
  }
  char summary[512];
  std::snprintf(summary, sizeof(summary),
                "%zu cuts of %zu flash operations (%zu erases): the module starts after %zu of "
                "them, not after %zu%s",
                results.size(), run.operations.size(), erases, starting, results.size() - starting,
                lostText.empty() ? "; no region lost" : lostText.c_str());
  if (json) {
    Json document = {{"command", "rehearse"},
                     {"module", module.string()},
                     {"file", given},
                     {"every", arguments.Get("every", "1")},
                     {"operations", run.operations.size()},
                     {"erases", erases},
                     {"uncutStatus", run.status},
                     {"uncutModuleSeconds", run.moduleSeconds},
                     {"regions", Json::array()},
                     {"cuts", cutList},
                     {"summary",
                      {{"cuts", results.size()},
                       {"starts", starting},
                       {"doesNotStart", results.size() - starting},
                       {"lost", lost},
                       {"differentOperation", mismatched},
                       {"text", summary}}},
                     {"copiedBytes", copiedBytes},
                     {"wallSeconds", seconds}};
    for (const Region& region : run.regions) {
      document["regions"].push_back(
          {{"name", region.name}, {"start", region.start}, {"length", region.length}});
    }
    PrintJson(document);
    return kSweepRan;
  }
  std::printf(
      "power-cut sweep of %s on %s: %zu flash operations (%zu erases), the uncut update "
      "ends %s after %.3f s of module time\n\n",
      given.c_str(), module.string().c_str(), run.operations.size(), erases, run.status.c_str(),
      run.moduleSeconds);
  std::printf("%7s  %-7s  %-12s  %-16s  %-6s", "cut", "op", "region", "place", "starts");
  for (const Region& region : run.regions) {
    std::printf("  %-12s", region.name.c_str());
  }
  std::printf("  program\n");
  for (std::size_t r = 0; r < results.size(); ++r) {
    const CutResult& result = results[r];
    const Operation& operation = run.operations[result.cut - 1];
    const Region* region = RegionAt(run.regions, operation.offset);
    std::printf("%7llu  %-7s  %-12s  %-16s  %-6s", static_cast<unsigned long long>(result.cut),
                operation.erase ? "erase" : "program",
                region != nullptr ? region->name.c_str() : "-", PlaceOf(operation.target).c_str(),
                result.starts                 ? "yes"
                : result.boot == "bootloader" ? "no OS"
                                              : "DEAD");
    for (const RegionState state : result.states) {
      std::printf("  %-12s", Abbreviation(state).c_str());
    }
    std::string reported = result.reported;
    if (reported.size() > 60) {
      reported = reported.substr(0, 57) + "...";
    }
    std::printf("  %s%s\n", reported.c_str(),
                result.matches ? "" : " (the cut hit another operation than mapped)");
  }
  std::printf("\n%s\n", summary);
  if (mismatched != 0) {
    std::printf(
        "%zu cuts hit another operation than the mapped run had at their place: the "
        "update does not do the same on every run\n",
        mismatched);
  }
  std::printf("(%.1f s of wall time; the copies are removed)\n", seconds);
  return kSweepRan;
}

void RehearseHelp(std::FILE* out) {
  std::fprintf(
      out,
      "Rehearses an update of FILE (a bin file of this computer, or one on the module given as\n"
      "'\\USB HD\\...') with the power cut during one flash operation after another. The update\n"
      "runs once uncut on a copy to count its operations; then for each cut a fresh copy of the\n"
      "module gets a power-cut item, flashwick updates it, the copy starts again as after a\n"
      "power cut and each region is compared with the module before and after a whole update.\n"
      "\n"
      "  --every N      cut the 1st, (1+N)th, (1+2N)th ... operation (default 1: every one)\n"
      "  --every block  cut the erase of every block the update erases, once each\n"
      "  --jobs N       runs at once (default: the processors of this computer)\n"
      "  --json         the table and the summary as one JSON object\n"
      "\n"
      "Per cut: the operation (erase or program, region, block, page or offset), what the\n"
      "module starts after it (yes: its OS; no OS: only its bootloader, waiting; DEAD: no\n"
      "bootloader, no sign of life), each region as updated, as before, unchanged (-) or LOST,\n"
      "and the program's last line.\n"
      "The copies are clones or sparse copies made beside the module (or in $TMPDIR) and are\n"
      "removed at the end, on failure and on Ctrl-C; the module itself is only read.\n"
      "Exit status: 0 the sweep ran (whatever it found), 1 it could not run, 2 the module is\n"
      "busy with another process.\n");
}

const ModuleCommandRegistrar kRehearse(
    {"rehearse",
     "rehearse [DIR] FILE --power-cut-sweep [--every N] [--jobs N] [--json]",
     "run an update of FILE on copies of the module with the power cut at each flash operation",
     {"every", "jobs"},
     Rehearse,
     RehearseHelp});

}  // namespace
}  // namespace module_tool
