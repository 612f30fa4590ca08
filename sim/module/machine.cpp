#include "sim/module/machine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sim/base/file_lock.h"
#include "sim/base/files.h"
#include "sim/hw/cpu.h"
#include "sim/module/attach_order.h"
#include "sim/module/boot_flash.h"
#include "sim/os/registry.h"

namespace sim {
namespace {

constexpr std::uint64_t kModuleFormat = 1;

// Every attached process holds an exclusive lock on ram/processes/<pid>, which names it. The
// kernel drops the lock when the process ends, however it ends, so an entry whose lock can be
// taken belongs to a process that is gone.
constexpr const char* kProcessesFolder = "processes";
// A reset a program requested while other processes were attached: carried out when the last
// process detaches (or, if it was killed, when the next one attaches).
constexpr const char* kDeferredResetFile = "reset.deferred";

// The host folders of the volumes the running OS mounted (see NoteVolumeFolder).
constexpr const char* kVolumeFoldersFile = "volume-folders";

// Removes the volume folders that ram/ notes: a folder of files/ named by one path component,
// never anything above it.
void DropVolumeFolders(const fs::path& directory) {
  std::string text;
  if (!ReadWholeFile(directory / "ram" / kVolumeFoldersFile, &text)) {
    return;
  }
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = std::min(text.find('\n', from), text.size());
    std::string name = text.substr(from, end - from);
    from = end + 1;
    if (!name.empty() && name.front() == '\\') {
      name.erase(name.begin());
    }
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("\\/") != std::string::npos) {
      continue;
    }
    std::error_code code;
    fs::remove_all(directory / "files" / name, code);
  }
}

std::string OwnProcessName() {
  const char* name = program_invocation_short_name;
  return name != nullptr && *name != '\0' ? name : "unknown";
}

// Enters this process in ram/processes; the descriptor holds its lock (-1 when it cannot).
int EnterProcess(const fs::path& ram) {
  std::error_code code;
  const fs::path folder = ram / kProcessesFolder;
  fs::create_directories(folder, code);
  const fs::path entry = folder / std::to_string(::getpid());
  const int fd = ::open(entry.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return -1;
  }
  if (!TryLockFile(fd, LockMode::kExclusive)) {
    ::close(fd);
    return -1;
  }
  const std::string line = std::to_string(::getpid()) + " " + OwnProcessName() + "\n";
  if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    // The entry still counts the process; only its name is missing.
  }
  return fd;
}

void LeaveProcess(const fs::path& ram, int fd) {
  if (fd < 0) {
    return;
  }
  std::error_code code;
  fs::remove(ram / kProcessesFolder / std::to_string(::getpid()), code);
  ::close(fd);
}

std::vector<Component*>& Components() {
  static std::vector<Component*> components;
  return components;
}

// The components in attach order. Every component registers from a static initialiser, so the
// order is fixed by the time anyone asks; a component without its one place in the list is a
// fault of the build, found at the first attach.
const std::vector<Component*>& SortedComponents() {
  static const std::vector<Component*> sorted = [] {
    std::vector<Component*> ordered;
    std::string error;
    if (!OrderComponents(Components(), kAttachOrder, &ordered, &error)) {
      Fault(error);
    }
    return ordered;
  }();
  return sorted;
}

// The attached machine. Never destroyed: a module may still be detached from a static
// destructor at process exit (a tool's or a benchmark's own state), and by then a holder created
// during the run would already be gone, leaving the components' view of the machine dangling.
std::unique_ptr<Machine>& Current() {
  static auto* machine = new std::unique_ptr<Machine>();
  return *machine;
}

