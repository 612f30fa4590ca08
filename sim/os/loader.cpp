// Version, debug output and module loading of the module's OS.
#include "sim/os/loader.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/kernel.h"
#include "sim/base/names.h"
#include "sim/os/os_call.h"

namespace sim {
namespace {

// Windows CE's platform identifier in OSVERSIONINFO.
constexpr DWORD kPlatformWindowsCe = 3;
// Build numbers of the two OS releases the module runs.
constexpr DWORD kBuildCe5 = 1400;
constexpr DWORD kBuildCe6 = 0;

// The one library this image lets programs load by name; its load address is its handle.
const HMODULE kCoreLibrary = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x03F00000));

struct Exports {
  std::mutex mutex;
  std::map<std::string, FARPROC, std::less<>> functions;
  // LoadLibraryW counts per process; at zero the handle no longer resolves anything.
  std::uint32_t loadCount = 0;
};

Exports& Table() {
  static Exports* table = new Exports();
  return *table;
}

bool IsCoreLibraryName(std::u16string_view name) {
  // The loader looks at the file name; the folder does not matter and ".dll" is implied.
  const std::size_t slash = name.find_last_of(u"\\/");
  if (slash != std::u16string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  return SameName(name, u"COREDLL.DLL") || SameName(name, u"COREDLL");
}

class ModulesComponent final : public Component {
 public:
  ModulesComponent() { RegisterComponent(this); }
  const char* ComponentName() const override { return "modules"; }
  void Detach(Machine& /*machine*/) override {
    std::lock_guard guard(Table().mutex);
    Table().loadCount = 0;  // the process's libraries go with it
  }
};

ModulesComponent modulesComponent;

}  // namespace

void ExportFunction(std::string_view name, FARPROC address) {
  std::lock_guard guard(Table().mutex);
  Table().functions[std::string(name)] = address;
}

void WithdrawFunction(std::string_view name) {
  std::lock_guard guard(Table().mutex);
  const auto found = Table().functions.find(name);
  if (found != Table().functions.end()) {
    Table().functions.erase(found);
  }
}

}  // namespace sim

BOOL GetVersionExW(LPOSVERSIONINFOW versionInformation) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("GetVersionExW", {sim::Word(versionInformation)}, ERROR_GEN_FAILURE, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (versionInformation == nullptr ||
      versionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD major = sim::CurrentMachine().OsVersion();
  versionInformation->dwMajorVersion = major;
  versionInformation->dwMinorVersion = 0;
  versionInformation->dwBuildNumber = major == 5 ? sim::kBuildCe5 : sim::kBuildCe6;
  versionInformation->dwPlatformId = sim::kPlatformWindowsCe;
  versionInformation->szCSDVersion[0] = 0;
  return TRUE;
}

void OutputDebugStringW(LPCWSTR text) {
  sim::Machine& machine = sim::CurrentMachine();
  machine.Calls().Add("OutputDebugStringW", {}, nullptr, 0);
  if (text == nullptr) {
    return;
  }
  // One line of the debug log per call: line ends the text carries are dropped at its end and
  // become blanks inside it.
  std::string line = sim::ToUtf8(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  for (char& c : line) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  machine.DebugLog(line);
}

HMODULE LoadLibraryW(LPCWSTR libFileName) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("LoadLibraryW", {}, ERROR_MOD_NOT_FOUND, &error, libFileName)) {
    SetLastError(error);
    return nullptr;
  }
  if (libFileName == nullptr || !sim::IsCoreLibraryName(libFileName)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard guard(sim::Table().mutex);
  ++sim::Table().loadCount;
  return sim::kCoreLibrary;
}

FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName) {
  const auto ordinal = reinterpret_cast<std::uintptr_t>(procName);
  const bool byName = ordinal >= 0x10000;
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("GetProcAddressW", {sim::Word(module), byName ? 0 : ordinal},
                     ERROR_PROC_NOT_FOUND, &error, byName ? procName : nullptr)) {
    SetLastError(error);
    return nullptr;
  }
  {
    std::lock_guard guard(sim::Table().mutex);
    if (module != sim::kCoreLibrary || sim::Table().loadCount == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  }
  if (!byName) {
    SetLastError(ERROR_PROC_NOT_FOUND);  // this image resolves by name only
    return nullptr;
  }
  const std::string name = sim::ToUtf8(procName);
  if (sim::CurrentMachine().Faults().FailCall("GetProcAddressW/" + name)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard guard(sim::Table().mutex);
  // Export names are matched exactly, case included.
  const auto found = sim::Table().functions.find(name);
  if (found == sim::Table().functions.end()) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return found->second;
}

BOOL FreeLibrary(HMODULE module) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("FreeLibrary", {sim::Word(module)}, ERROR_GEN_FAILURE, &error)) {
    SetLastError(error);
    return FALSE;
  }
  std::lock_guard guard(sim::Table().mutex);
  if (module != sim::kCoreLibrary || sim::Table().loadCount == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --sim::Table().loadCount;
  return TRUE;
}
