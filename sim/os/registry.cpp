// The registry of the module's OS: the Reg* calls, the live registry shared by the module's
// processes, and the "registry" component that loads it at boot.
#include "sim/os/registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

#include "platform/registry.h"
#include "sim/base/file_lock.h"
#include "sim/base/file_stamp.h"
#include "sim/base/utf.h"
#include "sim/os/os_call.h"
#include "sim/os/registry_store.h"

namespace sim {
namespace {

// ---------------------------------------------------------------------------------------------
// The live registry in ram/
// ---------------------------------------------------------------------------------------------
class LiveRegistry {
 public:
  bool Open(const fs::path& ram, std::string* error) {
    std::lock_guard guard(mutex_);
    CloseLocked();
    liveFile_ = ram / "registry.live";
    lockFd_ = ::open((ram / "registry.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) {
      *error = (ram / "registry.lock").string() + ": cannot open: " + std::strerror(errno);
      return false;
    }
    return true;
  }

  void Close() {
    std::lock_guard guard(mutex_);
    CloseLocked();
  }

  [[nodiscard]] bool IsOpen() {
    std::lock_guard guard(mutex_);
    return lockFd_ >= 0;
  }

  // Runs reader(tree) on the current registry.
  template <typename Reader>
  auto Read(Reader reader) {
    std::lock_guard guard(mutex_);
    FileLockGuard lock(lockFd_, LockMode::kShared);
    RefreshLocked();
    return reader(static_cast<const RegistryTree&>(tree_));
  }

  // Runs writer(tree, &changed); stores the registry when the writer changed it.
  template <typename Writer>
  auto Modify(Writer writer) {
    std::lock_guard guard(mutex_);
    FileLockGuard lock(lockFd_, LockMode::kExclusive);
    RefreshLocked();
    bool changed = false;
    auto result = writer(tree_, &changed);
    if (changed) {
      StoreLocked();
    }
    return result;
  }

  // Replaces the whole registry (boot).
  void Replace(const RegistryTree& tree) {
    std::lock_guard guard(mutex_);
    FileLockGuard lock(lockFd_, LockMode::kExclusive);
    tree_ = tree;
    StoreLocked();
  }

 private:
  void CloseLocked() {
    if (lockFd_ >= 0) {
      ::close(lockFd_);
    }
    lockFd_ = -1;
    tree_ = RegistryTree();
    stamp_ = FileStamp();
  }

  void RefreshLocked() {
    const FileStamp now = StampOf(liveFile_);
    if (now == stamp_) {
      return;
    }
    RegistryTree fresh;
    if (now.present) {
      std::string text;
      std::string error;
      if (!ReadWholeFile(liveFile_, &text) ||
          !ParseRegistryText(text, liveFile_.string(), &fresh, &error)) {
        // Only this personality writes the live registry; damage here is damaged RAM.
        Fault("the running OS's registry is damaged: " + error);
      }
    }
    tree_ = std::move(fresh);
    stamp_ = now;
  }

  void StoreLocked() {
    std::string error;
    if (!WriteWholeFile(liveFile_, WriteRegistryText(tree_), &error)) {
      Fault("cannot keep the running OS's registry: " + error);
    }
    stamp_ = StampOf(liveFile_);
  }

  std::mutex mutex_;
  fs::path liveFile_;
  int lockFd_ = -1;
  RegistryTree tree_;
  FileStamp stamp_;
};

LiveRegistry& Live() {
  static LiveRegistry* live = new LiveRegistry();  // Never destroyed: threads may outlive main.
  return *live;
}

// ---------------------------------------------------------------------------------------------
// Open key handles of this process
// ---------------------------------------------------------------------------------------------
// A key is held by its path, so that a key deleted meanwhile (by this process or another) is
// noticed rather than reached through a stale pointer.
using KeyPath = std::vector<std::u16string>;

struct KeyTable {
  std::mutex mutex;
  std::map<std::uintptr_t, KeyPath> keys;
  // Apart from the kernel's handle values, so that a key passed to CloseHandle is refused.
  std::uintptr_t next = 0x40000000;
};

KeyTable& Keys() {
  static KeyTable* table = new KeyTable();
  return *table;
}

constexpr std::uintptr_t kFirstRoot = 0x80000000u;  // HKEY_CLASSES_ROOT

bool PathOfKey(HKEY key, KeyPath* path) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= kFirstRoot && value < kFirstRoot + 4) {
    const char* root = kRegistryRoots[value - kFirstRoot];
    *path = {FromUtf8(root)};
    return true;
  }
  KeyTable& table = Keys();
  std::lock_guard guard(table.mutex);
  const auto found = table.keys.find(value);
  if (found == table.keys.end()) {
    return false;
  }
  *path = found->second;
  return true;
}

HKEY AddKey(KeyPath path) {
  KeyTable& table = Keys();
  std::lock_guard guard(table.mutex);
  const std::uintptr_t value = table.next;
  table.next += 4;
  table.keys.emplace(value, std::move(path));
  return reinterpret_cast<HKEY>(value);
}

RegistryKey* FindKey(const RegistryTree& tree, const KeyPath& path) {
  RegistryKey* key = tree.Root(path.front());
  for (std::size_t i = 1; key != nullptr && i < path.size(); ++i) {
    key = key->Find(path[i]);
  }
  return key;
}

// Splits a subkey argument into names. A trailing '\' is allowed; an empty name elsewhere or a
// name the registry cannot hold is ERROR_INVALID_PARAMETER.
LONG SplitSubKey(LPCWSTR subKey, KeyPath* names) {
  names->clear();
  if (subKey == nullptr) {
    return ERROR_SUCCESS;
  }
  std::u16string_view rest(subKey);
  if (!rest.empty() && rest.back() == u'\\') {
    rest.remove_suffix(1);
  }
  while (!rest.empty()) {
    const std::size_t separator = rest.find(u'\\');
    const std::u16string_view name = rest.substr(0, separator);
    if (!IsValidKeyName(name)) {
      return ERROR_INVALID_PARAMETER;
    }
    names->emplace_back(name);
    if (separator == std::u16string_view::npos) {
      break;
    }
    rest.remove_prefix(separator + 1);
    if (rest.empty()) {
      return ERROR_INVALID_PARAMETER;  // "a\\" inside the path
    }
  }
  return ERROR_SUCCESS;
}

// The value name limit of the module's registry.
constexpr std::size_t kMaxValueName = 255;

// Copies name (without terminator) into a caller's buffer of *size code units (terminator
// included); on success *size becomes the length without terminator.
LONG CopyName(const std::u16string& name, LPWSTR buffer, LPDWORD size) {
  if (*size < name.size() + 1) {
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
  buffer[name.size()] = 0;
  *size = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Hands a value's type and bytes to a caller as RegQueryValueExW and RegEnumValueW do.
LONG CopyData(const RegistryValue& value, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (type != nullptr) {
    *type = value.type;
  }
  const auto size = static_cast<DWORD>(value.data.size());
  if (data == nullptr) {
    if (dataSize != nullptr) {
      *dataSize = size;
    }
    return ERROR_SUCCESS;
  }
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  if (size != 0) {
    std::memcpy(data, value.data.data(), size);
  }
  *dataSize = size;
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Paths of the model API
// ---------------------------------------------------------------------------------------------
bool ParseKeyPath(std::string_view keyPath, KeyPath* path) {
  const std::u16string wide = FromUtf8(keyPath);
  std::u16string_view rest(wide);
  const std::size_t separator = rest.find(u'\\');
  RegistryTree probe;
  RegistryKey* root = probe.Root(rest.substr(0, separator));
  if (root == nullptr) {
    return false;
  }
  path->assign({root->Name()});
  if (separator == std::u16string_view::npos) {
    return true;
  }
  KeyPath names;
  const std::u16string subKey(rest.substr(separator + 1));
  if (SplitSubKey(subKey.c_str(), &names) != ERROR_SUCCESS) {
    return false;
  }
  path->insert(path->end(), names.begin(), names.end());
  return true;
}

RegistryKey* CreateKeyPath(RegistryTree& tree, const KeyPath& path, bool* created) {
  RegistryKey* key = tree.Root(path.front());
  *created = false;
  for (std::size_t i = 1; key != nullptr && i < path.size(); ++i) {
    bool made = false;
    key = key->FindOrCreate(path[i], &made);
    *created = *created || made;
  }
  return key;
}

std::vector<std::uint8_t> StringBytes(std::u16string text) {
  text.push_back(u'\0');
  std::vector<std::uint8_t> bytes(text.size() * 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
  }
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// The component: initial files, checks, boot
// ---------------------------------------------------------------------------------------------
constexpr const char* kStoredFile = "registry.reg";
constexpr const char* kDefaultFile = "default.reg";

// The image's registry as built: identity of the module, the processes the kernel starts and
// the loader's search path.
std::string InitialRegistry(const PresetSpec& presetSpec) {
  std::string text =
      "REGEDIT4\n\n"
      "[HKEY_LOCAL_MACHINE\\Ident]\n"
      "\"Name\"=\"Kestrin\"\n"
      "\"Desc\"=\"Kestrin " +
      presetSpec.name +
      " module\"\n"
      "\"OrigName\"=\"Kestrin\"\n\n"
      "[HKEY_LOCAL_MACHINE\\init]\n";
  if (presetSpec.osVersion >= 6) {
    text += "\"Launch20\"=\"device.dll\"\n";
  } else {
    text += "\"Launch20\"=\"device.exe\"\n";
  }
  text +=
      "\"Launch30\"=\"gwes.dll\"\n"
      "\"Depend30\"=hex:14,00\n"
      "\"Launch50\"=\"explorer.exe\"\n"
      "\"Depend50\"=hex:14,00,1e,00\n\n"
      "[HKEY_LOCAL_MACHINE\\Loader]\n"
      "\"SystemPath\"=hex(7):5c,00,57,00,69,00,6e,00,64,00,6f,00,77,00,73,00,5c,00,00,00,00,00\n\n"
      "[HKEY_LOCAL_MACHINE\\System\\Explorer]\n"
      "\"QueryRemovableStorage\"=dword:00000000\n\n"
      "[HKEY_CURRENT_USER\\ControlPanel\\Owner]\n"
      "\"Owner\"=\"\"\n";
  return text;
}

class RegistryComponent final : public Component {
 public:
  RegistryComponent() { RegisterComponent(this); }
  const char* ComponentName() const override { return "registry"; }
  // Early, so that the models that boot after it find the registry loaded.

  bool Create(const PresetSpec& presetSpec, const fs::path& directory, Json& /*config*/,
              std::string* error) override {
    RegistryTree initial;
    if (!ParseRegistryText(InitialRegistry(presetSpec), "initial registry", &initial, error)) {
      return false;
    }
    for (const char* name : {kStoredFile, kDefaultFile}) {
      const fs::path file = directory / name;
      RegistryTree tree = initial;
      if (fs::exists(file)) {
        // Another model wrote the file first: keep its keys and add these.
        if (!LoadRegistryFile(file, &tree, error)) {
          return false;
        }
        Merge(*initial.Root(2), tree.Root(2));
        Merge(*initial.Root(1), tree.Root(1));
      }
      if (!SaveRegistryFile(file, tree, error)) {
        return false;
      }
    }
    return true;
  }

  // Only the image's registry is read from a file; registry.reg is a view, written, never read.
  bool CheckFiles(const fs::path& directory, const Json& /*config*/, std::string* error) override {
    const fs::path file = directory / kDefaultFile;
    RegistryTree tree;
    return !fs::exists(file) || LoadRegistryFile(file, &tree, error);
  }

  bool Attach(Machine& machine, std::string* error) override {
    populating_ = false;
    return Live().Open(machine.RamDirectory(), error);
  }

  // The OS loads the registry stored in the flash registry region, or the image's own when the
  // region holds none or a clear was requested (the clear then discards the stored copy).
  void Boot(Machine& machine) override {
    const fs::path marker = machine.Directory() / kRegistryClearedMarker;
    const fs::path image = machine.Directory() / kDefaultFile;
    const bool cleared = fs::exists(marker);
    RegistryTree tree;
    std::string error;
    std::string text;
    std::string where;
    bool stored = false;
    if (cleared) {
      if (EraseStoredRegistry(&error)) {
        std::error_code code;
        fs::remove(marker, code);
        machine.DebugLog("registry: cleared: the image's registry is loaded");
      } else {
        machine.DebugLog("registry: clearing the stored registry failed: " + error);
      }
    } else if (ReadStoredRegistry(&text, &where)) {
      stored = ParseRegistryText(text, "flash registry (" + where + ")", &tree, &error);
      if (!stored) {
        machine.DebugLog("registry: " + error + "; the image's registry is loaded");
        tree = RegistryTree();
      }
    } else {
      machine.DebugLog("registry: " + where + "; the image's registry is loaded");
    }
    if (!stored && fs::exists(image) && !LoadRegistryFile(image, &tree, &error)) {
      // The file was checked at attach; one that broke since is damage during boot.
      Fault("registry at boot: " + error);
    }
    Live().Replace(tree);
    WriteView(machine, stored ? &tree : nullptr);
  }

  bool Populate(Machine& /*machine*/, const PresetSpec& /*presetSpec*/,
                std::string* /*error*/) override {
    populating_ = true;
    return true;
  }

  // A new module's models have put in what they add: that is the image's registry, and the
  // registry stored in its flash.
  bool FinishPopulating(Machine& machine, std::string* error) {
    if (!populating_) {
      return true;
    }
    populating_ = false;
    RegistryTree tree;
    Live().Read([&](const RegistryTree& live) {
      tree = live;
      return true;
    });
    if (!SaveRegistryFile(machine.Directory() / kDefaultFile, tree, error) ||
        !WriteStoredRegistry(WriteRegistryText(tree), error)) {
      return false;
    }
    WriteView(machine, &tree);
    return true;
  }

  void Detach(Machine& /*machine*/) override {
    populating_ = false;
    {
      KeyTable& table = Keys();
      std::lock_guard guard(table.mutex);
      table.keys.clear();
    }
    Live().Close();
  }

  // registry.reg shows the registry stored in flash (none: no file). It is written only when
  // what it shows changed, so that a look at the module leaves its files as they were.
  static void WriteView(Machine& machine, const RegistryTree* stored) {
    const fs::path view = machine.Directory() / kStoredFile;
    std::string error;
    if (stored == nullptr) {
      std::error_code code;
      fs::remove(view, code);
      return;
    }
    const std::string text = WriteRegistryText(*stored);
    std::string shown;
    if (ReadWholeFile(view, &shown) && shown == text) {
      return;
    }
    if (!WriteWholeFile(view, text, &error)) {
      machine.DebugLog("registry: " + error);
    }
  }

  void Describe(Machine& machine, Json& info) override {
    std::size_t keys = 0;
    Live().Read([&](const RegistryTree& tree) {
      for (std::size_t i = 0; i < 4; ++i) {
        keys += Count(*tree.Root(i));
      }
      return true;
    });
    std::string text;
    std::string where;
    const bool stored = machine.OsRunning() && ReadStoredRegistry(&text, &where);
    info["registry"] = {
        {"keys", keys},
        {"stored", stored},
        {"storedIn", stored ? "flash registry region, " + where : where},
        {"clearedUntilNextBoot", fs::exists(machine.Directory() / kRegistryClearedMarker)}};
  }

 private:
  static void Merge(const RegistryKey& from, RegistryKey* into) {
    for (const RegistryValue& value : from.Values()) {
      if (into->FindValue(value.name) == nullptr) {
        into->SetValue(value);
      }
    }
    for (const auto& subkey : from.Subkeys()) {
      Merge(*subkey, into->FindOrCreate(subkey->Name()));
    }
  }

  static std::size_t Count(const RegistryKey& key) {
    std::size_t total = key.Subkeys().size();
    for (const auto& subkey : key.Subkeys()) {
      total += Count(*subkey);
    }
    return total;
  }

  bool populating_ = false;
};

RegistryComponent registryComponent;

}  // namespace

bool FinishPopulatingRegistry(Machine& machine, std::string* error) {
  return registryComponent.FinishPopulating(machine, error);
}

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------
bool LoadRegistryFile(const fs::path& file, RegistryTree* tree, std::string* error) {
  std::string text;
  if (!ReadWholeFile(file, &text)) {
    *error = file.string() + ": cannot read";
    return false;
  }
  return ParseRegistryText(text, file.string(), tree, error);
}

bool SaveRegistryFile(const fs::path& file, const RegistryTree& tree, std::string* error) {
  return WriteWholeFile(file, WriteRegistryText(tree), error);
}

// ---------------------------------------------------------------------------------------------
// Model API
// ---------------------------------------------------------------------------------------------
bool RegistrySetValue(std::string_view keyPath, std::string_view name, std::uint32_t type,
                      std::span<const std::uint8_t> data) {
  KeyPath path;
  const std::u16string valueName = FromUtf8(name);
  if (!IsAttached() || !Live().IsOpen() || !ParseKeyPath(keyPath, &path) ||
      !IsValidValueName(valueName) || valueName.size() > kMaxValueName) {
    return false;
  }
  return Live().Modify([&](RegistryTree& tree, bool* changed) {
    bool created = false;
    RegistryKey* key = CreateKeyPath(tree, path, &created);
    if (key == nullptr) {
      return false;
    }
    key->SetValue({valueName, type, std::vector<std::uint8_t>(data.begin(), data.end())});
    *changed = true;
    return true;
  });
}

bool RegistrySetString(std::string_view keyPath, std::string_view name, std::string_view text) {
  return RegistrySetValue(keyPath, name, REG_SZ, StringBytes(FromUtf8(text)));
}

bool RegistrySetDword(std::string_view keyPath, std::string_view name, std::uint32_t value) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return RegistrySetValue(keyPath, name, REG_DWORD, bytes);
}

bool RegistrySetMultiString(std::string_view keyPath, std::string_view name,
                            const std::vector<std::string>& strings) {
  std::u16string joined;
  for (const std::string& text : strings) {
    joined += FromUtf8(text);
    joined.push_back(u'\0');
  }
  // The list ends with an empty string: its own terminator follows the last one.
  return RegistrySetValue(keyPath, name, REG_MULTI_SZ, StringBytes(joined));
}

bool RegistryCreateKey(std::string_view keyPath) {
  KeyPath path;
  if (!IsAttached() || !Live().IsOpen() || !ParseKeyPath(keyPath, &path)) {
    return false;
  }
  return Live().Modify([&](RegistryTree& tree, bool* changed) {
    return CreateKeyPath(tree, path, changed) != nullptr;
  });
}

bool RegistryDeleteKey(std::string_view keyPath) {
  KeyPath path;
  if (!IsAttached() || !Live().IsOpen() || !ParseKeyPath(keyPath, &path) || path.size() < 2) {
    return false;
  }
  return Live().Modify([&](RegistryTree& tree, bool* changed) {
    RegistryKey* parent = FindKey(tree, KeyPath(path.begin(), path.end() - 1));
    *changed = parent != nullptr && parent->Remove(path.back());
    return *changed;
  });
}

bool RegistryGetValue(std::string_view keyPath, std::string_view name, std::uint32_t* type,
                      std::vector<std::uint8_t>* data) {
  KeyPath path;
  if (!IsAttached() || !Live().IsOpen() || !ParseKeyPath(keyPath, &path)) {
    return false;
  }
  const std::u16string valueName = FromUtf8(name);
  return Live().Read([&](const RegistryTree& tree) {
    const RegistryKey* key = FindKey(tree, path);
    const RegistryValue* value = key != nullptr ? key->FindValue(valueName) : nullptr;
    if (value == nullptr) {
      return false;
    }
    if (type != nullptr) {
      *type = value->type;
    }
    if (data != nullptr) {
      *data = value->data;
    }
    return true;
  });
}

bool RegistryGetString(std::string_view keyPath, std::string_view name, std::string* text) {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  if (!RegistryGetValue(keyPath, name, &type, &data) || (type != REG_SZ && type != REG_EXPAND_SZ) ||
      data.size() % 2 != 0) {
    return false;
  }
  std::u16string wide;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  while (!wide.empty() && wide.back() == u'\0') {
    wide.pop_back();
  }
  *text = ToUtf8(wide);
  return true;
}

bool RegistryGetDword(std::string_view keyPath, std::string_view name, std::uint32_t* value) {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  if (!RegistryGetValue(keyPath, name, &type, &data) || type != REG_DWORD || data.size() != 4) {
    return false;
  }
  *value = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
  return true;
}

bool RegistryKeyExists(std::string_view keyPath) {
  KeyPath path;
  if (!IsAttached() || !Live().IsOpen() || !ParseKeyPath(keyPath, &path)) {
    return false;
  }
  return Live().Read([&](const RegistryTree& tree) { return FindKey(tree, path) != nullptr; });
}

bool RegistrySnapshot(RegistryTree* tree) {
  if (!IsAttached() || !Live().IsOpen()) {
    return false;
  }
  return Live().Read([&](const RegistryTree& live) {
    *tree = live;
    return true;
  });
}

}  // namespace sim

// ---------------------------------------------------------------------------------------------
// The platform's registry calls
// ---------------------------------------------------------------------------------------------
using sim::KeyPath;

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, DWORD samDesired, PHKEY result) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RegOpenKeyExW", {sim::Word(key), options, samDesired}, ERROR_GEN_FAILURE,
                     &error, subKey)) {
    return static_cast<LONG>(error);
  }
  if (result == nullptr || options != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  *result = nullptr;
  KeyPath path;
  if (!sim::PathOfKey(key, &path)) {
    return ERROR_INVALID_HANDLE;
  }
  KeyPath names;
  if (const LONG split = sim::SplitSubKey(subKey, &names); split != ERROR_SUCCESS) {
    return split;
  }
  const LONG status = sim::Live().Read([&](const sim::RegistryTree& tree) -> LONG {
    if (sim::FindKey(tree, path) == nullptr) {
      return ERROR_KEY_DELETED;
    }
    KeyPath full = path;
    full.insert(full.end(), names.begin(), names.end());
    sim::RegistryKey* found = sim::FindKey(tree, full);
    if (found == nullptr) {
      return ERROR_FILE_NOT_FOUND;
    }
    // The handle keeps the names as stored, whatever case the caller used.
    KeyPath stored = {path.front()};
    sim::RegistryKey* walk = tree.Root(path.front());
    for (std::size_t i = 1; i < full.size(); ++i) {
      walk = walk->Find(full[i]);
      stored.push_back(walk->Name());
    }
    *result = sim::AddKey(std::move(stored));
    return ERROR_SUCCESS;
  });
  return status;
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR /*keyClass*/, DWORD options,
                     DWORD samDesired, LPSECURITY_ATTRIBUTES /*securityAttributes*/, PHKEY result,
                     LPDWORD disposition) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RegCreateKeyExW", {sim::Word(key), reserved, options, samDesired},
                     ERROR_GEN_FAILURE, &error, subKey)) {
    return static_cast<LONG>(error);
  }
  if (result == nullptr || subKey == nullptr || reserved != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  *result = nullptr;
  KeyPath path;
  if (!sim::PathOfKey(key, &path)) {
    return ERROR_INVALID_HANDLE;
  }
  KeyPath names;
  if (const LONG split = sim::SplitSubKey(subKey, &names); split != ERROR_SUCCESS) {
    return split;
  }
  return sim::Live().Modify([&](sim::RegistryTree& tree, bool* changed) -> LONG {
    if (sim::FindKey(tree, path) == nullptr) {
      return ERROR_KEY_DELETED;
    }
    KeyPath stored = {path.front()};
    sim::RegistryKey* walk = tree.Root(path.front());
    for (std::size_t i = 1; i < path.size(); ++i) {
      walk = walk->Find(path[i]);
      stored.push_back(walk->Name());
    }
    bool created = false;
    for (const std::u16string& name : names) {
      bool made = false;
      walk = walk->FindOrCreate(name, &made);
      created = created || made;
      stored.push_back(walk->Name());
    }
    *changed = created;
    if (disposition != nullptr) {
      *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *result = sim::AddKey(std::move(stored));
    return ERROR_SUCCESS;
  });
}

LONG RegCloseKey(HKEY key) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RegCloseKey", {sim::Word(key)}, ERROR_GEN_FAILURE, &error)) {
    return static_cast<LONG>(error);
  }
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= sim::kFirstRoot && value < sim::kFirstRoot + 4) {
    return ERROR_SUCCESS;  // the predefined roots are never really open
  }
  sim::KeyTable& table = sim::Keys();
  std::lock_guard guard(table.mutex);
  return table.keys.erase(value) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RegQueryValueExW",
                     {sim::Word(key), sim::Word(data), dataSize != nullptr ? *dataSize : 0},
                     ERROR_GEN_FAILURE, &error, valueName)) {
    return static_cast<LONG>(error);
  }
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  KeyPath path;
  if (!sim::PathOfKey(key, &path)) {
    return ERROR_INVALID_HANDLE;
  }
  const std::u16string name = valueName != nullptr ? valueName : u"";
  return sim::Live().Read([&](const sim::RegistryTree& tree) -> LONG {
    const sim::RegistryKey* found = sim::FindKey(tree, path);
    if (found == nullptr) {
      return ERROR_KEY_DELETED;
    }
    const sim::RegistryValue* value = found->FindValue(name);
    if (value == nullptr) {
      return ERROR_FILE_NOT_FOUND;
    }
    return sim::CopyData(*value, type, data, dataSize);
  });
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RegSetValueExW", {sim::Word(key), reserved, type, dataSize},
                     ERROR_GEN_FAILURE, &error, valueName)) {
    return static_cast<LONG>(error);
  }
  const std::u16string name = valueName != nullptr ? valueName : u"";
  if (reserved != 0 || (data == nullptr && dataSize != 0) || !sim::IsValidValueName(name) ||
      name.size() > sim::kMaxValueName) {
    return ERROR_INVALID_PARAMETER;
  }
  // A DWORD is four bytes, and text values are whole UTF-16 code units.
  if ((type == REG_DWORD && dataSize != 4) ||
      ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && dataSize % 2 != 0)) {
    return ERROR_INVALID_PARAMETER;
  }
  KeyPath path;
  if (!sim::PathOfKey(key, &path)) {
    return ERROR_INVALID_HANDLE;
  }
  return sim::Live().Modify([&](sim::RegistryTree& tree, bool* changed) -> LONG {
    sim::RegistryKey* found = sim::FindKey(tree, path);
    if (found == nullptr) {
      return ERROR_KEY_DELETED;
    }
    found->SetValue({name, type, std::vector<std::uint8_t>(data, data + dataSize)});
    *changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RegDeleteValueW", {sim::Word(key)}, ERROR_GEN_FAILURE, &error, valueName)) {
    return static_cast<LONG>(error);
  }
  KeyPath path;
  if (!sim::PathOfKey(key, &path)) {
    return ERROR_INVALID_HANDLE;
  }
  const std::u16string name = valueName != nullptr ? valueName : u"";
  return sim::Live().Modify([&](sim::RegistryTree& tree, bool* changed) -> LONG {
    sim::RegistryKey* found = sim::FindKey(tree, path);
    if (found == nullptr) {
      return ERROR_KEY_DELETED;
    }
    *changed = found->RemoveValue(name);
    return *changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RegDeleteKeyW", {sim::Word(key)}, ERROR_GEN_FAILURE, &error, subKey)) {
    return static_cast<LONG>(error);
  }
  KeyPath path;
  if (!sim::PathOfKey(key, &path)) {
    return ERROR_INVALID_HANDLE;
  }
  KeyPath names;
  if (const LONG split = sim::SplitSubKey(subKey, &names); split != ERROR_SUCCESS) {
    return split;
  }
  KeyPath full = path;
  full.insert(full.end(), names.begin(), names.end());
  if (full.size() < 2) {
    return ERROR_ACCESS_DENIED;  // a predefined root cannot be deleted
  }
  // The module deletes a key together with everything below it.
  return sim::Live().Modify([&](sim::RegistryTree& tree, bool* changed) -> LONG {
    if (sim::FindKey(tree, path) == nullptr) {
      return ERROR_KEY_DELETED;
    }
    sim::RegistryKey* parent = sim::FindKey(tree, KeyPath(full.begin(), full.end() - 1));
    *changed = parent != nullptr && parent->Remove(full.back());
    return *changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPWSTR keyClass, LPDWORD classSize, LPFILETIME lastWriteTime) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RegEnumKeyExW", {sim::Word(key), index}, ERROR_GEN_FAILURE, &error)) {
    return static_cast<LONG>(error);
  }
  if (name == nullptr || nameSize == nullptr || reserved != nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  KeyPath path;
  if (!sim::PathOfKey(key, &path)) {
    return ERROR_INVALID_HANDLE;
  }
  return sim::Live().Read([&](const sim::RegistryTree& tree) -> LONG {
    const sim::RegistryKey* found = sim::FindKey(tree, path);
    if (found == nullptr) {
      return ERROR_KEY_DELETED;
    }
    if (index >= found->Subkeys().size()) {
      return ERROR_NO_MORE_ITEMS;
    }
    const LONG copied = sim::CopyName(found->Subkeys()[index]->Name(), name, nameSize);
    if (copied != ERROR_SUCCESS) {
      return copied;
    }
    // The module keeps no classes and no write times for keys.
    if (keyClass != nullptr && classSize != nullptr && *classSize > 0) {
      keyClass[0] = 0;
    }
    if (classSize != nullptr) {
      *classSize = 0;
    }
    if (lastWriteTime != nullptr) {
      *lastWriteTime = FILETIME{0, 0};
    }
    return ERROR_SUCCESS;
  });
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameSize, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RegEnumValueW", {sim::Word(key), index}, ERROR_GEN_FAILURE, &error)) {
    return static_cast<LONG>(error);
  }
  if (valueName == nullptr || valueNameSize == nullptr || reserved != nullptr ||
      (data != nullptr && dataSize == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  KeyPath path;
  if (!sim::PathOfKey(key, &path)) {
    return ERROR_INVALID_HANDLE;
  }
  return sim::Live().Read([&](const sim::RegistryTree& tree) -> LONG {
    const sim::RegistryKey* found = sim::FindKey(tree, path);
    if (found == nullptr) {
      return ERROR_KEY_DELETED;
    }
    if (index >= found->Values().size()) {
      return ERROR_NO_MORE_ITEMS;
    }
    const sim::RegistryValue& value = found->Values()[index];
    const LONG copied = sim::CopyName(value.name, valueName, valueNameSize);
    if (copied != ERROR_SUCCESS) {
      return copied;
    }
    return sim::CopyData(value, type, data, dataSize);
  });
}

LONG RegFlushKey(HKEY key) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RegFlushKey", {sim::Word(key)}, ERROR_GEN_FAILURE, &error)) {
    return static_cast<LONG>(error);
  }
  KeyPath path;
  if (!sim::PathOfKey(key, &path)) {
    return ERROR_INVALID_HANDLE;
  }
  // The module keeps one persistent store: a flush through any key writes the whole registry
  // into the flash registry region (registry.reg shows what it holds).
  sim::Machine& machine = sim::CurrentMachine();
  sim::RegistryTree tree;
  sim::Live().Read([&](const sim::RegistryTree& live) {
    tree = live;
    return true;
  });
  std::string failure;
  if (!sim::WriteStoredRegistry(sim::WriteRegistryText(tree), &failure)) {
    machine.DebugLog("RegFlushKey: " + failure);
    return ERROR_WRITE_FAULT;
  }
  sim::RegistryComponent::WriteView(machine, &tree);
  return ERROR_SUCCESS;
}