void ValidateCore(ConfigReader& reader) {
  const std::uint64_t format = reader.Unsigned("format", 0xFFFF);
  if (reader.Ok() && format != kModuleFormat) {
    reader.Error("format", "unsupported module format " + std::to_string(format) +
                               " (this build reads " + std::to_string(kModuleFormat) + ")");
  }
  reader.Unsigned("processor.identity", 0x3F);
  reader.Unsigned("processor.mainId", 0xFFFFFFFF);
  const std::uint64_t os = reader.Unsigned("os.version", 6);
  if (os != 0 && os != 5 && os != 6) {
    reader.Error("os.version", "must be 5 or 6");
  }
  if (const Json* items = reader.Find("platformItems")) {
    if (!items->is_object()) {
      reader.Error("platformItems", "must be an object of hex strings");
    } else {
      for (const auto& [key, value] : items->items()) {
        bool present = false;
        reader.HexBytes("platformItems." + key, &present);
      }
    }
  }
  if (const Json* version = reader.Find("imageVersion");
      version != nullptr && !version->is_null()) {
    reader.Unsigned("imageVersion.id", 0xFFFFFFFF);
    reader.Unsigned("imageVersion.major", 0xFFFFFFFF);
    reader.Unsigned("imageVersion.minor", 0xFFFF);
    reader.UnsignedOr("imageVersion.beta", 0xFFFF, 0);
  }
  if (const Json* preset = reader.Find("preset"); preset != nullptr && !preset->is_string()) {
    reader.Error("preset", "must be the name of a preset");
  }
  if (const Json* flash = reader.Find("flash"); flash != nullptr) {
    const std::size_t before = reader.Errors().size();
    if (!flash->is_object()) {
      reader.Error("flash", "must be an object with a \"kind\"");
    } else if (const std::string kind = reader.String("flash.kind");
               reader.Errors().size() == before && kind != "nor" && kind != "nand") {
      reader.Error("flash.kind", "must be \"nor\" or \"nand\"");
    }
  }
  FaultPlan::Check(reader);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Components and the machine
// ---------------------------------------------------------------------------------------------
void RegisterComponent(Component* component) { Components().push_back(component); }

std::vector<Component*> AllComponents() { return SortedComponents(); }

Component* Machine::FindComponent(std::string_view name) {
  for (Component* component : Components()) {
    if (name == component->ComponentName()) {
      return component;
    }
  }
  return nullptr;
}

Machine::Machine(fs::path directory, Json config)
    : directory_(std::move(directory)), config_(std::move(config)) {
  faults_.Bind(this);
}

Machine::~Machine() = default;

bool Machine::SaveConfig(std::string* error) {
  // The fault plan on disk is the module tool's to change, also while this process runs (its
  // own plan was loaded at attach): it is kept as the file holds it now.
  LockFileGuard lock(directory_ / kModuleConfigLock);
  std::string text;
  if (ReadWholeFile(directory_ / "module.json", &text)) {
    const Json onDisk = Json::parse(text, nullptr, false);
    if (onDisk.is_object()) {
      if (const auto faults = onDisk.find("faults"); faults != onDisk.end()) {
        config_["faults"] = *faults;
      } else {
        config_.erase("faults");
      }
    }
  }
  return WriteWholeFile(directory_ / "module.json", config_.dump(2) + "\n", error);
}

void Machine::RequestReset(ResetKind kind) {
  if (kind == ResetKind::kCold || pendingReset_ == ResetKind::kNone) {
    pendingReset_ = kind;
  }
}

void Machine::DebugLog(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex_);
  std::ofstream out(RamDirectory() / "debug.log", std::ios::app);
  out << line << '\n';
}

bool ReadModuleConfig(const fs::path& directory, Json* document, std::string* error) {
  const fs::path file = directory / "module.json";
  if (!fs::is_directory(directory)) {
    *error = directory.string() + ": no such module (create it with flashwick-module create)";
    return false;
  }
  std::string text;
  if (!ReadWholeFile(file, &text)) {
    *error = file.string() + ": missing or unreadable; not a module directory";
    return false;
  }
  *document = Json::parse(text, nullptr, false);
  if (document->is_discarded() || !document->is_object()) {
    *error = file.string() + ": not valid JSON (expected an object)";
    return false;
  }
  return true;
}

bool LoadModuleConfig(const fs::path& directory, Json* config, std::string* error) {
  Json document;
  if (!ReadModuleConfig(directory, &document, error)) {
    return false;
  }
  if (!CheckModuleConfig(directory, document, error)) {
    return false;
  }
  *config = std::move(document);
  return true;
}

bool CheckModuleConfig(const fs::path& directory, const Json& document, std::string* error) {
  const fs::path file = directory / "module.json";
  ConfigReader reader(document, file.string());
  ValidateCore(reader);
  for (Component* component : SortedComponents()) {
    component->Validate(reader);
  }
  if (!reader.Ok()) {
    *error = reader.Errors().front();
    return false;
  }
  for (Component* component : SortedComponents()) {
    if (!component->CheckFiles(directory, document, error)) {
      return false;
    }
  }
  return true;
}

