// Control of the OS flash file system driver: detach the OS driver instance from the store
// before the flash under it is rewritten raw, and bring up the program's own FWLFMD instance
// with a section's geometry to rebuild the file system. Everything here goes through the
// device manager, the registry and the storage manager; the flash itself is not touched.
#include <initializer_list>

#include "core/callbacks.h"
#include "core/region_state.h"
#include "platform/registry.h"
#include "storage/fs_section.h"
#include "storage/store_binding.h"

DWORD DriverUnloadTime = 0;

namespace {

constexpr const WCHAR* kOsDriverKey = u"Drivers\\BuiltIn\\StrataFMD";
constexpr const WCHAR* kOsDriverKeyAlternate = u"Drivers\\BlockDevice\\StrataFMD";
constexpr const WCHAR* kOwnDriverKey = u"Drivers\\BuiltIn\\FWLFMD";
constexpr const WCHAR* kProfilePath = u"System\\StorageManager\\Profiles\\%s";
constexpr const WCHAR* kFatPath = u"System\\StorageManager\\Profiles\\%s\\FATFS";
constexpr const WCHAR* kInternalFlash = u"Internal Flash";
constexpr DWORD kDefaultUnloadDelay = 5000;  // ms, the storage manager's default
constexpr DWORD kUnloadMargin = 100;         // ms beyond the delay
constexpr DWORD kSettleTime = 500;           // ms for the new instance and its store

constexpr DWORD kPhaseDismounted = 2;
constexpr DWORD kPhaseFormatted = 3;

bool OpenOsDriverKey(HKEY* key) {
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOsDriverKey, 0, KEY_ALL_ACCESS, key) == ERROR_SUCCESS ||
         RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOsDriverKeyAlternate, 0, KEY_ALL_ACCESS, key) ==
             ERROR_SUCCESS;
}

bool SetDword(HKEY key, const WCHAR* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value)) == ERROR_SUCCESS;
}

bool SetString(HKEY key, const WCHAR* name, const WCHAR* value) {
  const DWORD bytes = static_cast<DWORD>((WideLength(value) + 1) * sizeof(WCHAR));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes) ==
         ERROR_SUCCESS;
}

// Copies a value as REG_SZ with the byte count the read returned. buffer holds capacity bytes
// and is terminated inside them afterwards (the stored value may not be).
bool CopyValue(HKEY from, HKEY to, const WCHAR* name, WCHAR* buffer, DWORD capacity) {
  DWORD size = capacity;
  if (RegQueryValueExW(from, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  const DWORD units = capacity / sizeof(WCHAR);
  const DWORD got = size / sizeof(WCHAR);
  buffer[got < units ? got : units - 1] = 0;
  return RegSetValueExW(to, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(buffer), size) ==
         ERROR_SUCCESS;
}

bool Phase(DWORD code) { return EraseProgressFn == nullptr || EraseProgressFn(code, 0) != 0; }

}  // namespace

FwlStatus UnloadFlashDriver() {
  FwlStatus result = FWL_OK;
  if (FileSystemStoreName[0] != 0) {
    DEVMGR_DEVICE_INFORMATION info{};
    info.dwSize = kDevmgrDeviceInformationSize;
    HANDLE search = FindFirstDevice(DeviceSearchByLegacyName, FileSystemStoreName, &info);
    if (search != INVALID_HANDLE_VALUE && search != nullptr) {
      result = DeactivateDevice(info.hDevice) ? FWL_OK : FWL_ERR_FS_DRIVER;
      (void)CloseHandle(search);
    } else if (!AdvertiseInterface(&BLOCK_DRIVER_GUID, FileSystemStoreName, TRUE) ||
               !AdvertiseInterface(&BLOCK_DRIVER_GUID, FileSystemStoreName, FALSE)) {
      result = FWL_ERR_FS_DRIVER;
    }
  }
  DriverUnloadTime = GetTickCount();
  return result;
}

FwlStatus ConfigureFlashDriverKey(const FsSectionHeader& header) {
  HKEY source = nullptr;
  if (!OpenOsDriverKey(&source)) {
    return FWL_ERR_FS_DRIVER;
  }
  HKEY own = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOwnDriverKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &own, &disposition) != ERROR_SUCCESS) {
    (void)RegCloseKey(source);
    return FWL_ERR_FS_DRIVER;
  }
  bool ok = true;
  WCHAR dll[MAX_PATH / sizeof(WCHAR)] = {};  // 260 bytes
  WCHAR profile[32] = {};                    // 64 bytes: 31 characters and the terminator
  WCHAR interfaceClass[MAX_PATH / sizeof(WCHAR)] = {};  // 260 bytes
  ok = CopyValue(source, own, u"Dll", dll, sizeof(dll)) && ok;
  ok = CopyValue(source, own, u"Profile", profile, sizeof(profile)) && ok;
  ok = CopyValue(source, own, u"IClass", interfaceClass, sizeof(interfaceClass)) && ok;
  ok = SetDword(own, u"Order", 0) && ok;
  ok = SetString(own, u"Prefix", u"DSK") && ok;
  const struct {
    const WCHAR* name;
    DWORD value;
  } geometry[] = {{u"MemBase", header.memBase},
                  {u"MemLen", header.memLen},
                  {u"BlockSize", header.blockSize},
                  {u"SectorSize", header.sectorSize}};
  for (const auto& value : geometry) {
    if (value.value != 0xFFFFFFFF) {
      ok = SetDword(own, value.name, value.value) && ok;
    } else {
      // An earlier section of the same restore may have written it: a section without the
      // value gets the driver's own layout, not the last section's.
      (void)RegDeleteValueW(own, value.name);
    }
  }
  (void)RegCloseKey(own);
  (void)RegCloseKey(source);
  if (!ok) {
    return FWL_ERR_FS_DRIVER;
  }
  WCHAR path[MAX_PATH];
  (void)FormatText(path, kProfilePath, profile);
  HKEY profileKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &profileKey) != ERROR_SUCCESS) {
    return FWL_ERR_FS_DRIVER;
  }
  if (header.kind == FS_SECTION_FILES) {
    WCHAR folder[kFsFolderUnits + 1] = {};
    for (DWORD i = 0; i < kFsFolderUnits && header.folder[i] != 0; ++i) {
      folder[i] = header.folder[i];  // a folder without a terminator in the file is cut here
    }
    ok = SetString(profileKey, u"Folder", folder) && ok;
  }
  ok = SetDword(profileKey, u"AutoMount", 0) && ok;
  (void)RegCloseKey(profileKey);
  if (header.kind == FS_SECTION_FILES) {
    (void)FormatText(path, kFatPath, profile);
    HKEY fatKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &fatKey) != ERROR_SUCCESS) {
      return FWL_ERR_FS_DRIVER;
    }
    ok = SetDword(fatKey, u"FormatTfat", (header.flags & kFsFlagFormatTfat) != 0 ? 1 : 0) && ok;
    (void)RegCloseKey(fatKey);
  }
  return ok ? FWL_OK : FWL_ERR_FS_DRIVER;
}

