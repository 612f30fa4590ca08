// Room sim/module/: the module itself: the attached machine and its components (this header),
// the module.json reader, the fault plan, the record of platform calls, the presets and the
// content a new module is filled with. It answers no platform header of its own; every other
// room hangs off the machine.
//
// The virtual module: one module directory attached to this process.
//
//   module.json   what the module is (processor, flash, platform items, OS, CPLD, fault plan)
//   flash.img     flash contents (see the flash models for the layout)
//   registry.reg  a readable view of the registry stored in the flash registry region
//                 (REGEDIT4); default.reg is the image's own registry
//   files/        the module's file namespace "\"
//   ram/          what the running OS holds; cleared by a module reset
//
// Hardware and OS models are Components. Each registers itself once (see RegisterComponent)
// and is called at module creation, attach, OS boot and detach. The program's process attaches
// exactly one module before it runs and detaches it when it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/base/files.h"
#include "sim/hw/bus.h"
#include "sim/hw/clock.h"
#include "sim/module/boot_look.h"
#include "sim/module/call_record.h"
#include "sim/module/config_reader.h"
#include "sim/module/fault_plan.h"
#include "sim/module/presets.h"

namespace sim {

using Json = nlohmann::json;
namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// Components: hardware and OS models
// ---------------------------------------------------------------------------------------------
class Component {
 public:
  virtual ~Component() = default;
  // The name that gives the component its place in kAttachOrder (sim/module/attach_order.h).
  virtual const char* ComponentName() const = 0;
  // Writes the component's part of a new module (module.json fields, images, files).
  virtual bool Create(const PresetSpec& /*presetSpec*/, const fs::path& /*directory*/,
                      Json& /*config*/, std::string* /*error*/) {
    return true;
  }
  // Checks the component's part of module.json; reports through the reader. The fault plan's
  // items were checked against the declared kinds before; a component adds what only it knows
  // (a block beyond its chip).
  virtual void Validate(ConfigReader& /*reader*/) {}
  // The kinds of fault plan item the component understands (see sim/module/fault_plan.h).
  virtual std::span<const FaultKind* const> FaultKinds() const { return {}; }
  // Checks the component's files in the module directory (after module.json passed Validate);
  // false with one error line naming the file. Nothing may be written here.
  virtual bool CheckFiles(const fs::path& /*directory*/, const Json& /*config*/,
                          std::string* /*error*/) {
    return true;
  }
  virtual bool Attach(Machine& /*machine*/, std::string* /*error*/) { return true; }
  // Fills a new module with the preset's content through the running module (flash images,
  // registry, files). Runs once, attached and booted, right after every component's Create.
  virtual bool Populate(Machine& /*machine*/, const PresetSpec& /*presetSpec*/,
                        std::string* /*error*/) {
    return true;
  }
  // The module's OS starts (after a reset ram/ is empty and every component boots).
  virtual void Boot(Machine& /*machine*/) {}
  virtual void Detach(Machine& /*machine*/) {}
  // Adds what flashwick-module info shows.
  virtual void Describe(Machine& /*machine*/, Json& /*info*/) {}
};

// Registers a component for the life of the process (call from a static initialiser).
void RegisterComponent(Component* component);
// Every registered component, in attach order (kAttachOrder).
std::vector<Component*> AllComponents();

// ---------------------------------------------------------------------------------------------
// The attached module
// ---------------------------------------------------------------------------------------------
enum class ResetKind { kNone, kWarm, kCold };

// What an attach that finds the module not started does.
enum class BootMode {
  // Starts what the flash holds (see sim/module/boot_flash.h): the OS only when the flash holds
  // a bootloader and an OS image.
  kFromFlash,
  // Starts nothing: the module's flash and state are looked at, its OS is not started.
  kLookOnly,
  // A new module being filled at the factory: its OS starts from what the factory loads.
  kFactory,
};

struct AttachOptions {
  Pace pace = Pace::kFast;
  BootMode boot = BootMode::kFromFlash;
  // A host folder that appears as "\USB HD" on the module (empty: the module's own files/USB HD).
  fs::path usbFolder;
};

class Machine {
 public:
  Machine(fs::path directory, Json config);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  [[nodiscard]] const fs::path& Directory() const { return directory_; }
  [[nodiscard]] fs::path RamDirectory() const { return directory_ / "ram"; }
  [[nodiscard]] fs::path FilesDirectory() const { return directory_ / "files"; }
  [[nodiscard]] const AttachOptions& Options() const { return options_; }

  // module.json as loaded; components may change their own fields and call SaveConfig.
  Json& Config() { return config_; }
  bool SaveConfig(std::string* error = nullptr);

  VirtualClock& Clock() { return clock_; }
  PhysicalBus& Bus() { return bus_; }
  Mmu& VirtualMemory() { return mmu_; }
  FaultPlan& Faults() { return faults_; }
  CallRecord& Calls() { return calls_; }

  // Processor
  [[nodiscard]] std::uint32_t Identity() const { return identity_; }
  [[nodiscard]] std::uint32_t MainId() const { return mainId_; }
  [[nodiscard]] std::uint32_t OsVersion() const { return osVersion_; }