bool CreateModule(const fs::path& directory, const PresetSpec& presetSpec, std::string* error) {
  std::error_code code;
  if (fs::exists(directory) && !fs::is_empty(directory, code)) {
    *error = directory.string() + ": exists and is not empty";
    return false;
  }
  fs::create_directories(directory / "files", code);
  fs::create_directories(directory / "ram", code);
  if (code) {
    *error = directory.string() + ": cannot create: " + code.message();
    return false;
  }
  Json config = {
      {"format", kModuleFormat},
      {"preset", presetSpec.name},
      {"processor", {{"identity", presetSpec.identity}, {"mainId", presetSpec.mainId}}},
      {"os", {{"version", presetSpec.osVersion}}},
      {"faults", {{"seed", 1}, {"items", Json::array()}}},
  };
  for (Component* component : SortedComponents()) {
    if (!component->Create(presetSpec, directory, config, error)) {
      fs::remove_all(directory, code);
      return false;
    }
  }
  if (!WriteWholeFile(directory / "module.json", config.dump(2) + "\n", error)) {
    fs::remove_all(directory, code);
    return false;
  }
  // Content goes in through the running module, as an engineer's tools would put it there.
  AttachOptions factory;
  factory.boot = BootMode::kFactory;
  if (!Attach(directory, factory, error)) {
    fs::remove_all(directory, code);
    return false;
  }
  bool populated = true;
  for (Component* component : SortedComponents()) {
    if (!component->Populate(*Current(), presetSpec, error)) {
      populated = false;
      break;
    }
  }
  populated = populated && FinishPopulatingRegistry(*Current(), error);
  Detach();
  // The module starts like a freshly powered one.
  std::string ignored;
  if (!populated || !ResetModule(directory, &ignored)) {
    fs::remove_all(directory, code);
    return false;
  }
  return true;
}

bool Attach(const fs::path& directory, const AttachOptions& options, std::string* error) {
  if (Current()) {
    *error = "a module is already attached";
    return false;
  }
  Json config;
  if (!LoadModuleConfig(directory, &config, error)) {
    return false;
  }
  if (fs::exists(directory / "ram" / kDeferredResetFile) &&
      OtherAttachedProcesses(directory).empty()) {
    // A reset waited for processes that have ended since without carrying it out (killed).
    std::string ignored;
    ResetModule(directory, &ignored);
  }
  auto machine = std::make_unique<Machine>(fs::absolute(directory), std::move(config));
  machine->options_ = options;
  ConfigReader reader(machine->config_, "module.json");
  machine->identity_ = static_cast<std::uint32_t>(reader.Unsigned("processor.identity", 0x3F));
  machine->mainId_ = static_cast<std::uint32_t>(reader.Unsigned("processor.mainId", 0xFFFFFFFF));
  machine->osVersion_ = static_cast<std::uint32_t>(reader.UnsignedOr("os.version", 6, 6));
  // A process of an image built for full kernel mode runs privileged from the start.
  SetProcessMode(reader.Boolean("processor.kernelMode", false) ? kModeSystem : kModeUser);
  if (const auto faults = machine->config_.find("faults"); faults != machine->config_.end()) {
    machine->faults_.Load(*faults);
  }
  std::error_code code;
  fs::create_directories(machine->RamDirectory(), code);
  fs::create_directories(machine->FilesDirectory(), code);
  if (!machine->clock_.Open(machine->RamDirectory() / "clock", options.pace, error)) {
    return false;
  }
  {
    // One attach at a time decides whether the module sat idle before it.
    const LockFileGuard attaching(machine->RamDirectory() / ".attach.lock");
    machine->firstProcess_ = OtherAttachedProcesses(machine->directory_).empty();
    if (machine->firstProcess_) {
      // Nobody was attached: the module's time went on with the wall's meanwhile.
      machine->clock_.PassIdleTime();
    }
    machine->clock_.Stamp();
    machine->processFd_ = EnterProcess(machine->RamDirectory());
  }
  Current() = std::move(machine);
  Machine& m = *Current();
  const std::vector<Component*>& components = SortedComponents();
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (!components[i]->Attach(m, error)) {
      for (std::size_t j = i; j-- > 0;) {
        components[j]->Detach(m);
      }
      LeaveProcess(m.RamDirectory(), m.processFd_);
      Current().reset();
      return false;
    }
  }
  LockFileGuard lock(m.RamDirectory() / ".boot.lock");
  const fs::path booted = m.RamDirectory() / "booted";
  if (fs::exists(booted)) {
    if (!LoadBootLook(m.RamDirectory(), &m.started_)) {
      // Started without a record of what it found (ram/ from an older build): its OS runs.
      m.started_ = LookAtAttachedBootFlash(m);
      m.started_.outcome = BootOutcome::kOs;
    }
    return true;
  }
  switch (options.boot) {
    case BootMode::kLookOnly:
      // Nothing starts: what the next start would find is what this attach reports.
      m.started_ = LookAtAttachedBootFlash(m);
      return true;
    case BootMode::kFactory:
      m.started_ = BootLook{};
      m.started_.outcome = BootOutcome::kOs;
      m.started_.reason = "a new module: the factory starts its OS to fill it";
      break;
    case BootMode::kFromFlash:
      m.started_ = LookAtAttachedBootFlash(m);
      break;
  }
  std::string failure;
  if (!SaveBootLook(m.RamDirectory(), m.started_, &failure)) {
    m.DebugLog("boot: " + failure);
  }
  m.DebugLog("boot: " + BootOutcomeText(m.started_));
  if (m.OsRunning()) {
    for (Component* component : components) {
      component->Boot(m);
    }
  }
  (void)WriteWholeFile(booted, "booted\n", nullptr);
  return true;
}