FwlStatus WaitForUnloadDelay() {
  DWORD delay = kDefaultUnloadDelay;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\StorageManager", 0, KEY_ALL_ACCESS, &key) ==
      ERROR_SUCCESS) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key, u"PNPUnloadDelay", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                         &size) == ERROR_SUCCESS &&
        size == sizeof(value)) {
      delay = value;
    }
    (void)RegCloseKey(key);
  }
  // Unsigned arithmetic: a tick count that wrapped still gives the true difference.
  const DWORD elapsed = GetTickCount() - DriverUnloadTime;
  if (elapsed < delay) {
    Sleep(delay - elapsed + kUnloadMargin);
  }
  return FWL_OK;
}

FwlStatus LoadFlashDriver() {
  HANDLE device = ActivateDeviceEx(kOwnDriverKey, nullptr, 0, nullptr);
  if (device == nullptr || device == INVALID_HANDLE_VALUE) {
    return FWL_ERR_FS_DRIVER;
  }
  Sleep(kSettleTime);
  return FWL_OK;
}

FwlStatus FormatInternalStore(HANDLE* store) {
  FileSystemStoreName[0] = 0;
  *store = INVALID_HANDLE_VALUE;
  STOREINFO info{};
  info.cbSize = sizeof(STOREINFO);
  HANDLE search = FindFirstStore(&info);
  if (search == INVALID_HANDLE_VALUE) {
    return FWL_ERR_FORMAT_STORE;
  }
  bool found = false;
  do {
    info.szStoreName[31] = 0;
    info.szDeviceName[7] = 0;
    if (WideCompare(info.szStoreName, kInternalFlash) == 0) {
      *store = OpenStore(info.szDeviceName);
      if (*store != INVALID_HANDLE_VALUE) {
        found = true;
        break;
      }
    }
    info.cbSize = sizeof(STOREINFO);
  } while (FindNextStore(search, &info));
  if (!found) {
    (void)FindCloseStore(search);
    return FWL_ERR_FORMAT_STORE;
  }
  (void)WideCopy(FileSystemStoreName, 8, info.szDeviceName);
  FwlStatus result = FWL_OK;
  if (!DismountStore(*store)) {
    result = FWL_ERR_FORMAT_STORE;
  } else if (!Phase(kPhaseDismounted)) {
    result = FWL_ERR_ABORTED;
  } else if (!FormatStore(*store)) {
    result = FWL_ERR_FORMAT_STORE;
  } else if (!Phase(kPhaseFormatted)) {
    result = FWL_ERR_ABORTED;
  }
  (void)FindCloseStore(search);
  return result;
}

FwlStatus CleanFlashDriverKey() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOwnDriverKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return FWL_OK;
  }
  for (const WCHAR* name : {u"Dll", u"Profile", u"IClass", u"Order", u"Prefix", u"MemBase",
                            u"MemLen", u"BlockSize", u"SectorSize"}) {
    (void)RegDeleteValueW(key, name);
  }
  (void)RegCloseKey(key);
  return FWL_OK;
}
