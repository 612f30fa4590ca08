// Library start-up: the hardware check, the flash layer's start, the first region scan; the
// work buffer and the platform data items.
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/platform_controls.h"
#include "library/library_internal.h"

DWORD LibraryInitialized = 0;
DWORD HardwareCheckStatus = 1;  // 1: the check has not run yet
BYTE* WorkBuffer = nullptr;
DWORD WorkBufferSize = 0;

namespace {

constexpr DWORD kWorkBufferLargest = 0x200000;  // 2 MiB
constexpr DWORD kRevisionNeeded = 0x00010002;   // hardware 1.2 on the PXA320 boards

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

FwlStatus AllocWorkBuffer() {
  if (WorkBuffer != nullptr) {
    return FWL_OK;
  }
  for (DWORD size = kWorkBufferLargest; size >= 1; size /= 2) {
    auto* buffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, size));
    if (buffer != nullptr) {
      WorkBuffer = buffer;
      WorkBufferSize = size;
      return FWL_OK;
    }
  }
  WorkBufferSize = 0;
  return FWL_ERR_NO_MEMORY;
}

void FreeWorkBuffer() {
  if (WorkBuffer != nullptr) {
    LocalFree(WorkBuffer);
    WorkBuffer = nullptr;
    WorkBufferSize = 0;
  }
}

const char* FwlStatusName(FwlStatus status) {
  switch (status) {
    case FWL_OK:
      return "FWL_OK";
    case FWL_ERR_ABORTED:
      return "FWL_ERR_ABORTED";
    case FWL_ERR_NOT_INITIALIZED:
      return "FWL_ERR_NOT_INITIALIZED";
    case FWL_ERR_HW_VERSION:
      return "FWL_ERR_HW_VERSION";
    case FWL_ERR_OPEN_FILE:
      return "FWL_ERR_OPEN_FILE";
    case FWL_ERR_BAD_FILE:
      return "FWL_ERR_BAD_FILE";
    case FWL_ERR_FILE_VERSION:
      return "FWL_ERR_FILE_VERSION";
    case FWL_ERR_WRITE_FILE:
      return "FWL_ERR_WRITE_FILE";
    case FWL_ERR_NO_MEMORY:
      return "FWL_ERR_NO_MEMORY";
    case FWL_ERR_RANGE:
      return "FWL_ERR_RANGE";
    case FWL_ERR_NO_REGION:
      return "FWL_ERR_NO_REGION";
    case FWL_ERR_INVALID_REGION:
      return "FWL_ERR_INVALID_REGION";
    case FWL_ERR_FLASH_INIT:
      return "FWL_ERR_FLASH_INIT";
    case FWL_ERR_READ_FLASH:
      return "FWL_ERR_READ_FLASH";
    case FWL_ERR_WRITE_FLASH:
      return "FWL_ERR_WRITE_FLASH";
    case FWL_ERR_ERASE_FLASH:
      return "FWL_ERR_ERASE_FLASH";
    case FWL_ERR_CHECKSUM:
      return "FWL_ERR_CHECKSUM";
    case FWL_ERR_VERIFY_FLASH:
      return "FWL_ERR_VERIFY_FLASH";
    case FWL_ERR_FILE_SYSTEM:
      return "FWL_ERR_FILE_SYSTEM";
    case FWL_ERR_FS_DRIVER:
      return "FWL_ERR_FS_DRIVER";
    case FWL_ERR_FORMAT_STORE:
      return "FWL_ERR_FORMAT_STORE";
    case FWL_ERR_NO_CPLD:
      return "FWL_ERR_NO_CPLD";
    case FWL_ERR_CPLD_UPDATE:
      return "FWL_ERR_CPLD_UPDATE";
    default:
      return nullptr;
  }
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
