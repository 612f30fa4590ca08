// The storage part of the module's OS as a component: the flash driver's registry keys and the
// storage profile of every preset, the driver instances that the OS loads at boot, the sample
// files of a new module's flash disk, and what flashwick-module info shows about stores.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/kernel.h"
#include "sim/base/hex.h"
#include "sim/base/utf.h"
#include "sim/module/machine.h"
#include "sim/module/preset_content.h"
#include "sim/os/file_system.h"
#include "sim/os/real_time_clock.h"
#include "sim/os/registry.h"
#include "sim/storage/storage_calls.h"
#include "sim/storage/storage_manager.h"

namespace sim {
namespace {

constexpr const char* kBuiltInKey = "Drivers\\BuiltIn";
constexpr const char* kBlockDeviceKey = "Drivers\\BlockDevice";
constexpr const char* kDriverName = "StrataFMD";
constexpr const char* kProfile = "FlashDisk";
constexpr const char* kStoreName = "Internal Flash";
constexpr const char* kFolder = "Flash Disk";
// Where the storage manager's settings live.
constexpr const char* kStorageManagerKey = "HKLM\\System\\StorageManager";
constexpr std::uint32_t kUnloadDelayMs = 5000;
// Load order of the flash driver among the built-in drivers: early, before the drivers that
// keep their settings on the flash disk.
constexpr std::uint32_t kDriverOrder = 2;

// The flash driver instances that the OS loads by itself: the device manager's built-in drivers
// in their "Order", then the storage manager's block devices.
void LoadDrivers() {
  RegistryTree tree;
  if (!RegistrySnapshot(&tree)) {
    return;
  }
  for (const auto& [parent, byDeviceManager] :
       {std::pair{kBuiltInKey, true}, std::pair{kBlockDeviceKey, false}}) {
    const RegistryKey* folder = tree.FindPath(u"HKEY_LOCAL_MACHINE\\" + FromUtf8(parent));
    if (folder == nullptr) {
      continue;
    }
    struct Candidate {
      std::uint32_t order;
      std::string key;
    };
    std::vector<Candidate> candidates;
    for (const auto& subkey : folder->Subkeys()) {
      const RegistryValue* dll = subkey->FindValue(u"Dll");
      if (dll == nullptr || (dll->type != 1 && dll->type != 2)) {  // REG_SZ, REG_EXPAND_SZ
        continue;
      }
      std::u16string name;
      for (std::size_t i = 0; i + 1 < dll->data.size(); i += 2) {
        const auto unit = static_cast<char16_t>(dll->data[i] | (dll->data[i + 1] << 8));
        if (unit == 0) {
          break;
        }
        name.push_back(unit);
      }
      if (!SameName(name, FromUtf8(kFlashDriverDll))) {
        continue;
      }
      std::uint32_t order = 0xFFFFFFFFu;
      if (const RegistryValue* value = subkey->FindValue(u"Order");
          value != nullptr && value->type == 4 && value->data.size() == 4) {
        std::memcpy(&order, value->data.data(), 4);
      }
      candidates.push_back({order, std::string(parent) + "\\" + ToUtf8(subkey->Name())});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.order < b.order; });
    for (const Candidate& candidate : candidates) {
      std::uint32_t id = 0;
      const DWORD error = storage::Activate(candidate.key, byDeviceManager, &id);
      if (error != ERROR_SUCCESS) {
        CurrentMachine().DebugLog("storage: boot: " + candidate.key + " not loaded: error " +
                                  std::to_string(error));
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Presets
// ---------------------------------------------------------------------------------------------
struct PresetStorage {
  std::string driverKey;
  StoreGeometry geometry;
};

// The flash disk of a preset: behind the flash registry's two halves to the end of the flash
// that the OS driver serves, in the chip's erase blocks, with 512-byte sectors on NOR and one
// page per sector on NAND. One image of the NAND family lets its storage manager load the
// driver itself.
bool PresetStorageFor(const PresetSpec& presetSpec, PresetStorage* storage, std::string* error) {
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    *error = "storage: the module has no flash for its file system";
    return false;
  }
  const PresetLayout layout = LayoutForPreset(presetSpec);
  StoreGeometry& geometry = storage->geometry;
  geometry.memBase = layout.registryOffset + 2 * layout.registryHalf;
  geometry.blockSize = flash->BlockSize(geometry.memBase);
  if (geometry.blockSize == 0 || flash->Size() <= geometry.memBase) {
    *error = "storage: no room for a file system behind the registry";
    return false;
  }
  geometry.memLen = (flash->Size() - geometry.memBase) / geometry.blockSize * geometry.blockSize;
  geometry.sectorSize = presetSpec.nor ? 512 : 2048;
  storage->driverKey =
      std::string(presetSpec.name == "pxa300" ? kBlockDeviceKey : kBuiltInKey) + "\\" + kDriverName;
  if (const std::string problem = CheckStoreGeometry(geometry); !problem.empty()) {
    *error = "storage: preset file system region: " + problem;
    return false;
  }
  return true;
}

bool WriteRegistry(const PresetStorage& storage) {
  const std::string driver = "HKLM\\" + storage.driverKey;
  const std::string profile = std::string(kStorageManagerKey) + "\\Profiles\\" + kProfile;
  return RegistrySetString(driver, "Dll", kFlashDriverDll) &&
         RegistrySetString(driver, "Prefix", "DSK") &&
         RegistrySetDword(driver, "Order", kDriverOrder) &&
         RegistrySetString(driver, "Profile", kProfile) &&
         RegistrySetString(driver, "FriendlyName", "Flash media driver") &&
         RegistrySetMultiString(driver, "IClass", {"{A4E7EDDA-E575-4252-9D6B-4195D48BB865}"}) &&
         RegistrySetDword(driver, "MemBase", storage.geometry.memBase) &&
         RegistrySetDword(driver, "MemLen", storage.geometry.memLen) &&
         RegistrySetDword(driver, "BlockSize", storage.geometry.blockSize) &&
         RegistrySetDword(driver, "SectorSize", storage.geometry.sectorSize) &&
         RegistrySetDword(kStorageManagerKey, "PNPUnloadDelay", kUnloadDelayMs) &&
         RegistrySetString(profile, "Name", kStoreName) &&
         RegistrySetString(profile, "Folder", kFolder) &&
         RegistrySetString(profile, "DefaultFileSystem", "FATFS") &&
         RegistrySetString(profile, "PartitionDriver", "mspart.dll") &&
         RegistrySetDword(profile, "AutoMount", 1) && RegistrySetDword(profile, "AutoPart", 1) &&
         RegistrySetDword(profile, "AutoFormat", 1) &&
         RegistrySetDword(profile + "\\FATFS", "FormatTfat", 1) &&
         RegistrySetDword(profile + "\\FATFS", "EnableCache", 1) &&
         RegistrySetDword(profile + "\\FATFS", "CacheSize", 0);
}

std::uint64_t FileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute) {
  SYSTEMTIME calendar{year, month, 0, day, hour, minute, 0, 0};
  std::uint64_t time = 0;
  CalendarToFileTime(calendar, &time);
  return time;
}

bool WriteSampleFile(const std::u16string& path, const std::string& content, DWORD attributes,
                     std::uint64_t time) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  const FILETIME stamp = ToFileTime(time);
  const bool ok =
      (content.empty() ||
       (WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
        written == content.size())) &&
      SetFileTime(file, &stamp, &stamp, &stamp);
  (void)CloseHandle(file);
  return ok && SetFileAttributesW(path.c_str(), attributes);
}

// A few files and folders as a module in the field has them on its flash disk.
bool WriteSampleFiles(std::string* error) {
  const std::u16string root = u"\\" + FromUtf8(kFolder);
  const std::uint64_t shipped = FileTimeOf(2009, 3, 2, 9, 30);
  const std::uint64_t configured = FileTimeOf(2009, 4, 17, 14, 5);
  std::string calibration(4096, '\0');
  std::uint32_t seed = 0x2F6E3A1B;
  for (char& byte : calibration) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<char>(seed >> 24);
  }
  const bool ok = CreateDirectoryW((root + u"\\Config").c_str(), nullptr) &&
                  CreateDirectoryW((root + u"\\Data").c_str(), nullptr) &&
                  CreateDirectoryW((root + u"\\Logs").c_str(), nullptr) &&
                  WriteSampleFile(root + u"\\Readme.txt",
                                  "This flash disk keeps its files when the module is reset.\r\n"
                                  "Settings are in \\Flash Disk\\Config, calibration data in "
                                  "\\Flash Disk\\Data.\r\n",
                                  FILE_ATTRIBUTE_ARCHIVE, shipped) &&
                  WriteSampleFile(root + u"\\Config\\network.ini",
                                  "[Ethernet]\r\nDHCP=1\r\nHostName=KESTRIN\r\n",
                                  FILE_ATTRIBUTE_ARCHIVE, configured) &&
                  WriteSampleFile(root + u"\\Config\\display.ini",
                                  "[Display]\r\nBacklight=80\r\nRotation=0\r\n",
                                  FILE_ATTRIBUTE_ARCHIVE, configured) &&
                  WriteSampleFile(root + u"\\Data\\calibration.dat", calibration,
                                  FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE, shipped) &&
                  SetFolderTimes(root + u"\\Config", shipped, configured, configured) &&
                  SetFolderTimes(root + u"\\Data", shipped, shipped, shipped) &&
                  SetFolderTimes(root + u"\\Logs", shipped, shipped, shipped);
  if (!ok) {
    *error = "storage: cannot write the sample files of " + std::string(kFolder);
  }
  return ok;
}

// ---------------------------------------------------------------------------------------------
// The component
// ---------------------------------------------------------------------------------------------
class StorageComponent final : public Component {
 public:
  StorageComponent() { RegisterComponent(this); }
  const char* ComponentName() const override { return "storage"; }
  std::span<const FaultKind* const> FaultKinds() const override {
    static constexpr const FaultKind* kKinds[] = {&kStoreFault, &kSectorFault, &kFileFault,
                                                  &kResultFault};
    return kKinds;
  }

