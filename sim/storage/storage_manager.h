// Room sim/storage/: the OS's storage manager: the flash block driver's stores laid over flash
// regions, their partitions and the FAT volumes mounted from them. It answers the storage
// manager and block device calls of platform/storage.h.
//
// The module's storage manager and its flash block driver instances: stores, partitions and the
// volumes mounted from them.
//
// A block driver instance is loaded from a registry key (the OS flash driver's
// "Drivers\BuiltIn\StrataFMD" at boot, "Drivers\BlockDevice\StrataFMD" on images whose storage
// manager loads it itself, or any key given to ActivateDeviceEx). Its values MemBase, MemLen,
// BlockSize and SectorSize place its store on the flash (missing values take the driver's
// built-in layout: the region behind the flash registry, the chip's erase block, 512-byte
// sectors on NOR and page-sized ones on NAND). When its IClass names the block driver
// interface, the storage manager attaches a store to it, named by the profile's "Name" under
// "System\StorageManager\Profiles\<Profile>", and, as the profile allows (AutoFormat,
// AutoPart, AutoMount), formats it, partitions it and mounts its partitions at the profile's
// "Folder" ("\Flash Disk"; a second volume with the same folder gets "\Flash Disk2").
//
// A store that goes away (its driver deactivated, or its block driver interface withdrawn) is
// dismounted at once but stays attached for the storage manager's "PNPUnloadDelay"
// (milliseconds, 5000 when missing): until the delay has passed, a new driver instance over the
// same flash cannot be loaded, as on the module. Nor can one over the flash of a store that a
// driver from another key serves; a second instance from the same key can (the flash driver
// does not know of the first), and gets a store of its own over the same sectors.
//
// A mounted volume's files are the folder files/<Folder>/ of the module directory while it is
// mounted (the module's file system serves them); the volume image in the partition's sectors
// (sim/storage/volume.h) is brought up to date from that folder whenever the sectors may be
// looked at: when the store is opened, dismounted, formatted or detached, and when the process
// leaves the module. Mounting writes the folder afresh from the sectors.
//
// What the running OS holds (driver instances, stores, partitions, mount state) lives in
// ram/storage.json, shared by the module's processes and lost at a module reset.
//
// Fault plan items (besides "call" items named after the platform functions, which make a call
// fail with the item's error):
//   {"kind": "storage.store", "fail": "dismount" | "format", "device": "DSK1:"}
//        the store (any store when "device" is absent) cannot be dismounted or formatted
//        (count -1 unless given; "error" defaults to ERROR_GEN_FAILURE)
//   {"kind": "storage.sector", "operation": "read" | "write", "sector": N, "skip": S,
//    "count": C, "error": E}
//        a sector read or write request that covers sector N (any sector when absent) fails
//        (count 1 unless given; error ERROR_READ_FAULT / ERROR_WRITE_FAULT unless given)
//   {"kind": "storage.file", "path": "\\Flash Disk\\*.txt", "error": E}
//        creating a file whose path matches (* and ?, case ignored) fails
//        (error ERROR_ACCESS_DENIED unless given; count -1 unless given)
//   {"kind": "storage.result", "call": "DismountStore", "value": 2, "skip": S, "count": C}
//        the named storage function does its work and then answers value instead of TRUE
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/storage.h"
#include "sim/module/machine.h"
#include "sim/os/handles.h"
#include "sim/storage/store.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// The fault plan kinds of the storage manager
// ---------------------------------------------------------------------------------------------
inline constexpr std::string_view kStoreOperations[] = {"dismount", "format"};
inline constexpr FaultField kStoreFaultFields[] = {
    {.name = "fail",
     .type = FaultFieldType::kChoice,
     .required = true,
     .help = "the store operation that fails",
     .choices = kStoreOperations},
    {.name = "device",
     .type = FaultFieldType::kText,
     .help = "the store's device name, e.g. DSK1: (any store unless given)"},
    {.name = "error", .help = "the error reported (ERROR_GEN_FAILURE unless given)"}};
inline constexpr FaultKind kStoreFault{.name = "storage.store",
                                       .help = "a store cannot be dismounted or formatted",
                                       .fields = kStoreFaultFields,
                                       .counted = true,
                                       .defaultCount = -1};
inline constexpr std::string_view kSectorOperations[] = {"read", "write"};
inline constexpr FaultField kSectorFaultFields[] = {
    {.name = "operation",
     .type = FaultFieldType::kChoice,
     .required = true,
     .help = "the sector request that fails",
     .choices = kSectorOperations},
    {.name = "sector",
     .maximum = UINT64_MAX,
     .help = "a sector the request covers (any unless given)"},
    {.name = "error",
     .help = "the error reported (ERROR_READ_FAULT or ERROR_WRITE_FAULT unless given)"}};
