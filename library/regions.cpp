// The flash region table: a built-in default layout corrected from what the running system
// reports (platform flash layout, the OS flash driver's registry key, the storage manager) and
// from the flash contents themselves.
#include <cstring>

#include "flash/flash_ops.h"
#include "flash/platform_controls.h"
#include "library/library_internal.h"
#include "library/version_records.h"
#include "platform/registry.h"
#include "storage/store_binding.h"
#include "storage/store_sectors.h"

namespace {

constexpr FlashRegion RegionTemplate[kRegionCount + 1] = {
    {REGION_BOOTLOADER | REGION_NOT_PRESENT, 0x00000000, 0x00040000, 0},
    {REGION_CONFIG_BLOCK | REGION_NOT_PRESENT, 0x00040000, 0x00040000, 0},
    {REGION_OS_IMAGE | REGION_NOT_PRESENT, 0x00080000, 0, 0},
    {REGION_REGISTRY | REGION_NOT_PRESENT, 0x01400000, 0x00080000, 0},
    {REGION_FILE_SYSTEM | REGION_NOT_PRESENT, 0x01480000, 0, 0},
    {0, 0, 0, 0}};

constexpr DWORD kBootloaderAlternate = 0x8000;
constexpr DWORD kConfigBlockMarker = 0xCF014000;
constexpr DWORD kConfigPage = 4096;
constexpr DWORD kImageTrailerMagic = 0x52435353;  // "SSCR"
constexpr DWORD kRegistryMarker = 0x01234567;
constexpr DWORD kFlashLayoutSize = 24;
constexpr const WCHAR* kInternalFlash = u"Internal Flash";
constexpr DWORD kProfileBytes = 32;

bool LockedRead(void* buffer, DWORD offset, DWORD length) {
  FlashLockGuard lock;
  return lock.Locked() && FlashOps.Read(buffer, offset, length) != 0;
}

void ScanBootloader(FlashRegion& region) {
  DWORD used = StoredImageLength(region.start);
  if (used == 0) {
    const DWORD alternate = StoredImageLength(region.start + kBootloaderAlternate);
    if (alternate != 0) {
      used = alternate + kBootloaderAlternate;
    }
  }
  region.used = used;
  if (used != 0) {
    region.flags &= ~REGION_NOT_PRESENT;
  }
}

void ScanConfigBlock(FlashRegion& region) {
  region.used = 0;
  FlashLockGuard lock;
  BYTE* page = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, kConfigPage));
  if (page != nullptr && lock.Locked() && region.length != 0 &&
      FlashOps.Read(page, region.start, kConfigPage) && LoadWord(page) == kConfigBlockMarker) {
    DWORD offset = 0;
    bool found = false;
    for (; offset < region.length && !found; offset += kConfigPage) {
      if (!FlashOps.Read(page, region.start + offset, kConfigPage)) {
        continue;  // unreadable: content that holds no marker
      }
      for (DWORD i = 0; i < kConfigPage; i += 4) {
        if (LoadWord(page + i) == 0xFFFFFFFF) {
          region.used = offset + i;
          found = true;
          break;
        }
      }
    }
    if (!found) {
      region.used = offset;
    }
  }
  if (page != nullptr) {
    LocalFree(page);
  }
  region.flags &= ~REGION_NOT_PRESENT;
}

void ScanOsImage(FlashRegion& region) {
  BYTE layout[kFlashLayoutSize] = {};
  StoreWord(layout, region.start);
  if (QueryPlatform(kPlatformItemFlashLayout, layout, sizeof(layout)) != 0) {
    region.start = LoadWord(layout);
  }
  DWORD used = StoredImageLength(region.start);
  if (used == 0) {
    return;
  }
  used = (used + 3) & ~3u;
  BYTE trailer[16];
  if (LockedRead(trailer, region.start + used, sizeof(trailer)) &&
      LoadWord(trailer) == kImageTrailerMagic) {
    used += 16 + LoadWord(trailer + 8);
  }
  region.used = used;
  region.flags &= ~REGION_NOT_PRESENT;
}

