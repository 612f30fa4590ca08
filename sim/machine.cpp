#include "sim/machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/cpu.h"

namespace sim {
namespace {

constexpr std::uint64_t kModuleFormat = 1;

std::vector<Component*>& Components() {
  static std::vector<Component*> components;
  return components;
}

std::vector<Component*> SortedComponents() {
  std::vector<Component*> sorted = Components();
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](Component* a, Component* b) { return a->Order() < b->Order(); });
  return sorted;
}

// The attached machine. Never destroyed: a module may still be detached from a static
// destructor at process exit (a tool's or a benchmark's own state), and by then a holder created
// during the run would already be gone, leaving the components' view of the machine dangling.
std::unique_ptr<Machine>& Current() {
  static auto* machine = new std::unique_ptr<Machine>();
  return *machine;
}

// Serialises boots and resets between processes of one module.
class DirectoryLock {
 public:
  explicit DirectoryLock(const fs::path& file) {
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_EX);
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_ = -1;
};

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
  if (const Json* faults = reader.Find("faults"); faults != nullptr) {
    if (!faults->is_object()) {
      reader.Error("faults", "must be an object with seed and items");
    } else {
      reader.UnsignedOr("faults.seed", 0xFFFFFFFF, 1);
      if (const Json* items = reader.Find("faults.items"); items != nullptr && !items->is_array()) {
        reader.Error("faults.items", "must be an array");
      } else if (items != nullptr) {
        for (std::size_t i = 0; i < items->size(); ++i) {
          const Json& item = (*items)[i];
          if (!item.is_object() || !item.contains("kind") || !item["kind"].is_string()) {
            reader.Error("faults.items[" + std::to_string(i) + "]", "needs a string \"kind\"");
          }
        }
      }
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ConfigReader
// ---------------------------------------------------------------------------------------------
bool ParseUnsigned(const Json& value, std::uint64_t* result) {
  if (value.is_number_unsigned()) {
    *result = value.get<std::uint64_t>();
    return true;
  }
  if (value.is_number_integer()) {
    const std::int64_t v = value.get<std::int64_t>();
    if (v < 0) {
      return false;
    }
    *result = static_cast<std::uint64_t>(v);
    return true;
  }
  if (!value.is_string()) {
    return false;
  }
  const std::string& text = value.get_ref<const std::string&>();
  if (text.empty() || text.size() > 20) {
    return false;
  }
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::uint64_t v = 0;
  for (std::size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    const unsigned base = hex ? 16 : 10;
    if (v > (UINT64_MAX - digit) / base) {
      return false;
    }
    v = v * base + digit;
  }
  *result = v;
  return true;
}

const Json* ConfigReader::Find(std::string_view path) const {
  const Json* node = &document_;
  while (!path.empty()) {
    const std::size_t dot = path.find('.');
    const std::string key(path.substr(0, dot));
    if (!node->is_object()) {
      return nullptr;
    }
    auto it = node->find(key);
    if (it == node->end()) {
      return nullptr;
    }
    node = &*it;
    path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
  }
  return node;
}

void ConfigReader::Error(std::string_view path, const std::string& message) {
  errors_.push_back(fileName_ + ": field \"" + std::string(path) + "\": " + message);
}

std::uint64_t ConfigReader::Unsigned(std::string_view path, std::uint64_t maximum,
                                     const std::uint64_t* fallback) {
  const Json* value = Find(path);
  if (value == nullptr) {
    if (fallback != nullptr) {
      return *fallback;
    }
    Error(path, "missing");
    return 0;
  }
  std::uint64_t result = 0;
  if (!ParseUnsigned(*value, &result)) {
    Error(path, "not an unsigned number (" + value->dump() + ")");
    return 0;
  }
  if (result > maximum) {
    Error(path, "value " + std::to_string(result) + " is larger than " + std::to_string(maximum));
    return 0;
  }
  return result;
}

std::string ConfigReader::String(std::string_view path, const std::string* fallback) {
  const Json* value = Find(path);
  if (value == nullptr) {
    if (fallback != nullptr) {
      return *fallback;
    }
    Error(path, "missing");
    return {};
  }
  if (!value->is_string()) {
    Error(path, "not a string");
    return {};
  }
  return value->get<std::string>();
}

bool ConfigReader::Boolean(std::string_view path, bool fallback) {
  const Json* value = Find(path);
  if (value == nullptr) {
    return fallback;
  }
  if (!value->is_boolean()) {
    Error(path, "not true or false");
    return fallback;
  }
  return value->get<bool>();
}

std::vector<std::uint8_t> ConfigReader::HexBytes(std::string_view path, bool* present) {
  *present = false;
  const Json* value = Find(path);
  if (value == nullptr) {
    return {};
  }
  if (!value->is_string()) {
    Error(path, "not a hex string");
    return {};
  }
  const std::string& text = value->get_ref<const std::string&>();
  if (text.size() % 2 != 0) {
    Error(path, "hex string of odd length");
    return {};
  }
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') {
        return c - '0';
      }
      if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
      }
      if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
      }
      return -1;
    };
    const int high = nibble(text[i]);
    const int low = nibble(text[i + 1]);
    if (high < 0 || low < 0) {
      Error(path, "not a hex string");
      return {};
    }
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  *present = true;
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// FaultPlan
// ---------------------------------------------------------------------------------------------
void FaultPlan::Load(const Json& faults) {
  Clear();
  if (!faults.is_object()) {
    return;
  }
  std::uint64_t seed = 1;
  if (faults.contains("seed")) {
    ParseUnsigned(faults["seed"], &seed);
  }
  random_.seed(static_cast<std::uint32_t>(seed));
  if (faults.contains("items") && faults["items"].is_array()) {
    for (const Json& item : faults["items"]) {
      Add(item);
    }
  }
}

