// The device manager of the module's OS: loading and unloading the flash block driver
// instances, finding them by name, and the interface announcements that the storage manager
// listens to.
//
// Device handles (ActivateDeviceEx, DEVMGR_DEVICE_INFORMATION.hDevice) belong to the device
// manager, not to the calling process, so they stay valid in every process of the module until
// the device is deactivated or the module resets.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/storage.h"
#include "sim/base/utf.h"
#include "sim/os/file_system.h"
#include "sim/os/os_call.h"
#include "sim/storage/storage_manager.h"
#include "sim/storage/volume.h"

namespace sim {
namespace {

HANDLE FailHandle(DWORD error, HANDLE failure) {
  SetLastError(error);
  return failure;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

void CopyText(WCHAR* target, std::size_t units, std::u16string_view text) {
  const std::size_t count = std::min(units - 1, text.size());
  std::copy_n(text.data(), count, target);
  std::fill(target + count, target + units, u'\0');
}

std::u16string DeviceNameOf(const DriverInstance& driver) {
  // "$device\DSK1": the legacy name without its colon, in the device namespace.
  std::u16string_view name = driver.legacyName;
  if (!name.empty() && name.back() == u':') {
    name.remove_suffix(1);
  }
  std::u16string result = u"$device\\";
  result.append(name.begin(), name.end());
  return result;
}

std::u16string ActiveKeyOf(const DriverInstance& driver) {
  // Two digits at least, as the device manager numbers its active keys.
  char number[16];
  std::snprintf(number, sizeof(number), "%02u", static_cast<unsigned>(driver.id));
  return u"Drivers\\Active\\" + FromUtf8(number);
}

void Describe(const DriverInstance& driver, DEVMGR_DEVICE_INFORMATION* info) {
  const DWORD size = info->dwSize;
  std::memset(info, 0, sizeof(*info));
  info->dwSize = size;
  info->hDevice = driver.DeviceHandle();
  info->hParentDevice = nullptr;
  CopyText(info->szLegacyName, 6, driver.legacyName);
  CopyText(info->szDeviceKey, MAX_PATH, ActiveKeyOf(driver));
  CopyText(info->szDeviceName, MAX_PATH, DeviceNameOf(driver));
  CopyText(info->szBusName, MAX_PATH, u"");
}

bool SameGuid(const GUID& left, const GUID& right) {
  return std::memcmp(&left, &right, sizeof(GUID)) == 0;
}

// A device search: the matching instances as they were when the search began. FindClose ends
// it, as it ends a file search.
class DeviceSearch final : public FindSearch {
 public:
  explicit DeviceSearch(std::vector<DriverInstance> found) : found_(std::move(found)) {}
  const char* KindName() const override { return "device search"; }
  bool Next(WIN32_FIND_DATAW* /*data*/) override { return false; }  // not a file search
  bool NextDevice(DEVMGR_DEVICE_INFORMATION* info) {
    if (next_ >= found_.size()) {
      return false;
    }
    Describe(found_[next_++], info);
    return true;
  }

 private:
  std::vector<DriverInstance> found_;
  std::size_t next_ = 0;
};

bool ValidInformation(const DEVMGR_DEVICE_INFORMATION* info) {
  // The module's record is 1584 bytes; a caller built for this host may give the host's size.
  return info != nullptr && (info->dwSize == kDevmgrDeviceInformationSize ||
                             info->dwSize == sizeof(DEVMGR_DEVICE_INFORMATION));
}

}  // namespace
}  // namespace sim

HANDLE FindFirstDevice(DeviceSearchType searchType, LPCVOID searchParam,
                       DEVMGR_DEVICE_INFORMATION* deviceInformation) {
  const bool named =
      searchType == DeviceSearchByLegacyName || searchType == DeviceSearchByDeviceName;
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("FindFirstDevice", {static_cast<std::uint64_t>(searchType)}, ERROR_GEN_FAILURE,
                     &error, named ? static_cast<const char16_t*>(searchParam) : nullptr)) {
    return sim::FailHandle(error, INVALID_HANDLE_VALUE);
  }
  if (searchParam == nullptr || !sim::ValidInformation(deviceInformation)) {
    return sim::FailHandle(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  std::vector<sim::DriverInstance> found;
  for (const sim::DriverInstance& driver : sim::storage::Drivers()) {
    if (!driver.byDeviceManager) {
      continue;  // the storage manager's own block drivers are not devices
    }
    bool matches = false;
    switch (searchType) {
      case DeviceSearchByLegacyName:
        matches =
            sim::MatchVolumePattern(static_cast<const char16_t*>(searchParam), driver.legacyName);
        break;
      case DeviceSearchByDeviceName:
        matches = sim::MatchVolumePattern(static_cast<const char16_t*>(searchParam),
                                          sim::DeviceNameOf(driver));
        break;
      case DeviceSearchByGuid:
        matches = driver.blockInterface &&
                  sim::SameGuid(*static_cast<const GUID*>(searchParam), BLOCK_DRIVER_GUID);
        break;
      default:
        return sim::FailHandle(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
    }
    if (matches) {
      found.push_back(driver);
    }
  }
  auto search = std::make_shared<sim::DeviceSearch>(std::move(found));
  if (!search->NextDevice(deviceInformation)) {
    return sim::FailHandle(ERROR_NO_MORE_ITEMS, INVALID_HANDLE_VALUE);
  }
  return sim::AddHandle(search);
}

BOOL FindNextDevice(HANDLE searchHandle, DEVMGR_DEVICE_INFORMATION* deviceInformation) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("FindNextDevice", {sim::Word(searchHandle)}, ERROR_GEN_FAILURE, &error)) {
    return sim::Fail(error);
  }
  const auto search = sim::LookupHandleAs<sim::DeviceSearch>(searchHandle);
  if (!search) {
    return sim::Fail(ERROR_INVALID_HANDLE);
  }
  if (!sim::ValidInformation(deviceInformation)) {
    return sim::Fail(ERROR_INVALID_PARAMETER);
  }
  return search->NextDevice(deviceInformation) ? TRUE : sim::Fail(ERROR_NO_MORE_ITEMS);
}

HANDLE ActivateDeviceEx(LPCWSTR deviceKey, const REGINI* registryEntries, DWORD entryCount,
                        LPVOID /*parameter*/) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("ActivateDeviceEx", {entryCount}, ERROR_GEN_FAILURE, &error, deviceKey)) {
    return sim::FailHandle(error, nullptr);
  }
  if (deviceKey == nullptr || (entryCount != 0 && registryEntries == nullptr)) {
    return sim::FailHandle(ERROR_INVALID_PARAMETER, nullptr);
  }
  std::uint32_t id = 0;
  error = sim::storage::Activate(sim::ToUtf8(deviceKey), true, &id);
  if (error != ERROR_SUCCESS) {
    return sim::FailHandle(error, nullptr);
  }
  for (const sim::DriverInstance& driver : sim::storage::Drivers()) {
    if (driver.id == id) {
      return driver.DeviceHandle();
    }
  }
  return sim::FailHandle(ERROR_GEN_FAILURE, nullptr);
}

BOOL DeactivateDevice(HANDLE device) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("DeactivateDevice", {sim::Word(device)}, ERROR_GEN_FAILURE, &error)) {
    return sim::Fail(error);
  }
  error = sim::storage::Deactivate(device);
  return error == ERROR_SUCCESS ? TRUE : sim::Fail(error);
}

BOOL AdvertiseInterface(const GUID* deviceClass, LPCWSTR name, BOOL add) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("AdvertiseInterface", {static_cast<std::uint64_t>(add)}, ERROR_GEN_FAILURE,
                     &error, name)) {
    return sim::Fail(error);
  }
  if (deviceClass == nullptr || name == nullptr) {
    return sim::Fail(ERROR_INVALID_PARAMETER);
  }
  if (!sim::SameGuid(*deviceClass, BLOCK_DRIVER_GUID)) {
    return TRUE;  // nobody on this image listens to other interfaces
  }
  error = sim::storage::AnnounceBlockInterface(name, add != FALSE);
  return error == ERROR_SUCCESS ? TRUE : sim::Fail(error);
}