void ScanRegistry(FlashRegion& region) {
  BYTE layout[kFlashLayoutSize] = {};
  StoreWord(layout + 4, region.start);
  StoreWord(layout + 8, region.length / 2);
  if (QueryPlatform(kPlatformItemFlashLayout, layout, sizeof(layout)) != 0) {
    region.start = LoadWord(layout + 4);
    region.length = 2 * LoadWord(layout + 8);
  }
  // The region holds two equal halves; the saved registry starts the first one that carries
  // the marker.
  BYTE head[8];
  if ((LockedRead(head, region.start, sizeof(head)) && LoadWord(head) == kRegistryMarker) ||
      (LockedRead(head, region.start + region.length / 2, sizeof(head)) &&
       LoadWord(head) == kRegistryMarker)) {
    region.used = LoadWord(head + 4) + 8;
  }
  region.flags &= ~REGION_NOT_PRESENT;
}

// Reads a string value of at most kProfileBytes bytes into name, a buffer of kProfileUnits
// units, and terminates it inside the buffer whether or not the stored value carries its
// terminator. A value that is missing or longer leaves name as it was.
constexpr DWORD kProfileUnits = kProfileBytes / sizeof(WCHAR) + 1;
void QueryString(HKEY key, const WCHAR* valueName, WCHAR (&name)[kProfileUnits]) {
  WCHAR value[kProfileUnits] = {};
  DWORD size = kProfileBytes;
  DWORD type = 0;
  if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
      ERROR_SUCCESS) {
    return;
  }
  const DWORD got = size / sizeof(WCHAR);
  value[got < kProfileUnits ? got : kProfileUnits - 1] = 0;
  (void)WideCopy(name, kProfileUnits, value);
}

void QueryDword(HKEY key, const WCHAR* valueName, DWORD* value) {
  DWORD result = 0;
  DWORD size = sizeof(result);
  DWORD type = 0;
  if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&result), &size) ==
          ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof(result)) {
    *value = result;
  }
}

void ScanFileSystem(FlashRegion& region) {
  FileSystemStoreName[0] = 0;
  WCHAR profile[kProfileUnits] = {};
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\StrataFMD", 0, KEY_ALL_ACCESS, &key) ==
          ERROR_SUCCESS ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BlockDevice\\StrataFMD", 0, KEY_ALL_ACCESS,
                    &key) == ERROR_SUCCESS) {
    QueryDword(key, u"MemBase", &region.start);
    QueryDword(key, u"MemLen", &region.length);
    QueryString(key, u"Profile", profile);
    (void)RegCloseKey(key);
  }
  WCHAR path[MAX_PATH];
  (void)FormatText(path, u"System\\StorageManager\\Profiles\\%s", profile);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    QueryString(key, u"Name", profile);
    (void)RegCloseKey(key);
  }
  if (WideCompare(profile, kInternalFlash) != 0) {
    return;
  }
  STOREINFO info{};
  info.cbSize = sizeof(STOREINFO);
  HANDLE search = FindFirstStore(&info);
  if (search == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    info.szStoreName[31] = 0;
    info.szDeviceName[7] = 0;
    if (WideCompare(info.szStoreName, kInternalFlash) == 0) {
      HANDLE store = OpenStore(info.szDeviceName);
      if (store != INVALID_HANDLE_VALUE) {
        region.used = GetStoreUsage(store, &info);
        (void)WideCopy(FileSystemStoreName, 8, info.szDeviceName);
        region.flags &= ~REGION_NOT_PRESENT;
        (void)CloseHandle(store);
      }
    }
    info.cbSize = sizeof(STOREINFO);
  } while (FindNextStore(search, &info));
  (void)FindCloseStore(search);
}

}  // namespace