void FaultPlan::Add(Json item) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (item.value("kind", "") == "call") {
    CallFault fault{item.value("name", ""), item.value("skip", std::int64_t{0}),
                    item.value("count", std::int64_t{1}), item.value("error", std::uint32_t{31})};
    calls_.push_back(fault);
  }
  items_.push_back(std::move(item));
  generation_.fetch_add(1, std::memory_order_release);
}

void FaultPlan::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  items_.clear();
  calls_.clear();
  generation_.fetch_add(1, std::memory_order_release);
}

bool FaultPlan::FailCall(std::string_view name, std::uint32_t* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (CallFault& fault : calls_) {
    if (fault.name != name) {
      continue;
    }
    if (fault.skip > 0) {
      --fault.skip;
      continue;
    }
    if (fault.count == 0) {
      continue;
    }
    if (fault.count > 0) {
      --fault.count;
    }
    if (error != nullptr) {
      *error = fault.error;
    }
    return true;
  }
  return false;
}

std::vector<Json> FaultPlan::Items(std::string_view kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Json> result;
  for (const Json& item : items_) {
    if (item.value("kind", "") == kind) {
      result.push_back(item);
    }
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// CallRecord
// ---------------------------------------------------------------------------------------------
void CallRecord::Add(std::string name, std::vector<std::uint64_t> args, const void* input,
                     std::size_t inputSize) {
  if (!enabled_) {
    return;
  }
  CallEntry entry{std::move(name), std::move(args), {}};
  if (input != nullptr && inputSize > 0) {
    const auto* bytes = static_cast<const std::uint8_t*>(input);
    entry.input.assign(bytes, bytes + inputSize);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(std::move(entry));
}

std::vector<CallEntry> CallRecord::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::vector<CallEntry> CallRecord::Entries(std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<CallEntry> result;
  for (const CallEntry& entry : entries_) {
    if (entry.name == name) {
      result.push_back(entry);
    }
  }
  return result;
}

void CallRecord::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

// ---------------------------------------------------------------------------------------------
// Presets
// ---------------------------------------------------------------------------------------------
bool FindPreset(std::string_view name, std::uint32_t nandChipId, PresetSpec* presetSpec,
                std::string* error) {
  // Main ID registers of the processors; the product number is bits 4 to 9.
  struct Row {
    const char* name;
    std::uint32_t identity;
    std::uint32_t mainId;
    std::uint32_t norSize;
  };
  static constexpr Row kRows[] = {
      {"pxa270-32m", 17, 0x69054117, 0x2000000},
      {"pxa270-64m", 17, 0x69054117, 0x4000000},
      {"pxa320", 2, 0x69056825, 0},
      {"pxa300", 8, 0x69056881, 0},
      {"pxa310", 9, 0x69056891, 0},
  };
  for (const Row& row : kRows) {
    if (name != row.name) {
      continue;
    }
    PresetSpec result;
    result.name = row.name;
    result.identity = row.identity;
    result.mainId = row.mainId;
    result.nor = row.norSize != 0;
    result.norSize = row.norSize;
    if (result.nor && nandChipId != 0) {
      *error = "preset " + std::string(name) + " has NOR flash; --nand-chip does not apply";
      return false;
    }
    result.nandChipId = result.nor ? 0 : (nandChipId != 0 ? nandChipId : 0xF1EC);
    *presetSpec = result;
    return true;
  }
  std::string known;
  for (const Row& row : kRows) {
    known += std::string(known.empty() ? "" : ", ") + row.name;
  }
  *error = "unknown preset \"" + std::string(name) + "\" (known: " + known + ")";
  return false;
}

std::vector<std::string> PresetNames() {
  return {"pxa270-32m", "pxa270-64m", "pxa320", "pxa300", "pxa310"};
}

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------
bool ReadWholeFile(const fs::path& file, std::string* content) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  *content = text.str();
  return !in.bad();
}

bool WriteWholeFile(const fs::path& file, std::string_view content, std::string* error) {
  const fs::path temporary = file.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) {
      if (error != nullptr) {
        *error = temporary.string() + ": cannot write";
      }
      return false;
    }
  }
  std::error_code code;
  fs::rename(temporary, file, code);
  if (code) {
    if (error != nullptr) {
      *error = file.string() + ": cannot replace: " + code.message();
    }
    return false;
  }
  return true;
}

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
    : directory_(std::move(directory)), config_(std::move(config)) {}