  // What the module's last start found in its flash. Only when Started().outcome is kOs does
  // the OS run; otherwise the OS's components were not booted and nothing of the OS answers.
  [[nodiscard]] const BootLook& Started() const { return started_; }
  [[nodiscard]] bool OsRunning() const { return started_.outcome == BootOutcome::kOs; }

  // No other process was attached to the module when this one attached: the module sat idle
  // before (its chips finished what they had started, its clock followed the wall).
  [[nodiscard]] bool FirstProcess() const { return firstProcess_; }

  // A reset requested by the running program takes effect when the process ends.
  void RequestReset(ResetKind kind);
  [[nodiscard]] ResetKind PendingReset() const { return pendingReset_; }
  void SetCleanBoot() { cleanBoot_ = true; }
  [[nodiscard]] bool CleanBootRequested() const { return cleanBoot_; }

  // Appends a line to ram/debug.log (the module's debug output).
  void DebugLog(const std::string& line);

  // Heap accounting for LocalAlloc: a cap on free heap set by the fault plan ("heap" item).
  std::uint64_t& HeapInUse() { return heapInUse_; }

  // Finds a registered component by name (null when absent).
  static Component* FindComponent(std::string_view name);
  template <typename T>
  static T* Get(std::string_view name) {
    return dynamic_cast<T*>(FindComponent(name));
  }

 private:
  friend bool Attach(const fs::path&, const AttachOptions&, std::string*);
  friend void Detach();

  fs::path directory_;
  Json config_;
  AttachOptions options_;
  VirtualClock clock_;
  PhysicalBus bus_;
  Mmu mmu_{bus_};
  FaultPlan faults_;
  CallRecord calls_;
  std::uint32_t identity_ = 0;
  std::uint32_t mainId_ = 0;
  std::uint32_t osVersion_ = 6;
  BootLook started_;
  ResetKind pendingReset_ = ResetKind::kNone;
  bool cleanBoot_ = false;
  bool firstProcess_ = true;
  int processFd_ = -1;  // this process's entry in ram/processes, locked while attached
  std::uint64_t heapInUse_ = 0;
  std::mutex logMutex_;
};

// Creates a module directory from a preset. Fails (and writes nothing) when the directory
// exists and is not empty.
bool CreateModule(const fs::path& directory, const PresetSpec& presetSpec, std::string* error);
// Loads and checks module.json without attaching; error names file and field.
bool LoadModuleConfig(const fs::path& directory, Json* config, std::string* error);
// Reads module.json as it is, unchecked (a JSON object); error names the file.
bool ReadModuleConfig(const fs::path& directory, Json* document, std::string* error);
// Checks a module.json document for directory as attaching would (fields, fault plan, files).
bool CheckModuleConfig(const fs::path& directory, const Json& document, std::string* error);
// Held (LockFileGuard) by whoever reads, changes and writes back module.json.
inline constexpr const char* kModuleConfigLock = ".module.json.lock";
// Attaches this process to a module: loads and checks it, attaches every component, and, when
// ram/ is empty, starts what the flash holds (options.boot): the OS boots only when the flash
// holds a bootloader and an OS image (Machine::Started says what started and why). Nothing on
// disk changes when it fails.
bool Attach(const fs::path& directory, const AttachOptions& options, std::string* error);
// Detaches; carries out a reset that the program requested.
void Detach();
// A process attached to a module, as ram/processes records it.
struct AttachedProcess {
  long pid = 0;
  std::string name;
};
// The processes attached to the module in directory other than this one. An entry whose
// process ended without detaching (killed) is not listed, and removed.
std::vector<AttachedProcess> OtherAttachedProcesses(const fs::path& directory);
// Resets the module as a power cycle would: clears ram/ (no process may be attached).
bool ResetModule(const fs::path& directory, std::string* error);
// The same after a power cut: the debug log outlives the reset, with a last line saying the
// module's RAM is lost, so that what led to the cut can still be read.
bool ResetModuleAfterPowerCut(const fs::path& directory, std::string* error);
// Notes a host folder under files/ that shows a volume the running OS mounted ("\Flash Disk"):
// a reset drops it with the RAM, so that a volume's folder is there only while the OS that
// mounted it runs (the flash holds the volume; the next start mounts it again from there).
void NoteVolumeFolder(const fs::path& ramDirectory, const std::string& modulePath);
bool IsAttached();
Machine& CurrentMachine();
// Short-hands for the attached module's record and fault plan.
inline bool FailCall(std::string_view name, std::uint32_t* error = nullptr) {
  return CurrentMachine().Faults().FailCall(name, error);
}

// The default module's directory: $FLASHWICK_HOME/default, else ~/.flashwick/default.
fs::path DefaultModuleDirectory();
inline constexpr const char* kDefaultPreset = "pxa320";
// Left in the module directory by the registry-clear control: the next boot erases the registry
// stored in flash and loads default.reg (and removes the marker).
inline constexpr const char* kRegistryClearedMarker = "registry.cleared";

}  // namespace sim
