// The storage manager of the module's OS: block driver instances, stores, partitions and the
// volumes mounted from them, with their state shared by the module's processes in ram/.
#include "sim/storage/storage_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>

#include "platform/kernel.h"
#include "sim/base/bytes.h"
#include "sim/base/file_lock.h"
#include "sim/base/file_stamp.h"
#include "sim/base/hex.h"
#include "sim/base/names.h"
#include "sim/base/utf.h"
#include "sim/hw/nand_flash.h"
#include "sim/module/machine.h"
#include "sim/os/file_system.h"
#include "sim/os/os_call.h"
#include "sim/os/real_time_clock.h"
#include "sim/os/registry.h"
#include "sim/storage/volume.h"

namespace sim::storage {
namespace {

constexpr std::uint64_t kStateFormat = 1;
constexpr const char* kStateFile = "storage.json";
constexpr const char* kLockFile = "storage.lock";
constexpr const char* kProfilesKey = "HKLM\\System\\StorageManager\\Profiles\\";
constexpr const char* kStorageManagerKey = "HKLM\\System\\StorageManager";
constexpr const char16_t* kBlockDriverGuidText = u"{A4E7EDDA-E575-4252-9D6B-4195D48BB865}";
// A mount without a "Folder" in its profile, as the storage manager names it.
constexpr const char16_t* kDefaultFolder = u"Mounted Volume";
// The FAT driver reports a partition without a valid volume like this.
constexpr DWORD kErrorBadFormat = 11;

// ---------------------------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------------------------
std::uint32_t TickNow() {
  return static_cast<std::uint32_t>(CurrentMachine().Clock().Now() / kMillisecond);
}

void Log(const std::string& line) { CurrentMachine().DebugLog("storage: " + line); }

// 64-bit FNV-1a, for telling whether a volume folder or its sectors changed.
constexpr std::uint64_t kFnvOffset = 0xCBF29CE484222325ull;
std::uint64_t Fnv1a(std::uint64_t hash, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < length; ++i) {
    hash = (hash ^ bytes[i]) * 0x100000001B3ull;
  }
  return hash;
}
// An entry changed less than this long ago may change again within the same clock tick
// without its times showing it; on a file system that keeps whole seconds, within the same
// (up to two-second) step, so there it must be older by the second figure as well.
constexpr std::int64_t kSettleNanoseconds = 100'000'000;
constexpr std::int64_t kCoarseSettleNanoseconds = 3'000'000'000;

void CopyName(WCHAR* target, std::size_t units, std::u16string_view text) {
  const std::size_t count = std::min(units - 1, text.size());
  std::copy_n(text.data(), count, target);
  std::fill(target + count, target + units, u'\0');
}

// Registry values of HKEY_LOCAL_MACHINE\key.
std::string KeyPath(std::string_view key) { return "HKLM\\" + std::string(key); }

bool ReadDword(std::string_view path, std::string_view name, std::uint32_t* value) {
  return RegistryGetDword(path, name, value);
}

std::u16string ReadString(std::string_view path, std::string_view name,
                          std::u16string_view fallback) {
  std::string text;
  if (!RegistryGetString(path, name, &text)) {
    return std::u16string(fallback);
  }
  // A string value ends at its first terminator.
  std::u16string value = FromUtf8(text);
  if (const std::size_t nul = value.find(u'\0'); nul != std::u16string::npos) {
    value.resize(nul);
  }
  return value;
}

// The interfaces a driver key's IClass names (REG_SZ or REG_MULTI_SZ; "{GUID}" or
// "{GUID}=name" entries).
bool NamesBlockInterface(std::string_view key) {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  if (!RegistryGetValue(KeyPath(key), "IClass", &type, &data)) {
    return false;
  }
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(u'\0', start);
    if (end == std::u16string::npos) {
      end = text.size();
    }
    std::u16string entry = text.substr(start, end - start);
    if (const std::size_t equals = entry.find(u'='); equals != std::u16string::npos) {
      entry.resize(equals);
    }
    if (SameName(entry, kBlockDriverGuidText)) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// The shared state
// ---------------------------------------------------------------------------------------------
struct Model {
  std::recursive_mutex mutex;
  int depth = 0;
  int lockFd = -1;
  fs::path ram;
  FileStamp stamp;
  bool changed = false;
  std::uint32_t nextId = 1;
  std::vector<DriverInstance> drivers;
  std::vector<StoreState> stores;
  // Volumes this process has told its file system about (folded folder names).
  std::vector<std::u16string> mountedHere;
};

Model& M() {
  static Model* model = new Model();  // Never destroyed: threads may outlive main.
  return *model;
}

std::string Narrow(std::u16string_view text) { return ToUtf8(text); }

Json GeometryJson(const StoreGeometry& geometry) {
  return Json{{"memBase", geometry.memBase},
              {"memLen", geometry.memLen},
              {"blockSize", geometry.blockSize},
              {"sectorSize", geometry.sectorSize}};
}

StoreGeometry GeometryFrom(const Json& json) {
  StoreGeometry geometry;
  geometry.memBase = json.value("memBase", 0u);
  geometry.memLen = json.value("memLen", 0u);
  geometry.blockSize = json.value("blockSize", 0u);
  geometry.sectorSize = json.value("sectorSize", 0u);
  return geometry;
}

Json StateJson() {
  Model& m = M();
  Json drivers = Json::array();
  for (const DriverInstance& driver : m.drivers) {
    drivers.push_back({{"id", driver.id},
                       {"key", driver.key},
                       {"legacyName", Narrow(driver.legacyName)},
                       {"prefix", Narrow(driver.prefix)},
                       {"index", driver.index},
                       {"byDeviceManager", driver.byDeviceManager},
                       {"blockInterface", driver.blockInterface},
                       {"profile", Narrow(driver.profile)},
                       {"geometry", GeometryJson(driver.geometry)}});
  }
  Json stores = Json::array();
  for (const StoreState& store : m.stores) {
    Json partitions = Json::array();
    for (const PartitionState& partition : store.partitions) {
      partitions.push_back({{"name", Narrow(partition.entry.name)},
                            {"first", partition.entry.first},
                            {"sectors", partition.entry.sectors},
                            {"created", partition.entry.created},
                            {"modified", partition.entry.modified},
                            {"attributes", partition.entry.attributes},
                            {"type", partition.entry.type},
                            {"mounted", partition.mounted},
                            {"readOnly", partition.readOnly},
                            {"folder", Narrow(partition.folder)},
                            {"imageSectors", partition.imageSectors},
                            {"syncedFolder", partition.syncedFolder},
                            {"syncedImage", partition.syncedImage}});
    }
    stores.push_back({{"id", store.id},
                      {"driverId", store.driverId},
                      {"deviceName", Narrow(store.deviceName)},
                      {"storeName", Narrow(store.storeName)},
                      {"profile", Narrow(store.profile)},
                      {"geometry", GeometryJson(store.geometry)},
                      {"detaching", store.detaching},
                      {"detachedAt", store.detachedAt},
                      {"unformatted", store.unformatted},
                      {"attributes", store.attributes},
                      {"created", store.created},
                      {"modified", store.modified},
                      {"generation", store.generation},
                      {"partitions", partitions}});
  }
  return Json{
      {"format", kStateFormat}, {"nextId", m.nextId}, {"drivers", drivers}, {"stores", stores}};
}

bool StateFromJson(const Json& json, std::string* error) {
  if (!json.is_object() || json.value("format", 0u) != kStateFormat || !json.contains("drivers") ||
      !json["drivers"].is_array() || !json.contains("stores") || !json["stores"].is_array()) {
    *error = "not a storage state of this build";
    return false;
  }
  Model& m = M();
  std::vector<DriverInstance> drivers;
  std::vector<StoreState> stores;
  try {
    for (const Json& item : json["drivers"]) {
      DriverInstance driver;
      driver.id = item.at("id").get<std::uint32_t>();
      driver.key = item.at("key").get<std::string>();
      driver.legacyName = FromUtf8(item.at("legacyName").get<std::string>());
      driver.prefix = FromUtf8(item.at("prefix").get<std::string>());
      driver.index = item.at("index").get<std::uint32_t>();
      driver.byDeviceManager = item.at("byDeviceManager").get<bool>();
      driver.blockInterface = item.at("blockInterface").get<bool>();
      driver.profile = FromUtf8(item.at("profile").get<std::string>());
      driver.geometry = GeometryFrom(item.at("geometry"));
      drivers.push_back(std::move(driver));
    }
    for (const Json& item : json["stores"]) {
      StoreState store;
      store.id = item.at("id").get<std::uint32_t>();
      store.driverId = item.at("driverId").get<std::uint32_t>();
      store.deviceName = FromUtf8(item.at("deviceName").get<std::string>());
      store.storeName = FromUtf8(item.at("storeName").get<std::string>());
      store.profile = FromUtf8(item.at("profile").get<std::string>());
      store.geometry = GeometryFrom(item.at("geometry"));
      store.detaching = item.at("detaching").get<bool>();
      store.detachedAt = item.at("detachedAt").get<std::uint32_t>();
      store.unformatted = item.at("unformatted").get<bool>();
      store.attributes = item.at("attributes").get<std::uint32_t>();
      store.created = item.at("created").get<std::uint64_t>();
      store.modified = item.at("modified").get<std::uint64_t>();
      store.generation = item.at("generation").get<std::uint32_t>();
      for (const Json& part : item.at("partitions")) {
        PartitionState partition;
        partition.entry.name = FromUtf8(part.at("name").get<std::string>());
        partition.entry.first = part.at("first").get<std::uint64_t>();
        partition.entry.sectors = part.at("sectors").get<std::uint64_t>();
        partition.entry.created = part.at("created").get<std::uint64_t>();
        partition.entry.modified = part.at("modified").get<std::uint64_t>();
        partition.entry.attributes = part.at("attributes").get<std::uint32_t>();
        partition.entry.type = part.at("type").get<std::uint8_t>();
        partition.mounted = part.at("mounted").get<bool>();
        partition.readOnly = part.at("readOnly").get<bool>();
        partition.folder = FromUtf8(part.at("folder").get<std::string>());
        partition.imageSectors = part.at("imageSectors").get<std::uint64_t>();
        partition.syncedFolder = part.value("syncedFolder", std::string());
        partition.syncedImage = part.value("syncedImage", std::uint64_t{0});
        store.partitions.push_back(std::move(partition));
      }
      stores.push_back(std::move(store));
    }
  } catch (const Json::exception& problem) {
    // The state file is written by this model only; a field that does not read is damage.
    *error = problem.what();
    return false;
  }
  m.nextId = json.value("nextId", 1u);
  m.drivers = std::move(drivers);
  m.stores = std::move(stores);
  return true;
}

void Refresh() {
  Model& m = M();
  const fs::path file = m.ram / kStateFile;
  const FileStamp stamp = StampOf(file);
  if (stamp == m.stamp) {
    return;
  }
  m.stamp = stamp;
  if (!stamp.present) {
    m.nextId = 1;
    m.drivers.clear();
    m.stores.clear();
    return;
  }
  std::string text;
  std::string error;
  if (!ReadWholeFile(file, &text)) {
    Fault(file.string() + ": cannot read the storage manager's state");
  }
  const Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded() || !StateFromJson(json, &error)) {
    Fault(file.string() + ": damaged storage manager state: " + error);
  }
}

void Save() {
  Model& m = M();
  const fs::path file = m.ram / kStateFile;
  std::string error;
  if (!WriteWholeFile(file, StateJson().dump(1) + "\n", &error)) {
    Log(error);
    return;
  }
  m.stamp = StampOf(file);
  m.changed = false;
}

void Reconcile();

// Holds the storage manager's lock: this process's threads and the module's other processes.
class Guard {
 public:
  Guard() : lock_(M().mutex) {
    Model& m = M();
    if (m.depth++ == 0) {
      if (m.lockFd >= 0) {
        (void)LockFile(m.lockFd, LockMode::kExclusive);
      }
      Refresh();
      Reconcile();
    }
  }
  ~Guard() {
    Model& m = M();
    if (m.depth == 1) {
      if (m.changed) {
        Save();
      }
      Reconcile();
      if (m.lockFd >= 0) {
        UnlockFile(m.lockFd);
      }
    }
    --m.depth;
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  std::unique_lock<std::recursive_mutex> lock_;
};

void Changed() { M().changed = true; }

}  // namespace

namespace {

bool StoreFault(const StoreState& store, const char* operation, DWORD* error) {
  const FaultPlan::ItemRef item = CurrentMachine().Faults().Fire(
      kStoreFault,
      [&](const FaultItem& candidate) {
        return candidate.String("fail") == operation &&
               (!candidate.Has("device") ||
                SameName(FromUtf8(std::string(candidate.String("device"))), store.deviceName));
      },
      [&] { return std::string(operation) + " of store " + ToUtf8(store.deviceName); });
  if (item == nullptr) {
    return false;
  }
  *error = ItemError(*item, ERROR_GEN_FAILURE);
  return true;
}

bool SectorFault(const char* operation, std::uint64_t first, std::uint64_t count, DWORD fallback,
                 DWORD* error) {
  const FaultPlan::ItemRef item = CurrentMachine().Faults().Fire(
      kSectorFault,
      [&](const FaultItem& candidate) {
        if (candidate.String("operation") != operation) {
          return false;
        }
        if (!candidate.Has("sector")) {
          return true;
        }
        const std::uint64_t sector = candidate.Unsigned("sector");
        return sector >= first && sector - first < count;
      },
      [&] {
        return std::string(operation) + " of sectors " + std::to_string(first) + " to " +
               std::to_string(first + count - 1);
      });
  if (item == nullptr) {
    return false;
  }
  *error = ItemError(*item, fallback);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Lookups
// ---------------------------------------------------------------------------------------------
StoreState* FindStore(std::uint32_t id) {
  for (StoreState& store : M().stores) {
    if (store.id == id) {
      return &store;
    }
  }
  return nullptr;
}

// A store that callers may use: attached, not unloading.
DWORD UsableStore(std::uint32_t id, StoreState** store) {
  StoreState* found = FindStore(id);
  if (found == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (found->detaching) {
    return ERROR_DEVICE_NOT_AVAILABLE;
  }
  *store = found;
  return ERROR_SUCCESS;
}

DWORD UsablePartition(std::uint32_t storeId, std::uint32_t generation, std::u16string_view name,
                      StoreState** store, PartitionState** partition) {
  DWORD error = UsableStore(storeId, store);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  if ((*store)->generation != generation) {
    return ERROR_INVALID_HANDLE;  // the store was formatted since the partition was opened
  }
  for (PartitionState& candidate : (*store)->partitions) {
    if (SameName(candidate.entry.name, name)) {
      *partition = &candidate;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_INVALID_HANDLE;
}

std::uint64_t NextFreeSector(const StoreState& store) {
  std::uint64_t next = 1;  // sector 0 holds the partition table
  for (const PartitionState& partition : store.partitions) {
    next = std::max(next, partition.entry.first + partition.entry.sectors);
  }
  return next;
}

std::uint64_t FreeSectors(const StoreState& store) {
  const std::uint64_t sectors = store.geometry.Sectors();
  const std::uint64_t next = NextFreeSector(store);
  return next < sectors ? sectors - next : 0;
}

std::string ProfilePath(std::u16string_view profile) { return kProfilesKey + Narrow(profile); }

bool ProfileTfat(std::u16string_view profile) {
  std::uint32_t tfat = 0;
  return ReadDword(ProfilePath(profile) + "\\FATFS", "FormatTfat", &tfat) && tfat != 0;
}

DWORD WriteTable(StoreState& store) {
  std::vector<PartitionEntry> entries;
  for (const PartitionState& partition : store.partitions) {
    entries.push_back(partition.entry);
  }
  const std::vector<std::uint8_t> sector = BuildPartitionTable(entries, store.geometry.sectorSize);
  SectorDevice device(store.geometry);
  return device.Write(0, 1, sector.data());
}

// ---------------------------------------------------------------------------------------------
// Volume folders
// ---------------------------------------------------------------------------------------------
std::u16string FolderPath(std::u16string_view folder) { return u"\\" + std::u16string(folder); }

fs::path HostFolder(std::u16string_view folder) {
  fs::path host;
  if (!ResolveModulePath(FolderPath(folder), &host)) {
    return {};
  }
  return host;
}

void RemoveHostFolder(std::u16string_view folder) {
  const fs::path host = HostFolder(folder);
  if (host.empty()) {
    return;
  }
  std::error_code code;
  fs::remove_all(host, code);
  if (code) {
    Log("cannot remove " + host.string() + ": " + code.message());
  }
}

// The bytes a volume image would take for what the folder holds now (the file system's free
// space figure). Reads only the host folder's entries, never the model's lock.
std::uint64_t FolderImageBytes(const fs::path& host) {
  std::uint64_t bytes = kVolumeHeaderBytes + kVolumeEntryBytes;
  std::error_code code;
  for (auto it = fs::recursive_directory_iterator(host, code);
       !code && it != fs::recursive_directory_iterator(); it.increment(code)) {
    if (it->is_symlink(code)) {
      it.disable_recursion_pending();
      continue;
    }
    bytes += kVolumeEntryBytes + 2 * FromUtf8(it->path().filename().string()).size();
    if (it->is_regular_file(code)) {
      bytes += it->file_size(code);
    }
  }
  return bytes;
}

VolumeMount MountFor(const StoreState& store, const PartitionState& partition) {
  VolumeMount mount;
  mount.name = partition.folder;
  mount.capacityBytes = partition.entry.sectors * store.geometry.sectorSize;
  const std::uint64_t capacity = mount.capacityBytes;
  const std::uint32_t sectorSize = store.geometry.sectorSize;
  const fs::path host = HostFolder(partition.folder);
  mount.space = [capacity, sectorSize, host]() {
    const std::uint64_t image = FolderImageBytes(host);
    const std::uint64_t used = (image + sectorSize - 1) / sectorSize * sectorSize;
    return VolumeSpace{capacity, used >= capacity ? 0 : capacity - used};
  };
  return mount;
}

bool MountedHere(std::u16string_view folder) {
  for (const std::u16string& name : M().mountedHere) {
    if (SameName(name, folder)) {
      return true;
    }
  }
  return false;
}

// Makes this process's file system show exactly the volumes the state says are mounted.
void Reconcile() {
  Model& m = M();
  std::vector<std::u16string> wanted;
  for (const StoreState& store : m.stores) {
    for (const PartitionState& partition : store.partitions) {
      if (partition.mounted) {
        wanted.push_back(partition.folder);
        if (!MountedHere(partition.folder)) {
          std::string error;
          if (MountVolume(MountFor(store, partition), &error)) {
            m.mountedHere.push_back(partition.folder);
          } else {
            Log("cannot show volume " + Narrow(partition.folder) + ": " + error);
          }
        }
      }
    }
  }
  for (auto it = m.mountedHere.begin(); it != m.mountedHere.end();) {
    const bool keep = std::any_of(wanted.begin(), wanted.end(),
                                  [&](const std::u16string& name) { return SameName(name, *it); });
    if (keep) {
      ++it;
    } else {
      (void)DismountVolume(*it);
      it = m.mountedHere.erase(it);
    }
  }
}

// Writes a volume tree into its folder as the FAT driver presents it.
bool WriteFolder(const Volume& volume, std::u16string_view folder, std::string* error) {
  ModelCallScope scope;
  LastErrorKeeper keep;
  bool ok = true;
  std::vector<std::pair<std::u16string, const VolumeNode*>> directories;
  volume.Walk([&](const std::u16string& relative, const VolumeNode& node) {
    if (!ok) {
      return;
    }
    const std::u16string path = FolderPath(folder) + (relative.empty() ? u"" : u"\\" + relative);
    if (relative.empty()) {
      directories.emplace_back(path, &node);
      return;
    }
    if (node.IsDirectory()) {
      if (!CreateDirectoryW(path.c_str(), nullptr)) {
        *error = "cannot create folder " + Narrow(path);
        ok = false;
        return;
      }
      directories.emplace_back(path, &node);
      return;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      *error = "cannot create file " + Narrow(path);
      ok = false;
      return;
    }
    std::size_t done = 0;
    while (ok && done < node.content.size()) {
      const auto piece =
          static_cast<DWORD>(std::min<std::size_t>(node.content.size() - done, 1u << 20));
      DWORD written = 0;
      if (!WriteFile(file, node.content.data() + done, piece, &written, nullptr) ||
          written != piece) {
        *error = "cannot write file " + Narrow(path);
        ok = false;
      }
      done += piece;
    }
    const FILETIME created = ToFileTime(node.created);
    const FILETIME accessed = ToFileTime(node.accessed);
    const FILETIME written = ToFileTime(node.written);
    if (ok && !SetFileTime(file, &created, &accessed, &written)) {
      *error = "cannot set the times of " + Narrow(path);
      ok = false;
    }
    (void)CloseHandle(file);
    if (ok && !SetFileAttributesW(path.c_str(), node.ReportedAttributes())) {
      *error = "cannot set the attributes of " + Narrow(path);
      ok = false;
    }
  });
  // Folders last, so that creating their children does not move their times again.
  for (auto it = directories.rbegin(); ok && it != directories.rend(); ++it) {
    if (it->second->parent != nullptr &&
        !SetFileAttributesW(it->first.c_str(), it->second->ReportedAttributes())) {
      *error = "cannot set the attributes of " + Narrow(it->first);
      ok = false;
    }
    if (ok && !SetFolderTimes(it->first, it->second->created, it->second->accessed,
                              it->second->written)) {
      *error = "cannot set the times of " + Narrow(it->first);
      ok = false;
    }
  }
  return ok;
}

// Reads a volume's folder back into a volume tree.
DWORD ReadFolder(std::u16string_view folder, Volume* volume) {
  ModelCallScope scope;
  LastErrorKeeper keep;
  DWORD result = ERROR_SUCCESS;
  // Depth-first, in the order the directory search returns the entries.
  std::vector<std::u16string> pending{u""};
  while (!pending.empty() && result == ERROR_SUCCESS) {
    const std::u16string relative = pending.back();
    pending.pop_back();
    const std::u16string base = FolderPath(folder) + (relative.empty() ? u"" : u"\\" + relative);
    WIN32_FIND_DATAW data{};
    HANDLE search = FindFirstFileW((base + u"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
      continue;  // an empty folder
    }
    std::vector<std::u16string> children;
    do {
      const std::u16string name(data.cFileName);
      const std::u16string path = relative.empty() ? name : relative + u"\\" + name;
      DWORD error = ERROR_SUCCESS;
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = volume->CreateDirectory(path);
        children.push_back(path);
      } else {
        std::shared_ptr<VolumeFile> file;
        bool existed = false;
        error = volume->Open(path, GENERIC_WRITE, 0, CREATE_NEW, 0, &file, &existed);
        fs::path host;
        std::string content;
        if (error == ERROR_SUCCESS &&
            (!ResolveModulePath(base + u"\\" + name, &host) || !ReadWholeFile(host, &content))) {
          error = ERROR_READ_FAULT;
        }
        std::uint32_t done = 0;
        if (error == ERROR_SUCCESS && !content.empty()) {
          error = file->Write(0, content.data(), static_cast<std::uint32_t>(content.size()), &done);
        }
      }
      if (error == ERROR_SUCCESS) {
        error = volume->SetAttributes(path, data.dwFileAttributes);
      }
      if (error == ERROR_SUCCESS) {
        error = volume->SetEntryTimes(path, FromFileTime(data.ftCreationTime),
                                      FromFileTime(data.ftLastAccessTime),
                                      FromFileTime(data.ftLastWriteTime));
      }
      if (error != ERROR_SUCCESS) {
        result = error;
        break;
      }
    } while (FindNextFileW(search, &data));
    (void)FindClose(search);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      pending.push_back(*it);
    }
  }
  return result;
}

// The image header and root entry as they stand in the partition's first sector.
struct ImageHead {
  bool valid = false;
  std::uint32_t bytes = 0;
  std::uint32_t flags = 0;
  std::uint64_t rootTimes[3] = {0, 0, 0};
};

ImageHead PeekImageHead(const StoreState& store, const PartitionState& partition) {
  ImageHead head;
  std::vector<std::uint8_t> sector(store.geometry.sectorSize);
  const std::uint32_t offset =
      store.geometry.memBase +
      static_cast<std::uint32_t>(partition.entry.first * store.geometry.sectorSize);
  if (!PeekFlash(offset, sector.data(), store.geometry.sectorSize) ||
      !Volume::ImageBytesFromHeader(sector, &head.bytes)) {
    return head;
  }
  head.valid = true;
  head.flags = Get32(sector.data() + 16);
  for (int i = 0; i < 3; ++i) {
    head.rootTimes[i] = Get64(sector.data() + kVolumeHeaderBytes + 8 + 8 * i);
  }
  return head;
}

// Writes an image into a partition's sectors: the sectors that change, and erased sectors where
// the previous image (imageSectors of them) was longer.
DWORD WriteImage(StoreState& store, PartitionState& partition,
                 const std::vector<std::uint8_t>& image, std::uint64_t clearUpTo) {
  const std::uint32_t sectorSize = store.geometry.sectorSize;
  const std::uint64_t sectors = (image.size() + sectorSize - 1) / sectorSize;
  if (sectors > partition.entry.sectors) {
    return ERROR_DISK_FULL;
  }
  const std::uint64_t end = std::min(std::max(sectors, clearUpTo), partition.entry.sectors);
  // The image's sectors, the last one padded with 0xFF; the sectors behind it are to read
  // erased, which the scan tells mostly without reading them.
  std::vector<std::uint8_t> wanted(static_cast<std::size_t>(sectors * sectorSize), 0xFF);
  std::copy(image.begin(), image.end(), wanted.begin());
  const std::vector<std::uint8_t> erased(sectorSize, 0xFF);
  std::vector<std::uint8_t> current(sectorSize);
  std::vector<SectorWrite> writes;
  FlashScan scan;
  for (std::uint64_t s = 0; s < end; ++s) {
    const std::uint64_t sector = partition.entry.first + s;
    const auto offset = static_cast<std::uint32_t>(store.geometry.memBase + sector * sectorSize);
    if (s >= sectors) {
      bool isErased = false;
      if (!scan.Erased(offset, sectorSize, &isErased) || !isErased) {
        writes.push_back(SectorWrite{sector, erased.data()});
      }
      continue;
    }
    const std::uint8_t* data = wanted.data() + s * sectorSize;
    if (PeekFlash(offset, current.data(), sectorSize) &&
        std::memcmp(current.data(), data, sectorSize) == 0) {
      continue;
    }
    writes.push_back(SectorWrite{sector, data});
  }
  SectorDevice device(store.geometry);
  const DWORD error = device.Write(std::move(writes));
  if (error == ERROR_SUCCESS) {
    partition.imageSectors = sectors;
  }
  return error;
}

// What a volume folder is, for telling whether it changed: every entry's name and host status
// (type, size, modification and change times, inode), the folder's own, the module's file
// records (attributes and times) and the partition's place. Empty when it cannot be told: the
// folder is unreadable, or an entry changed so recently that a change in the same clock tick
// would not show in its times.
std::string FolderSignature(const StoreState& store, const PartitionState& partition) {
  const fs::path host = HostFolder(partition.folder);
  if (host.empty()) {
    return {};
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t settledBefore =
      static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec - kSettleNanoseconds;
  std::uint64_t hash = kFnvOffset;
  const auto add = [&hash](const void* data, std::size_t length) {
    hash = Fnv1a(hash, data, length);
  };
  bool settled = true;
  std::uint64_t entries = 0;
  const auto addEntry = [&](const std::string& name, const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
      add("\0missing", 8);
    }
    const std::int64_t changed =
        static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    const std::int64_t modified =
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    // A file system that keeps whole seconds only (no entry's times have a fraction) moves
    // them in steps of up to two seconds.
    const bool coarse = status.st_ctim.tv_nsec == 0 && status.st_mtim.tv_nsec == 0;
    const std::int64_t before = coarse ? settledBefore - kCoarseSettleNanoseconds : settledBefore;
    settled = settled && changed < before && modified < before;
    const std::uint64_t fields[] = {status.st_mode, static_cast<std::uint64_t>(status.st_size),
                                    static_cast<std::uint64_t>(modified),
                                    static_cast<std::uint64_t>(changed), status.st_ino};
    add(name.data(), name.size() + 1);
    add(fields, sizeof(fields));
    ++entries;
  };
  addEntry("", host);
  std::error_code code;
  for (auto it = fs::recursive_directory_iterator(host, code);
       !code && it != fs::recursive_directory_iterator(); it.increment(code)) {
    addEntry(it->path().lexically_relative(host).string(), it->path());
  }
  addEntry("\x01records", CurrentMachine().Directory() / kFileRecordsFile);
  const std::uint64_t place[] = {partition.entry.first, partition.entry.sectors,
                                 store.geometry.memBase, store.geometry.sectorSize};
  add(place, sizeof(place));
  if (code || !settled) {
    return {};
  }
  return Hex(hash, 16) + "/" + std::to_string(entries);
}

// A hash of the partition's image sectors as the flash holds them now.
std::uint64_t ImageHash(const StoreState& store, const PartitionState& partition) {
  const std::uint32_t sectorSize = store.geometry.sectorSize;
  std::vector<std::uint8_t> sector(sectorSize);
  std::uint64_t hash = kFnvOffset ^ partition.imageSectors;
  for (std::uint64_t s = 0; s < partition.imageSectors; ++s) {
    const auto offset = static_cast<std::uint32_t>(store.geometry.memBase +
                                                   (partition.entry.first + s) * sectorSize);
    if (!PeekFlash(offset, sector.data(), sectorSize)) {
      return 0;
    }
    hash = Fnv1a(hash, sector.data(), sectorSize);
  }
  return hash;
}

// Brings one mounted partition's sectors up to date with its folder.
DWORD FlushPartition(StoreState& store, PartitionState& partition) {
  if (!partition.mounted) {
    return ERROR_SUCCESS;
  }
  // Taken before the folder is read: a change made while it is read shows next time.
  const std::string signature = FolderSignature(store, partition);
  if (!signature.empty() && signature == partition.syncedFolder &&
      ImageHash(store, partition) == partition.syncedImage) {
    return ERROR_SUCCESS;  // neither the folder nor the sectors changed since they last agreed
  }
  auto volume = std::make_shared<Volume>(store.geometry.sectorSize, partition.entry.sectors);
  const ImageHead head = PeekImageHead(store, partition);
  volume->Format(0, head.valid && (head.flags & kVolumeFlagTfat) != 0);
  if (head.valid) {
    (void)volume->SetEntryTimes(u"", head.rootTimes[0], head.rootTimes[1], head.rootTimes[2]);
  }
  const DWORD error = ReadFolder(partition.folder, volume.get());
  if (error != ERROR_SUCCESS) {
    Log("volume " + Narrow(partition.folder) + " cannot be written back: error " +
        std::to_string(error));
    return error;
  }
  const DWORD written = WriteImage(store, partition, volume->Image(), partition.imageSectors);
  if (written != ERROR_SUCCESS) {
    Log("volume " + Narrow(partition.folder) + ": writing its sectors failed: error " +
        std::to_string(written));
    return written;
  }
  const std::uint64_t image = signature.empty() ? 0 : ImageHash(store, partition);
  if (signature != partition.syncedFolder || image != partition.syncedImage) {
    partition.syncedFolder = signature;
    partition.syncedImage = image;
    Changed();
  }
  return written;
}

DWORD FlushStore(StoreState& store) {
  DWORD result = ERROR_SUCCESS;
  for (PartitionState& partition : store.partitions) {
    const DWORD error = FlushPartition(store, partition);
    if (result == ERROR_SUCCESS) {
      result = error;
    }
  }
  return result;
}

void Unmount(PartitionState& partition) {
  if (!partition.mounted) {
    return;
  }
  if (MountedHere(partition.folder)) {
    (void)DismountVolume(partition.folder);
    auto& here = M().mountedHere;
    here.erase(std::remove_if(
                   here.begin(), here.end(),
                   [&](const std::u16string& name) { return SameName(name, partition.folder); }),
               here.end());
  }
  RemoveHostFolder(partition.folder);
  partition.mounted = false;
  partition.folder.clear();
  partition.syncedFolder.clear();
  Changed();
}

// The folder a new mount takes: the profile's, or with 2, 3, ... behind it when another
// volume holds that name.
std::u16string ChooseFolder(std::u16string_view profile) {
  std::u16string folder = ReadString(ProfilePath(profile), "Folder", kDefaultFolder);
  while (!folder.empty() && (folder.front() == u'\\' || folder.front() == u'/')) {
    folder.erase(folder.begin());
  }
  if (folder.empty() || !IsValidVolumeName(folder)) {
    folder = kDefaultFolder;
  }
  auto taken = [](std::u16string_view name) {
    for (const StoreState& store : M().stores) {
      for (const PartitionState& partition : store.partitions) {
        if (partition.mounted && SameName(partition.folder, name)) {
          return true;
        }
      }
    }
    return false;
  };
  if (!taken(folder)) {
    return folder;
  }
  for (int number = 2;; ++number) {
    const std::u16string candidate = folder + FromUtf8(std::to_string(number));
    if (!taken(candidate)) {
      return candidate;
    }
  }
}

// Loads a partition's volume from its sectors.
DWORD LoadVolume(StoreState& store, PartitionState& partition, std::shared_ptr<Volume>* result) {
  const std::uint32_t sectorSize = store.geometry.sectorSize;
  SectorDevice device(store.geometry);
  std::vector<std::uint8_t> first(sectorSize);
  DWORD error = device.Read(partition.entry.first, 1, first.data());
  if (error != ERROR_SUCCESS) {
    return error;
  }
  std::uint32_t bytes = 0;
  if (!Volume::ImageBytesFromHeader(first, &bytes)) {
    return kErrorBadFormat;
  }
  const std::uint64_t sectors = (std::uint64_t{bytes} + sectorSize - 1) / sectorSize;
  if (sectors > partition.entry.sectors) {
    return kErrorBadFormat;
  }
  std::vector<std::uint8_t> image(static_cast<std::size_t>(sectors * sectorSize));
  error = device.Read(partition.entry.first, sectors, image.data());
  if (error != ERROR_SUCCESS) {
    return error;
  }
  image.resize(bytes);
  auto volume = std::make_shared<Volume>(sectorSize, partition.entry.sectors);
  std::string why;
  if (!volume->Load(image, &why)) {
    Log("partition " + Narrow(partition.entry.name) + " of " + Narrow(store.deviceName) +
        " holds no valid volume: " + why);
    return kErrorBadFormat;
  }
  *result = volume;
  partition.imageSectors = sectors;
  return ERROR_SUCCESS;
}

DWORD Mount(StoreState& store, PartitionState& partition) {
  if (partition.mounted) {
    return ERROR_ALREADY_EXISTS;
  }
  std::shared_ptr<Volume> volume;
  const DWORD error = LoadVolume(store, partition, &volume);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  const std::u16string folder = ChooseFolder(store.profile);
  // A folder of that name that no mounted volume owns is what an earlier mount left behind
  // when its process ended without dismounting: the sectors hold the volume, not the folder.
  RemoveHostFolder(folder);
  partition.folder = folder;
  partition.mounted = true;
  partition.readOnly = (partition.entry.attributes & PARTITION_ATTRIBUTE_READONLY) != 0;
  Changed();
  std::string problem;
  if (!MountVolume(MountFor(store, partition), &problem)) {
    Log("cannot mount " + Narrow(folder) + ": " + problem);
    partition.mounted = false;
    partition.folder.clear();
    return ERROR_GEN_FAILURE;
  }
  M().mountedHere.push_back(folder);
  // The folder is the running OS's: a reset of the module drops it with the RAM.
  NoteVolumeFolder(M().ram, Narrow(folder));
  if (!WriteFolder(*volume, folder, &problem)) {
    Log("mounting " + Narrow(folder) + ": " + problem);
    Unmount(partition);
    return ERROR_GEN_FAILURE;
  }
  return ERROR_SUCCESS;
}

DWORD FormatVolume(StoreState& store, PartitionState& partition, std::uint8_t type) {
  Volume volume(store.geometry.sectorSize, partition.entry.sectors);
  volume.Format(ModuleTimeNow(), ProfileTfat(store.profile));
  // Formatting frees every sector of the partition behind the new volume.
  DWORD error = WriteImage(store, partition, volume.Image(), partition.entry.sectors);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  if (type != 0 && type != partition.entry.type) {
    partition.entry.type = type;
    partition.entry.modified = ModuleTimeNow();
    error = WriteTable(store);
  }
  Changed();
  return error;
}

DWORD CreatePartitionIn(StoreState& store, std::u16string_view name, std::uint8_t type,
                        std::uint64_t sectors) {
  if (store.unformatted) {
    return kErrorBadFormat;
  }
  if (name.empty() || name.size() > kPartitionNameUnits ||
      name.find_first_of(u"\\/") != std::u16string_view::npos) {
    return ERROR_INVALID_NAME;
  }
  for (const PartitionState& partition : store.partitions) {
    if (SameName(partition.entry.name, name)) {
      return ERROR_ALREADY_EXISTS;
    }
  }
  if (sectors == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (sectors > FreeSectors(store) || store.partitions.size() >= kMaxPartitions) {
    return ERROR_DISK_FULL;
  }
  PartitionState partition;
  partition.entry.name = std::u16string(name);
  partition.entry.first = NextFreeSector(store);
  partition.entry.sectors = sectors;
  partition.entry.type = type;
  partition.entry.created = partition.entry.modified = ModuleTimeNow();
  store.partitions.push_back(partition);
  const DWORD error = WriteTable(store);
  if (error != ERROR_SUCCESS) {
    store.partitions.pop_back();
    return error;
  }
  store.modified = ModuleTimeNow();
  Changed();
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Stores coming and going
// ---------------------------------------------------------------------------------------------
void PurgeUnloaded() {
  Model& m = M();
  const std::uint32_t now = TickNow();
  const std::uint32_t delay = UnloadDelay();
  const auto end = std::remove_if(m.stores.begin(), m.stores.end(), [&](const StoreState& store) {
    return store.detaching && now - store.detachedAt >= delay;
  });
  if (end != m.stores.end()) {
    m.stores.erase(end, m.stores.end());
    Changed();
  }
}

void DetachStore(StoreState& store) {
  if (store.detaching) {
    return;
  }
  if (FlushStore(store) != ERROR_SUCCESS) {
    Log("store " + Narrow(store.deviceName) + " detached with volume changes not written");
  }
  for (PartitionState& partition : store.partitions) {
    Unmount(partition);
  }
  store.detaching = true;
  store.detachedAt = TickNow();
  store.driverId = 0;
  Log("store " + Narrow(store.deviceName) + " detached; unloads after " +
      std::to_string(UnloadDelay()) + " ms");
  Changed();
}

void AttachStore(const DriverInstance& driver) {
  Model& m = M();
  const std::string profilePath = ProfilePath(driver.profile);
  std::uint32_t autoMount = 1;
  std::uint32_t autoPart = 0;
  std::uint32_t autoFormat = 0;
  (void)ReadDword(profilePath, "AutoMount", &autoMount);
  (void)ReadDword(profilePath, "AutoPart", &autoPart);
  (void)ReadDword(profilePath, "AutoFormat", &autoFormat);
  StoreState store;
  store.id = m.nextId++;
  store.driverId = driver.id;
  store.deviceName = driver.legacyName;
  store.storeName = ReadString(profilePath, "Name", driver.profile);
  store.profile = driver.profile;
  store.geometry = driver.geometry;
  store.attributes = (autoMount != 0 ? STORE_ATTRIBUTE_AUTOMOUNT : 0) |
                     (autoPart != 0 ? STORE_ATTRIBUTE_AUTOPART : 0) |
                     (autoFormat != 0 ? STORE_ATTRIBUTE_AUTOFORMAT : 0);
  store.created = store.modified = ModuleTimeNow();
  SectorDevice device(store.geometry);
  std::vector<std::uint8_t> sector(store.geometry.sectorSize);
  std::vector<PartitionEntry> entries;
  PartitionTableState table = PartitionTableState::kDamaged;
  if (device.Read(0, 1, sector.data()) == ERROR_SUCCESS) {
    table = ParsePartitionTable(sector, store.geometry.Sectors(), &entries);
  }
  if (table == PartitionTableState::kDamaged) {
    if (autoFormat != 0 && device.EraseAll() == ERROR_SUCCESS) {
      Log("store " + Narrow(store.deviceName) + " held no partition table: formatted");
      table = PartitionTableState::kEmpty;
    } else {
      Log("store " + Narrow(store.deviceName) + " holds no partition table");
      store.unformatted = true;
    }
  }
  for (const PartitionEntry& entry : entries) {
    PartitionState partition;
    partition.entry = entry;
    store.partitions.push_back(partition);
  }
  m.stores.push_back(store);
  Changed();
  StoreState& attached = m.stores.back();
  if (table == PartitionTableState::kEmpty && autoPart != 0) {
    if (CreatePartitionIn(attached, kAutoPartitionName, kAutoPartitionType,
                          FreeSectors(attached)) == ERROR_SUCCESS &&
        autoFormat != 0) {
      (void)FormatVolume(attached, attached.partitions.back(), 0);
    }
  }
  if (autoMount == 0) {
    return;
  }
  for (PartitionState& partition : attached.partitions) {
    DWORD error = Mount(attached, partition);
    if (error == kErrorBadFormat && autoFormat != 0 &&
        FormatVolume(attached, partition, 0) == ERROR_SUCCESS) {
      error = Mount(attached, partition);
    }
    if (error != ERROR_SUCCESS) {
      Log("partition " + Narrow(partition.entry.name) + " of " + Narrow(attached.deviceName) +
          " not mounted: error " + std::to_string(error));
    }
  }
}

// The driver's built-in layout for values its key does not give.
StoreGeometry DefaultGeometry() {
  StoreGeometry geometry;
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    return geometry;
  }
  std::uint32_t registryEnd = 0x01480000;  // behind the flash registry of the default layout
  ConfigReader reader(CurrentMachine().Config(), "module.json");
  if (reader.Find("layout.registryOffset") != nullptr &&
      reader.Find("layout.registryHalf") != nullptr) {
    const std::uint64_t offset = reader.Unsigned("layout.registryOffset", 0xFFFFFFFF);
    const std::uint64_t half = reader.Unsigned("layout.registryHalf", 0xFFFFFFFF);
    if (reader.Ok()) {
      registryEnd = static_cast<std::uint32_t>(offset + 2 * half);
    }
  }
  geometry.memBase = registryEnd;
  geometry.blockSize = flash->BlockSize(registryEnd);
  const std::uint32_t size = flash->Size();
  geometry.memLen = size > registryEnd && geometry.blockSize != 0
                        ? (size - registryEnd) / geometry.blockSize * geometry.blockSize
                        : 0;
  geometry.sectorSize = NandFlash::Current() != nullptr ? kNandPageBytes : 512;
  return geometry;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Fault plan
// ---------------------------------------------------------------------------------------------
DWORD ItemError(const FaultItem& item, DWORD fallback) {
  return static_cast<DWORD>(item.Unsigned("error", fallback));
}

// ---------------------------------------------------------------------------------------------
// Lifetime (called by the component)
// ---------------------------------------------------------------------------------------------
void AttachProcess(const fs::path& ram) {
  Model& m = M();
  std::lock_guard lock(m.mutex);
  m.ram = ram;
  m.stamp = FileStamp{};
  m.changed = false;
  m.nextId = 1;
  m.drivers.clear();
  m.stores.clear();
  m.mountedHere.clear();
  m.lockFd = ::open((ram / kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

void BootModule() {
  Guard guard;
  Model& m = M();
  m.drivers.clear();
  m.stores.clear();
  m.nextId = 1;
  Changed();
}

void DetachProcess() {
  Model& m = M();
  {
    Guard guard;
    for (StoreState& store : m.stores) {
      if (!store.detaching) {
        (void)FlushStore(store);
      }
    }
    for (const std::u16string& folder : m.mountedHere) {
      (void)DismountVolume(folder);
    }
    m.mountedHere.clear();
  }
  std::lock_guard lock(m.mutex);
  ModuleFlashLock::Forget();
  if (m.lockFd >= 0) {
    ::close(m.lockFd);
    m.lockFd = -1;
  }
  m.drivers.clear();
  m.stores.clear();
  m.stamp = FileStamp{};
}

// ---------------------------------------------------------------------------------------------
// Device manager side
// ---------------------------------------------------------------------------------------------
std::uint32_t UnloadDelay() {
  std::uint32_t delay = kDefaultUnloadDelay;
  (void)ReadDword(kStorageManagerKey, "PNPUnloadDelay", &delay);
  return delay;
}

DWORD Activate(std::string_view key, bool byDeviceManager, std::uint32_t* id) {
  Guard guard;
  Model& m = M();
  PurgeUnloaded();
  const std::string path = KeyPath(key);
  if (!RegistryKeyExists(path)) {
    return ERROR_FILE_NOT_FOUND;
  }
  const std::u16string dll = ReadString(path, "Dll", u"");
  if (!SameName(dll, FromUtf8(kFlashDriverDll))) {
    Log("activating " + std::string(key) + ": no driver \"" + Narrow(dll) + "\" in this image");
    return ERROR_FILE_NOT_FOUND;
  }
  DriverInstance driver;
  driver.key = std::string(key);
  driver.byDeviceManager = byDeviceManager;
  driver.prefix = ReadString(path, "Prefix", u"DSK");
  driver.profile = ReadString(path, "Profile", u"");
  driver.blockInterface = !byDeviceManager || NamesBlockInterface(key);
  if (driver.prefix.size() != 3) {
    Log("activating " + std::string(key) + ": Prefix must have three letters");
    return ERROR_INVALID_PARAMETER;
  }
  const StoreGeometry defaults = DefaultGeometry();
  driver.geometry = defaults;
  (void)ReadDword(path, "MemBase", &driver.geometry.memBase);
  (void)ReadDword(path, "MemLen", &driver.geometry.memLen);
  (void)ReadDword(path, "BlockSize", &driver.geometry.blockSize);
  (void)ReadDword(path, "SectorSize", &driver.geometry.sectorSize);
  if (const std::string problem = CheckStoreGeometry(driver.geometry); !problem.empty()) {
    Log("activating " + std::string(key) + ": the driver refuses its settings: " + problem);
    return ERROR_INVALID_PARAMETER;
  }
  for (const StoreState& store : m.stores) {
    if (!store.geometry.Overlaps(driver.geometry)) {
      continue;
    }
    // A second instance loaded from the same key shares the flash with the first (the flash
    // driver does not know of the other); a store still unloading, or one that a driver from
    // another key serves, keeps the new instance off the flash.
    const bool sameKey =
        !store.detaching &&
        std::any_of(m.drivers.begin(), m.drivers.end(), [&](const DriverInstance& other) {
          return other.id == store.driverId && SameName(FromUtf8(other.key), FromUtf8(key));
        });
    if (sameKey) {
      continue;
    }
    Log("activating " + std::string(key) + ": store " + Narrow(store.deviceName) +
        (store.detaching ? " is still unloading" : " is attached") + " over that flash");
    return ERROR_BUSY;
  }
  std::uint32_t wanted = 0;
  const bool fixedIndex = ReadDword(path, "Index", &wanted);
  auto inUse = [&](std::uint32_t index) {
    return std::any_of(m.drivers.begin(), m.drivers.end(), [&](const DriverInstance& other) {
      return other.index == index && SameName(other.prefix, driver.prefix);
    });
  };
  if (fixedIndex) {
    if (wanted > 9 || inUse(wanted)) {
      return ERROR_ALREADY_EXISTS;
    }
    driver.index = wanted;
  } else {
    driver.index = 1;
    while (driver.index <= 9 && inUse(driver.index)) {
      ++driver.index;
    }
    if (driver.index > 9) {
      return ERROR_DEVICE_NOT_AVAILABLE;
    }
  }
  driver.legacyName = driver.prefix + FromUtf8(std::to_string(driver.index)) + u":";
  driver.id = m.nextId++;
  m.drivers.push_back(driver);
  Changed();
  Log("loaded " + std::string(key) + " as " + Narrow(driver.legacyName));
  if (driver.blockInterface) {
    AttachStore(driver);
  }
  *id = driver.id;
  return ERROR_SUCCESS;
}

DWORD Deactivate(HANDLE device) {
  Guard guard;
  Model& m = M();
  PurgeUnloaded();
  const auto value = reinterpret_cast<std::uintptr_t>(device);
  for (auto it = m.drivers.begin(); it != m.drivers.end(); ++it) {
    if (!it->byDeviceManager || it->DeviceHandle() != device || value == 0) {
      continue;
    }
    for (StoreState& store : m.stores) {
      if (store.driverId == it->id) {
        DetachStore(store);
      }
    }
    Log("unloaded " + Narrow(it->legacyName));
    m.drivers.erase(it);
    Changed();
    return ERROR_SUCCESS;
  }
  return ERROR_INVALID_PARAMETER;
}

DWORD AnnounceBlockInterface(std::u16string_view name, bool add) {
  Guard guard;
  Model& m = M();
  PurgeUnloaded();
  StoreState* attached = nullptr;
  for (StoreState& store : m.stores) {
    if (!store.detaching && SameName(store.deviceName, name)) {
      attached = &store;
    }
  }
  if (!add) {
    if (attached != nullptr) {
      DetachStore(*attached);
    }
    return ERROR_SUCCESS;
  }
  if (attached != nullptr) {
    return ERROR_SUCCESS;  // the storage manager has this store already
  }
  for (const DriverInstance& driver : m.drivers) {
    if (!SameName(driver.legacyName, name)) {
      continue;
    }
    for (const StoreState& store : m.stores) {
      if (store.geometry.Overlaps(driver.geometry)) {
        Log("store for " + Narrow(name) + " not attached: " + Narrow(store.deviceName) +
            " is still unloading");
        return ERROR_SUCCESS;
      }
    }
    const DriverInstance copy = driver;
    AttachStore(copy);
    return ERROR_SUCCESS;
  }
  return ERROR_SUCCESS;  // nobody serves that name: the announcement goes unheard
}

std::vector<DriverInstance> Drivers() {
  Guard guard;
  return M().drivers;
}

// ---------------------------------------------------------------------------------------------
// Stores
// ---------------------------------------------------------------------------------------------
DWORD OpenStoreByName(std::u16string_view deviceName, std::uint32_t* storeId) {
  Guard guard;
  PurgeUnloaded();
  for (StoreState& store : M().stores) {
    if (!SameName(store.deviceName, deviceName)) {
      continue;
    }
    if (store.detaching) {
      return ERROR_DEVICE_NOT_AVAILABLE;
    }
    // Opening a store is where its sectors are looked at: the volumes write back first.
    (void)FlushStore(store);
    *storeId = store.id;
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

std::vector<std::uint32_t> StoreIds() {
  Guard guard;
  PurgeUnloaded();
  std::vector<std::uint32_t> ids;
  for (const StoreState& store : M().stores) {
    ids.push_back(store.id);
  }
  return ids;
}

DWORD StoreInfo(std::uint32_t storeId, STOREINFO* info) {
  Guard guard;
  const StoreState* store = FindStore(storeId);
  if (store == nullptr) {
    return ERROR_NO_MORE_ITEMS;
  }
  const DWORD size = info->cbSize;
  std::memset(info, 0, sizeof(*info));
  info->cbSize = size;
  CopyName(info->szDeviceName, 8, store->deviceName);
  CopyName(info->szStoreName, 32, store->storeName);
  info->dwDeviceClass = kStorageDeviceClassBlock;
  info->dwDeviceType = kStorageDeviceTypeFlash;
  info->sdi.cbSize = sizeof(STORAGEDEVICEINFO);
  CopyName(info->sdi.szProfile, 32, store->profile);
  info->sdi.dwDeviceClass = kStorageDeviceClassBlock;
  info->sdi.dwDeviceType = kStorageDeviceTypeFlash;
  info->sdi.dwDeviceFlags = kStorageDeviceFlagReadWrite;
  info->dwDeviceFlags = kStorageDeviceFlagReadWrite;
  info->snNumSectors = store->geometry.Sectors();
  info->dwBytesPerSector = store->geometry.sectorSize;
  info->snFreeSectors = store->unformatted ? 0 : FreeSectors(*store);
  info->snBiggestPartCreatable =
      store->unformatted || store->partitions.size() >= kMaxPartitions ? 0 : FreeSectors(*store);
  info->ftCreated = ToFileTime(store->created);
  info->ftLastModified = ToFileTime(store->modified);
  info->dwAttributes = store->attributes | (store->unformatted ? STORE_ATTRIBUTE_UNFORMATTED : 0);
  info->dwPartitionCount = static_cast<DWORD>(store->partitions.size());
  info->dwMountCount = static_cast<DWORD>(
      std::count_if(store->partitions.begin(), store->partitions.end(),
                    [](const PartitionState& partition) { return partition.mounted; }));
  return ERROR_SUCCESS;
}

DWORD DismountStore(std::uint32_t storeId) {
  Guard guard;
  StoreState* store = nullptr;
  DWORD error = UsableStore(storeId, &store);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  if (StoreFault(*store, "dismount", &error)) {
    return error;
  }
  error = FlushStore(*store);
  if (error != ERROR_SUCCESS) {
    return ERROR_WRITE_FAULT;
  }
  for (PartitionState& partition : store->partitions) {
    Unmount(partition);
  }
  return ERROR_SUCCESS;
}

DWORD FormatStore(std::uint32_t storeId) {
  Guard guard;
  StoreState* store = nullptr;
  DWORD error = UsableStore(storeId, &store);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  if (std::any_of(store->partitions.begin(), store->partitions.end(),
                  [](const PartitionState& partition) { return partition.mounted; })) {
    return ERROR_BUSY;  // dismount it first
  }
  if (StoreFault(*store, "format", &error)) {
    return error;
  }
  SectorDevice device(store->geometry);
  error = device.EraseAll();
  // Whatever was erased, the partitions are gone.
  store->partitions.clear();
  store->unformatted = false;
  ++store->generation;
  store->modified = ModuleTimeNow();
  Changed();
  return error;
}

// ---------------------------------------------------------------------------------------------
// Partitions
// ---------------------------------------------------------------------------------------------
DWORD CreatePartition(std::uint32_t storeId, std::u16string_view name, std::uint8_t type,
                      std::uint64_t sectors) {
  Guard guard;
  StoreState* store = nullptr;
  const DWORD error = UsableStore(storeId, &store);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  return CreatePartitionIn(*store, name, type, sectors);
}

DWORD OpenPartition(std::uint32_t storeId, std::u16string_view name, std::uint32_t* generation,
                    std::u16string* exactName) {
  Guard guard;
  StoreState* store = nullptr;
  const DWORD error = UsableStore(storeId, &store);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  for (const PartitionState& partition : store->partitions) {
    if (SameName(partition.entry.name, name)) {
      *generation = store->generation;
      *exactName = partition.entry.name;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

DWORD MountPartition(std::uint32_t storeId, std::uint32_t generation, std::u16string_view name) {
  Guard guard;
  StoreState* store = nullptr;
  PartitionState* partition = nullptr;
  const DWORD error = UsablePartition(storeId, generation, name, &store, &partition);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  return Mount(*store, *partition);
}

DWORD FormatPartition(std::uint32_t storeId, std::uint32_t generation, std::u16string_view name,
                      std::uint8_t type) {
  Guard guard;
  StoreState* store = nullptr;
  PartitionState* partition = nullptr;
  const DWORD error = UsablePartition(storeId, generation, name, &store, &partition);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  if (partition->mounted) {
    return ERROR_BUSY;  // the FAT driver formats only a partition it does not serve
  }
  return FormatVolume(*store, *partition, type);
}

DWORD SetPartitionAttributes(std::uint32_t storeId, std::uint32_t generation,
                             std::u16string_view name, DWORD attributes) {
  Guard guard;
  StoreState* store = nullptr;
  PartitionState* partition = nullptr;
  const DWORD error = UsablePartition(storeId, generation, name, &store, &partition);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  const PartitionEntry before = partition->entry;
  // MOUNTED is the storage manager's own report, never stored.
  partition->entry.attributes = attributes & ~PARTITION_ATTRIBUTE_MOUNTED;
  partition->entry.modified = ModuleTimeNow();
  const DWORD written = WriteTable(*store);
  if (written != ERROR_SUCCESS) {
    partition->entry = before;
    return written;
  }
  Changed();
  return ERROR_SUCCESS;
}

DWORD PartitionNames(std::uint32_t storeId, std::vector<std::u16string>* names) {
  Guard guard;
  StoreState* store = nullptr;
  const DWORD error = UsableStore(storeId, &store);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  names->clear();
  for (const PartitionState& partition : store->partitions) {
    names->push_back(partition.entry.name);
  }
  return ERROR_SUCCESS;
}

DWORD PartitionInfo(std::uint32_t storeId, std::u16string_view name, PARTINFO* info) {
  Guard guard;
  const StoreState* store = FindStore(storeId);
  if (store == nullptr) {
    return ERROR_NO_MORE_ITEMS;
  }
  for (const PartitionState& partition : store->partitions) {
    if (!SameName(partition.entry.name, name)) {
      continue;
    }
    const DWORD size = info->cbSize;
    std::memset(info, 0, sizeof(*info));
    info->cbSize = size;
    CopyName(info->szPartitionName, 32, partition.entry.name);
    const bool formatted = partition.mounted || PeekImageHead(*store, partition).valid;
    CopyName(info->szFileSys, 32, formatted ? u"FATFS" : u"");
    CopyName(info->szVolumeName, 64, partition.mounted ? FolderPath(partition.folder) : u"");
    info->snNumSectors = partition.entry.sectors;
    info->ftCreated = ToFileTime(partition.entry.created);
    info->ftLastModified = ToFileTime(partition.entry.modified);
    // Whether the partition is mounted now decides the bit, whatever the stored entry holds.
    info->dwAttributes = (partition.entry.attributes & ~PARTITION_ATTRIBUTE_MOUNTED) |
                         (partition.mounted ? PARTITION_ATTRIBUTE_MOUNTED : 0);
    info->bPartType = partition.entry.type;
    return ERROR_SUCCESS;
  }
  return ERROR_NO_MORE_ITEMS;
}

// ---------------------------------------------------------------------------------------------
// Sector requests
// ---------------------------------------------------------------------------------------------
DWORD SectorAddresses(std::uint32_t storeId, const DWORD* sectors, DWORD count, DWORD* addresses) {
  std::lock_guard lock(M().mutex);
  const StoreState* store = FindStore(storeId);
  if (store == nullptr || store->detaching) {
    return ERROR_DEVICE_NOT_AVAILABLE;
  }
  const SectorDevice device(store->geometry);
  FlashScan scan;
  // Answered in place (a failed request leaves the answers undefined, as on the module); a
  // request whose answers overlap its later numbers is answered through a copy of them.
  std::vector<DWORD> copied;
  if (addresses > sectors && addresses < sectors + count) {
    copied.assign(sectors, sectors + count);
    sectors = copied.data();
  }
  for (DWORD i = 0; i < count; ++i) {
    bool inUse = false;
    const DWORD error = device.InUse(sectors[i], scan, &inUse);
    if (error != ERROR_SUCCESS) {
      return error;
    }
    addresses[i] = inUse ? device.PhysicalSector(sectors[i]) : 0xFFFFFFFFu;
  }
  return ERROR_SUCCESS;
}

DWORD ReadSectors(std::uint32_t storeId, std::uint64_t first, std::uint64_t count,
                  std::uint8_t* out) {
  std::lock_guard lock(M().mutex);
  const StoreState* store = FindStore(storeId);
  if (store == nullptr || store->detaching) {
    return ERROR_DEVICE_NOT_AVAILABLE;
  }
  DWORD error = ERROR_SUCCESS;
  if (SectorFault("read", first, count, ERROR_READ_FAULT, &error)) {
    return error;
  }
  return SectorDevice(store->geometry).Read(first, count, out);
}

DWORD WriteSectors(std::uint32_t storeId, std::uint64_t first, std::uint64_t count,
                   const std::uint8_t* data) {
  Guard guard;
  StoreState* store = FindStore(storeId);
  if (store == nullptr || store->detaching) {
    return ERROR_DEVICE_NOT_AVAILABLE;
  }
  DWORD error = ERROR_SUCCESS;
  if (SectorFault("write", first, count, ERROR_WRITE_FAULT, &error)) {
    return error;
  }
  error = SectorDevice(store->geometry).Write(first, count, data);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  // A volume whose sectors were rewritten underneath it is read again from them, as the FAT
  // driver would find it after a remount.
  for (PartitionState& partition : store->partitions) {
    const std::uint64_t begin = partition.entry.first;
    const std::uint64_t end = begin + partition.entry.sectors;
    if (!partition.mounted || first >= end || begin >= first + count) {
      continue;
    }
    Log("sectors of the mounted volume " + Narrow(partition.folder) + " rewritten: remounting");
    Unmount(partition);
    (void)Mount(*store, partition);
  }
  return ERROR_SUCCESS;
}

DWORD StoreGeometryOf(std::uint32_t storeId, StoreGeometry* geometry) {
  std::lock_guard lock(M().mutex);
  const StoreState* store = FindStore(storeId);
  if (store == nullptr || store->detaching) {
    return ERROR_DEVICE_NOT_AVAILABLE;
  }
  *geometry = store->geometry;
  return ERROR_SUCCESS;
}

void FlushVolumes() {
  Guard guard;
  for (StoreState& store : M().stores) {
    if (!store.detaching) {
      (void)FlushStore(store);
    }
  }
}

std::vector<StoreState> Stores() {
  Guard guard;
  PurgeUnloaded();
  return M().stores;
}

std::uint64_t SectorsInUse(std::uint32_t storeId) {
  Guard guard;
  const StoreState* store = FindStore(storeId);
  if (store == nullptr) {
    return 0;
  }
  const SectorDevice device(store->geometry);
  FlashScan scan;
  std::uint64_t count = 0;
  for (std::uint64_t sector = 0; sector < device.Sectors(); ++sector) {
    bool inUse = false;
    if (device.InUse(sector, scan, &inUse) == ERROR_SUCCESS && inUse) {
      ++count;
    }
  }
  return count;
}

}  // namespace sim::storage