void Detach() {
  if (!Current()) {
    return;
  }
  Machine& m = *Current();
  const std::vector<Component*>& components = SortedComponents();
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    (*it)->Detach(m);
  }
  m.Faults().FlushRecord();
  const ResetKind reset = m.PendingReset();
  const fs::path directory = m.Directory();
  m.Clock().Stamp();
  m.Clock().Close();
  LeaveProcess(m.RamDirectory(), m.processFd_);
  m.Bus().DetachAll();
  Current().reset();
  const fs::path deferred = directory / "ram" / kDeferredResetFile;
  if (reset == ResetKind::kNone && !fs::exists(deferred)) {
    return;
  }
  std::string ignored;
  if (!OtherAttachedProcesses(directory).empty()) {
    // Clearing ram/ now would pull the running OS's state from under the other processes
    // (their mutexes, the chips' state, the clock): the reset waits for the last of them.
    (void)WriteWholeFile(deferred, "reset requested while other processes were attached\n",
                         &ignored);
    return;
  }
  ResetModule(directory, &ignored);
}

std::vector<AttachedProcess> OtherAttachedProcesses(const fs::path& directory) {
  std::vector<AttachedProcess> processes;
  const fs::path folder = directory / "ram" / kProcessesFolder;
  std::error_code code;
  if (!fs::is_directory(folder, code)) {
    return processes;
  }
  const std::string own = std::to_string(::getpid());
  for (const auto& entry : fs::directory_iterator(folder, code)) {
    if (entry.path().filename() == own) {
      continue;
    }
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      continue;  // gone meanwhile: that process detached
    }
    if (TryLockFile(fd, LockMode::kShared)) {
      // Nobody holds it: its process ended without detaching.
      std::error_code ignored;
      fs::remove(entry.path(), ignored);
      ::close(fd);
      continue;
    }
    AttachedProcess process;
    char text[256] = {};
    const ssize_t got = ::pread(fd, text, sizeof(text) - 1, 0);
    ::close(fd);
    std::string line(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    if (const auto end = line.find('\n'); end != std::string::npos) {
      line.resize(end);
    }
    const auto space = line.find(' ');
    process.pid = std::strtol(line.c_str(), nullptr, 10);
    if (process.pid <= 0) {
      process.pid = std::strtol(entry.path().filename().c_str(), nullptr, 10);
    }
    process.name = space == std::string::npos ? "unknown" : line.substr(space + 1);
    processes.push_back(process);
  }
  std::sort(processes.begin(), processes.end(),
            [](const AttachedProcess& a, const AttachedProcess& b) { return a.pid < b.pid; });
  return processes;
}

void NoteVolumeFolder(const fs::path& ramDirectory, const std::string& modulePath) {
  std::ofstream out(ramDirectory / kVolumeFoldersFile, std::ios::app);
  out << modulePath << '\n';
}

bool ResetModule(const fs::path& directory, std::string* error) {
  Json config;
  if (!LoadModuleConfig(directory, &config, error)) {
    return false;
  }
  const fs::path ram = directory / "ram";
  LockFileGuard lock(directory / ".reset.lock");
  std::error_code code;
  DropVolumeFolders(directory);
  if (fs::exists(ram)) {
    for (const auto& entry : fs::directory_iterator(ram, code)) {
      if (entry.path().filename() == ".boot.lock") {
        continue;
      }
      fs::remove_all(entry.path(), code);
      if (code) {
        *error = entry.path().string() + ": cannot clear: " + code.message();
        return false;
      }
    }
  }
  fs::create_directories(ram, code);
  return true;
}

bool ResetModuleAfterPowerCut(const fs::path& directory, std::string* error) {
  const fs::path log = directory / "ram" / "debug.log";
  std::string kept;
  const bool hadLog = ReadWholeFile(log, &kept);
  if (!ResetModule(directory, error)) {
    return false;
  }
  std::string ignored;
  if (hadLog) {
    (void)WriteWholeFile(log, kept + "power cut: the module's RAM is lost\n", &ignored);
  }
  return true;
}

bool IsAttached() { return static_cast<bool>(Current()); }

Machine& CurrentMachine() {
  if (!Current()) {
    Fault("no virtual module is attached to this process");
  }
  return *Current();
}

fs::path DefaultModuleDirectory() {
  if (const char* home = std::getenv("FLASHWICK_HOME"); home != nullptr && *home != '\0') {
    return fs::path(home) / "default";
  }
  const char* user = std::getenv("HOME");
  return fs::path(user != nullptr ? user : ".") / ".flashwick" / "default";
}

}  // namespace sim