inline constexpr FaultKind kSectorFault{.name = "storage.sector",
                                        .help = "a sector read or write request of a store fails",
                                        .fields = kSectorFaultFields,
                                        .counted = true,
                                        .defaultCount = 1};
inline constexpr FaultField kFileFaultFields[] = {
    {.name = "path",
     .type = FaultFieldType::kText,
     .required = true,
     .help = "the files, e.g. \\Flash Disk\\*.txt (* and ?, case ignored)"},
    {.name = "error", .help = "the error reported (ERROR_ACCESS_DENIED unless given)"}};
inline constexpr FaultKind kFileFault{.name = "storage.file",
                                      .help = "creating a file whose path matches fails",
                                      .fields = kFileFaultFields,
                                      .counted = true,
                                      .defaultCount = -1};
inline constexpr FaultField kResultFaultFields[] = {
    {.name = "call",
     .type = FaultFieldType::kText,
     .required = true,
     .help = "the storage function, e.g. DismountStore"},
    {.name = "value", .help = "what it answers in place of TRUE (TRUE unless given)"}};
inline constexpr FaultKind kResultFault{
    .name = "storage.result",
    .help = "a storage function does its work and then answers another value than TRUE",
    .fields = kResultFaultFields,
    .counted = true,
    .defaultCount = 1};

// What STOREINFO reports for the flash store.
inline constexpr DWORD kStorageDeviceClassBlock = 0x00000001;  // STORAGE_DEVICE_CLASS_BLOCK
inline constexpr DWORD kStorageDeviceTypeFlash = 0x00000002;   // STORAGE_DEVICE_TYPE_FLASH
inline constexpr DWORD kStorageDeviceFlagReadWrite = 0x00000001;

// The image's flash media driver: the "Dll" of the keys it is loaded from.
inline constexpr const char* kFlashDriverDll = "flashfmd.dll";
// The partition that AutoPart creates, and its type (FAT32 with LBA).
inline constexpr const char16_t* kAutoPartitionName = u"Part00";
inline constexpr std::uint8_t kAutoPartitionType = 0x0C;
inline constexpr std::uint32_t kDefaultUnloadDelay = 5000;  // ms, without "PNPUnloadDelay"
// A device handle of the device manager is this plus 4 × the instance number.
inline constexpr std::uintptr_t kDeviceHandleBase = 0x7D000000;

struct DriverInstance {
  std::uint32_t id = 0;
  std::string key;              // below HKEY_LOCAL_MACHINE
  std::u16string legacyName;    // "DSK1:"
  std::u16string prefix;        // "DSK"
  std::uint32_t index = 0;      // 1 for "DSK1:"
  bool byDeviceManager = true;  // false: loaded by the storage manager (Drivers\BlockDevice)
  bool blockInterface = false;  // IClass names the block driver interface
  std::u16string profile;
  StoreGeometry geometry;
  [[nodiscard]] HANDLE DeviceHandle() const {
    return reinterpret_cast<HANDLE>(kDeviceHandleBase + 4 * std::uintptr_t{id});
  }
};

struct PartitionState {
  PartitionEntry entry;
  bool mounted = false;
  bool readOnly = false;
  std::u16string folder;  // root folder name while mounted ("Flash Disk")
  // Sectors from the partition's start that the volume image took when last written, so that
  // a smaller image frees the rest.
  std::uint64_t imageSectors = 0;
  // When the folder was last written into the sectors: what the folder was (its entries' host
  // status and the module's file records; empty when unknown) and a hash of the image sectors
  // as they were left. While both still hold, writing the folder again changes nothing.
  std::string syncedFolder;
  std::uint64_t syncedImage = 0;
};

struct StoreState {
  std::uint32_t id = 0;
  std::uint32_t driverId = 0;
  std::u16string deviceName;
  std::u16string storeName;
  std::u16string profile;
  StoreGeometry geometry;
  bool detaching = false;
  std::uint32_t detachedAt = 0;  // tick count when it was detached
  bool unformatted = false;      // sector 0 holds no partition table
  std::uint32_t attributes = 0;  // STORE_ATTRIBUTE_*
  std::uint64_t created = 0;
  std::uint64_t modified = 0;
  std::uint32_t generation = 0;  // changes when its partitions are formatted away
  std::vector<PartitionState> partitions;
};

