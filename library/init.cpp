// Library start-up: the hardware check, the flash layer's start, the first region scan; the
// platform data items.
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/platform_controls.h"
#include "library/library_internal.h"

DWORD LibraryInitialized = 0;
DWORD HardwareCheckStatus = 1;  // 1: the check has not run yet

namespace {

constexpr DWORD kRevisionNeeded = 0x00010002;  // hardware 1.2 on the PXA320 boards

DWORD PlatformItem(DWORD code, DWORD subCode, void* item, DWORD size) {
  // Pointer-sized words on the host (the item buffer is an address); 12 bytes on the module.
  PlatformItemRequest request{subCode, reinterpret_cast<ULONG_PTR>(item), size};
  DWORD returned = 0;
  (void)KernelIoControl(code, &request, sizeof(request), item, size, &returned);
  return returned;
}

FwlStatus HardwareCheck() {
  if (HardwareCheckStatus != 1) {
    return static_cast<FwlStatus>(HardwareCheckStatus);
  }
  HardwareCheckStatus = FWL_ERR_HW_VERSION;
  if (GetProcessorIdentity() == kProcessorPxa320) {
    WORD version[4] = {0, 0, 0, 0};  // major, minor in the first two 16-bit halves
    if (QueryPlatform(kPlatformItemHardwareVersion, version, sizeof(version)) != 0) {
      const DWORD revision = (static_cast<DWORD>(version[0]) << 16) | version[1];
      if (revision < kRevisionNeeded) {
        return FWL_ERR_HW_VERSION;
      }
    }
  }
  HardwareCheckStatus = FlashInit() == kFlashKindNone ? FWL_ERR_FLASH_INIT : FWL_OK;
  return static_cast<FwlStatus>(HardwareCheckStatus);
}

}  // namespace

DWORD QueryPlatform(DWORD subCode, void* item, DWORD size) {
  return PlatformItem(IOCTL_HAL_PLATFORM_QUERY, subCode, item, size);
}

DWORD StorePlatform(DWORD subCode, const void* item, DWORD size) {
  return PlatformItem(IOCTL_HAL_PLATFORM_STORE, subCode, const_cast<void*>(item), size);
}

FwlStatus FWLInit() {
  if (LibraryInitialized != 0) {
    return FWL_OK;
  }
  const FwlStatus check = HardwareCheck();
  if (check != FWL_OK) {
    return check;
  }
  const FwlStatus scan = FWLScanRegions(REGION_ALL_TYPES);
  if (scan == FWL_OK) {
    LibraryInitialized = 1;
  }
  return scan;
}

void ResetLibraryStateForTesting() {
  (void)FWLCloseBinFile();
  FreeWorkBuffer();
  LibraryInitialized = 0;
  HardwareCheckStatus = 1;
  BinContents = 0;
  ValidateProgressFn = nullptr;
  EraseProgressFn = nullptr;
  SectionBeginFn = nullptr;
  DataProgressFn = nullptr;
  BackupBeginFn = nullptr;
  // The table before its first scan: one entry per kind, nothing else known.
  constexpr RegionType kKinds[kRegionCount] = {
      REGION_BOOTLOADER, REGION_CONFIG_BLOCK, REGION_OS_IMAGE, REGION_REGISTRY, REGION_FILE_SYSTEM};
  for (int i = 0; i < kRegionCount; ++i) {
    RegionTable[i] = FlashRegion{kKinds[i], 0, 0, 0};
  }
  RegionTable[kRegionCount] = FlashRegion{0, 0, 0, 0};
  FileSystemStoreName[0] = 0;
  FileSystemRegionIndex = 0;
}