Machine::~Machine() = default;

bool Machine::SaveConfig(std::string* error) {
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

bool LoadModuleConfig(const fs::path& directory, Json* config, std::string* error) {
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
  Json document = Json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    *error = file.string() + ": not valid JSON (expected an object)";
    return false;
  }
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
  *config = std::move(document);
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
  if (!Attach(directory, AttachOptions{}, error)) {
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
  auto machine = std::make_unique<Machine>(fs::absolute(directory), std::move(config));
  machine->options_ = options;
  ConfigReader reader(machine->config_, "module.json");
  machine->identity_ = static_cast<std::uint32_t>(reader.Unsigned("processor.identity", 0x3F));
  machine->mainId_ = static_cast<std::uint32_t>(reader.Unsigned("processor.mainId", 0xFFFFFFFF));
  machine->osVersion_ = static_cast<std::uint32_t>(reader.UnsignedOr("os.version", 6, 6));
  // A process of an image built for full kernel mode runs privileged from the start.
  SetProcessMode(reader.Boolean("processor.kernelMode", false) ? kModeSystem : kModeUser);
  if (machine->config_.contains("faults")) {
    machine->faults_.Load(machine->config_["faults"]);
  }
  // {"kind": "heap", "limit": N}: free heap capped at N bytes for LocalAlloc.
  for (const Json& item : machine->faults_.Items("heap")) {
    std::uint64_t limit = 0;
    if (item.contains("limit") && ParseUnsigned(item["limit"], &limit)) {
      machine->heapLimit_ = limit;
    }
  }
  std::error_code code;
  fs::create_directories(machine->RamDirectory(), code);
  fs::create_directories(machine->FilesDirectory(), code);
  if (!machine->clock_.Open(machine->RamDirectory() / "clock", options.pace, error)) {
    return false;
  }
  Current() = std::move(machine);
  Machine& m = *Current();
  std::vector<Component*> components = SortedComponents();
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (!components[i]->Attach(m, error)) {
      for (std::size_t j = i; j-- > 0;) {
        components[j]->Detach(m);
      }
      Current().reset();
      return false;
    }
  }
  DirectoryLock lock(m.RamDirectory() / ".boot.lock");
  if (!fs::exists(m.RamDirectory() / "booted")) {
    for (Component* component : components) {
      component->Boot(m);
    }
    std::ofstream(m.RamDirectory() / "booted") << "booted\n";
  }
  return true;
}

void Detach() {
  if (!Current()) {
    return;
  }
  Machine& m = *Current();
  std::vector<Component*> components = SortedComponents();
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    (*it)->Detach(m);
  }
  const ResetKind reset = m.PendingReset();
  const fs::path directory = m.Directory();
  m.Clock().Close();
  m.Bus().DetachAll();
  Current().reset();
  if (reset != ResetKind::kNone) {
    std::string ignored;
    ResetModule(directory, &ignored);
  }
}

bool ResetModule(const fs::path& directory, std::string* error) {
  Json config;
  if (!LoadModuleConfig(directory, &config, error)) {
    return false;
  }
  const fs::path ram = directory / "ram";
  DirectoryLock lock(directory / ".reset.lock");
  std::error_code code;
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