// ---------------------------------------------------------------------------------------------
// The model. Every function takes the storage manager's lock; results follow the platform:
// ERROR_SUCCESS or the code the calling function reports.
// ---------------------------------------------------------------------------------------------
namespace storage {

// The process attaches to the module (ram is its ram/ folder), the module's OS boots (before
// the drivers load), and the process leaves (mounted volumes are written back first).
void AttachProcess(const fs::path& ram);
void BootModule();
void DetachProcess();

// Device manager and interface side.
[[nodiscard]] DWORD Activate(std::string_view key, bool byDeviceManager, std::uint32_t* id);
[[nodiscard]] DWORD Deactivate(HANDLE device);
[[nodiscard]] DWORD AnnounceBlockInterface(std::u16string_view name, bool add);
std::vector<DriverInstance> Drivers();

// Stores.
[[nodiscard]] DWORD OpenStoreByName(std::u16string_view deviceName, std::uint32_t* storeId);
[[nodiscard]] DWORD StoreInfo(std::uint32_t storeId, STOREINFO* info);
// Stores in attach order (those still unloading included).
std::vector<std::uint32_t> StoreIds();
[[nodiscard]] DWORD DismountStore(std::uint32_t storeId);
[[nodiscard]] DWORD FormatStore(std::uint32_t storeId);

// Partitions, named within their store.
[[nodiscard]] DWORD CreatePartition(std::uint32_t storeId, std::u16string_view name,
                                    std::uint8_t type, std::uint64_t sectors);
[[nodiscard]] DWORD OpenPartition(std::uint32_t storeId, std::u16string_view name,
                                  std::uint32_t* generation, std::u16string* exactName);
[[nodiscard]] DWORD MountPartition(std::uint32_t storeId, std::uint32_t generation,
                                   std::u16string_view name);
[[nodiscard]] DWORD FormatPartition(std::uint32_t storeId, std::uint32_t generation,
                                    std::u16string_view name, std::uint8_t type);
[[nodiscard]] DWORD SetPartitionAttributes(std::uint32_t storeId, std::uint32_t generation,
                                           std::u16string_view name, DWORD attributes);
// Partition names of a store in creation order.
[[nodiscard]] DWORD PartitionNames(std::uint32_t storeId, std::vector<std::u16string>* names);
[[nodiscard]] DWORD PartitionInfo(std::uint32_t storeId, std::u16string_view name, PARTINFO* info);

// Sector requests of a store handle.
[[nodiscard]] DWORD SectorAddresses(std::uint32_t storeId, const DWORD* sectors, DWORD count,
                                    DWORD* addresses);
[[nodiscard]] DWORD ReadSectors(std::uint32_t storeId, std::uint64_t first, std::uint64_t count,
                                std::uint8_t* out);
[[nodiscard]] DWORD WriteSectors(std::uint32_t storeId, std::uint64_t first, std::uint64_t count,
                                 const std::uint8_t* data);

// Geometry of a store, without looking at the other processes' changes (for the sector
// requests, which come in great numbers).
[[nodiscard]] DWORD StoreGeometryOf(std::uint32_t storeId, StoreGeometry* geometry);

// The item's "error", or fallback.
DWORD ItemError(const FaultItem& item, DWORD fallback);

// Brings every mounted volume's sectors up to date with its folder.
void FlushVolumes();

// The storage manager's "PNPUnloadDelay" in milliseconds.
std::uint32_t UnloadDelay();

// --- testing calls ---
std::vector<StoreState> Stores();
// Sectors in use of a store, counted from the flash.
std::uint64_t SectorsInUse(std::uint32_t storeId);

}  // namespace storage

// Store and partition handles the storage functions give out.
class StoreHandle final : public KernelObject {
 public:
  explicit StoreHandle(std::uint32_t storeId) : storeId_(storeId) {}
  const char* KindName() const override { return "store"; }
  [[nodiscard]] std::uint32_t StoreId() const { return storeId_; }

 private:
  std::uint32_t storeId_;
};

class PartitionHandle final : public KernelObject {
 public:
  PartitionHandle(std::uint32_t storeId, std::uint32_t generation, std::u16string name)
      : storeId_(storeId), generation_(generation), name_(std::move(name)) {}
  const char* KindName() const override { return "partition"; }
  [[nodiscard]] std::uint32_t StoreId() const { return storeId_; }
  [[nodiscard]] std::uint32_t Generation() const { return generation_; }
  [[nodiscard]] const std::u16string& Name() const { return name_; }

 private:
  std::uint32_t storeId_;
  std::uint32_t generation_;
  std::u16string name_;
};

}  // namespace sim