FwlStatus FWLScanRegions(DWORD typeMask) {
  const int previousEcc = FlashOps.SetEcc != nullptr ? FlashOps.SetEcc(0) : 0;
  int count = 0;
  for (; RegionTable[count].flags != 0 && count < kRegionCount; ++count) {
    FlashRegion& region = RegionTable[count];
    const DWORD kinds = region.flags & typeMask;
    static constexpr RegionType kOrder[] = {REGION_BOOTLOADER, REGION_CONFIG_BLOCK, REGION_OS_IMAGE,
                                            REGION_REGISTRY, REGION_FILE_SYSTEM};
    for (RegionType kind : kOrder) {
      if ((kinds & kind) == 0) {
        continue;
      }
      for (const FlashRegion& entry : RegionTemplate) {
        if ((entry.flags & kind) != 0) {
          region = entry;
          break;
        }
      }
      switch (kind) {
        case REGION_BOOTLOADER:
          ScanBootloader(region);
          break;
        case REGION_CONFIG_BLOCK:
          ScanConfigBlock(region);
          break;
        case REGION_OS_IMAGE:
          ScanOsImage(region);
          break;
        case REGION_REGISTRY:
          ScanRegistry(region);
          break;
        default:
          ScanFileSystem(region);
          break;
      }
      break;
    }
  }
  if (FlashOps.SetEcc != nullptr) {
    (void)FlashOps.SetEcc(previousEcc);
  }
  // Bubble the entries into flash order; equal starts keep their order.
  for (bool swapped = true; swapped;) {
    swapped = false;
    for (int i = 0; i + 1 < count; ++i) {
      if (RegionTable[i].start > RegionTable[i + 1].start) {
        const FlashRegion held = RegionTable[i];
        RegionTable[i] = RegionTable[i + 1];
        RegionTable[i + 1] = held;
        swapped = true;
        break;
      }
    }
  }
  for (int i = 0; i < count; ++i) {
    FlashRegion& region = RegionTable[i];
    const DWORD kind = region.flags & REGION_ALL_TYPES;
    if (kind != REGION_OS_IMAGE && kind != REGION_FILE_SYSTEM) {
      continue;
    }
    if (kind == REGION_FILE_SYSTEM) {
      FileSystemRegionIndex = i;
    }
    if (region.length == 0) {
      region.length = (i + 1 < count ? RegionTable[i + 1].start : FlashSize) - region.start;
    }
  }
  return FWL_OK;
}

FwlStatus FWLGetRegions(FlashRegion* selection, FlashRegion* list) {
  if (LibraryInitialized == 0) {
    return FWL_ERR_NOT_INITIALIZED;
  }
  DWORD lowest = 0xFFFFFFFF;
  DWORD highestEnd = 0;
  DWORD used = 0;
  int copied = 0;
  for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
    const FlashRegion& region = RegionTable[i];
    if ((region.flags & selection->flags & REGION_ALL_TYPES) == 0) {
      continue;
    }
    if ((region.flags & REGION_NOT_PRESENT) != 0) {
      selection->flags &= ~(region.flags & REGION_ALL_TYPES);
      continue;
    }
    if (list != nullptr) {
      list[copied] = region;
    }
    ++copied;
    lowest = region.start < lowest ? region.start : lowest;
    const DWORD end = region.start + region.length;
    highestEnd = end > highestEnd ? end : highestEnd;
    used += region.used;
  }
  if (copied == 0) {
    return FWL_ERR_NO_REGION;
  }
  if (list != nullptr) {
    list[copied] = FlashRegion{0, 0, 0, 0};
  }
  selection->start = lowest;
  selection->length = highestEnd - lowest;
  selection->used = used;
  return FWL_OK;
}

FwlStatus FWLGetRegionsInRange(DWORD* types, DWORD start, DWORD length) {
  if (LibraryInitialized == 0) {
    return FWL_ERR_NOT_INITIALIZED;
  }
  if (*types == 0) {
    return length != 0 ? FWL_ERR_RANGE : FWL_OK;
  }
  const ULONGLONG rangeEnd = ULONGLONG{start} + length;
  DWORD result = 0;
  FwlStatus status = FWL_OK;
  for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
    const FlashRegion& region = RegionTable[i];
    const ULONGLONG regionEnd = ULONGLONG{region.start} + region.length;
    if (start < regionEnd && region.start < rangeEnd) {
      result |= region.flags;
      if ((region.flags & *types) == 0) {
        status = FWL_ERR_RANGE;
      }
    }
  }
  *types = result;
  return status;
}