  bool Attach(Machine& machine, std::string* /*error*/) override {
    storage::AttachProcess(machine.RamDirectory());
    RegisterStorageCalls(machine.OsVersion() == 6);
    // The running OS's volumes appear in this process's file system.
    (void)storage::Drivers();
    return true;
  }

  void Boot(Machine& /*machine*/) override {
    storage::BootModule();
    LoadDrivers();
  }

  bool Populate(Machine& /*machine*/, const PresetSpec& presetSpec, std::string* error) override {
    PresetStorage storage;
    if (!PresetStorageFor(presetSpec, &storage, error)) {
      return false;
    }
    if (!WriteRegistry(storage)) {
      *error = "storage: cannot write the flash driver's registry keys";
      return false;
    }
    // The module's OS loads the driver at its next boot; the preset's files go in through it.
    LoadDrivers();
    bool mounted = false;
    for (const StoreState& store : storage::Stores()) {
      for (const PartitionState& partition : store.partitions) {
        mounted = mounted || partition.mounted;
      }
    }
    if (!mounted) {
      *error = "storage: the flash disk did not mount";
      return false;
    }
    return WriteSampleFiles(error);
  }

  void Detach(Machine& /*machine*/) override {
    storage::DetachProcess();
    WithdrawStorageCalls();
  }

  void Describe(Machine& /*machine*/, Json& info) override {
    Json drivers = Json::array();
    for (const DriverInstance& driver : storage::Drivers()) {
      drivers.push_back(
          {{"name", ToUtf8(driver.legacyName)},
           {"key", "HKEY_LOCAL_MACHINE\\" + driver.key},
           {"loadedBy", driver.byDeviceManager ? "device manager" : "storage manager"},
           {"profile", ToUtf8(driver.profile)}});
    }
    Json stores = Json::array();
    for (const StoreState& store : storage::Stores()) {
      Json partitions = Json::array();
      for (const PartitionState& partition : store.partitions) {
        partitions.push_back(
            {{"name", ToUtf8(partition.entry.name)},
             {"type", Hex(partition.entry.type)},
             {"firstSector", partition.entry.first},
             {"sectors", partition.entry.sectors},
             {"attributes", Hex(partition.entry.attributes)},
             {"mounted", partition.mounted},
             {"folder", partition.mounted ? "\\" + ToUtf8(partition.folder) : std::string()}});
      }
      stores.push_back({{"device", ToUtf8(store.deviceName)},
                        {"name", ToUtf8(store.storeName)},
                        {"profile", ToUtf8(store.profile)},
                        {"state", store.detaching ? "unloading" : "attached"},
                        {"unformatted", store.unformatted},
                        {"memBase", Hex(store.geometry.memBase)},
                        {"memLen", Hex(store.geometry.memLen)},
                        {"blockSize", Hex(store.geometry.blockSize)},
                        {"sectorSize", store.geometry.sectorSize},
                        {"sectors", store.geometry.Sectors()},
                        {"sectorsInUse", storage::SectorsInUse(store.id)},
                        {"partitions", partitions}});
    }
    info["storage"] = {
        {"unloadDelayMs", storage::UnloadDelay()}, {"drivers", drivers}, {"stores", stores}};
  }
};

StorageComponent storageComponent;

}  // namespace
}  // namespace sim
