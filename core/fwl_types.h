// The program's core: what the update library and the storage layer share, below both of them.
// Status codes and region kinds (this header), the region table's state (region_state.h), the
// work buffer (work_buffer.h), the running checksum (checksum.h), the progress callbacks
// (callbacks.h) and the open bin file with its reader and writer (bin_io.h). The library links
// the storage layer and both link this; nothing here calls either of them.
#pragma once

#include "platform/types.h"

// ---------------------------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------------------------
using FwlStatus = int;
constexpr FwlStatus FWL_OK = 0;
constexpr FwlStatus FWL_ERR_ABORTED = 2;          // a progress or begin callback returned 0
constexpr FwlStatus FWL_ERR_NOT_INITIALIZED = 3;  // FWLInit has not succeeded
constexpr FwlStatus FWL_ERR_HW_VERSION = 4;       // module hardware revision below 1.2
constexpr FwlStatus FWL_ERR_OPEN_FILE = 5;        // bin file cannot be opened or created
constexpr FwlStatus FWL_ERR_BAD_FILE = 6;         // not a valid bin file
constexpr FwlStatus FWL_ERR_FILE_VERSION = 7;     // unsupported section version or format
constexpr FwlStatus FWL_ERR_WRITE_FILE = 8;       // writing the backup file failed
constexpr FwlStatus FWL_ERR_NO_MEMORY = 9;        // allocation failed
constexpr FwlStatus FWL_ERR_RANGE = 10;           // range touches a region outside the set
constexpr FwlStatus FWL_ERR_NO_REGION = 11;       // no present region of the kinds asked
constexpr FwlStatus FWL_ERR_INVALID_REGION = 12;  // a requested kind is not present
constexpr FwlStatus FWL_ERR_FLASH_INIT = 13;      // the flash access layer did not start
constexpr FwlStatus FWL_ERR_READ_FLASH = 14;      // a flash read failed
constexpr FwlStatus FWL_ERR_WRITE_FLASH = 15;     // a flash write failed
constexpr FwlStatus FWL_ERR_ERASE_FLASH = 16;     // a flash erase failed
constexpr FwlStatus FWL_ERR_CHECKSUM = 17;        // a record or section checksum differs
constexpr FwlStatus FWL_ERR_VERIFY_FLASH = 18;    // read-back after writing differs
constexpr FwlStatus FWL_ERR_FILE_SYSTEM = 19;     // file system restore or backup failed
constexpr FwlStatus FWL_ERR_FS_DRIVER = 20;       // file system driver unload or load failed
constexpr FwlStatus FWL_ERR_FORMAT_STORE = 21;    // formatting the store or partitions failed
constexpr FwlStatus FWL_ERR_NO_CPLD = 22;         // CPLD not found or version not supported
constexpr FwlStatus FWL_ERR_CPLD_UPDATE = 23;     // programming the CPLD failed

// The status's name ("FWL_ERR_CHECKSUM"), or null for a code without one.
const char* FwlStatusName(FwlStatus status);

// ---------------------------------------------------------------------------------------------
// Flash regions
// ---------------------------------------------------------------------------------------------
using RegionType = DWORD;
constexpr RegionType REGION_NONE = 0x000;
constexpr RegionType REGION_BOOTLOADER = 0x001;
constexpr RegionType REGION_CONFIG_BLOCK = 0x002;
constexpr RegionType REGION_OS_IMAGE = 0x004;
constexpr RegionType REGION_REGISTRY = 0x008;
constexpr RegionType REGION_FILE_SYSTEM = 0x010;
constexpr RegionType REGION_CPLD_FIRMWARE = 0x400;
constexpr RegionType REGION_ALL_TYPES = 0x00FFFFFF;
constexpr DWORD REGION_NOT_PRESENT = 0x01000000;

// A region, or a selection of regions (flags a set of kinds, the combined range, used summed).
struct FlashRegion {
  DWORD flags;   // RegionType bits 0-23; REGION_NOT_PRESENT while not found
  DWORD start;   // flash offset of the first byte
  DWORD length;  // bytes
  DWORD used;    // bytes from start that hold content
};
static_assert(sizeof(FlashRegion) == 16);

constexpr int kRegionCount = 5;

// ---------------------------------------------------------------------------------------------
// Bin files
// ---------------------------------------------------------------------------------------------
struct ImageInfo {
  DWORD types;      // RegionType set of what the file holds
  DWORD start;      // lowest flash offset the file writes (0xFFFFFFFF: none)
  DWORD length;     // bytes of flash from start that the file covers
  DWORD dataBytes;  // record data plus file system section payload
};
static_assert(sizeof(ImageInfo) == 16);

// ---------------------------------------------------------------------------------------------
// Progress and abort callbacks: return 0 to stop the running entry (FWL_ERR_ABORTED).
// ---------------------------------------------------------------------------------------------
using ProgressCallback = int (*)(DWORD done, DWORD total);
using SectionBeginCallback = int (*)(DWORD start, DWORD length, DWORD checksum);
using DataProgressCallback = int (*)(DWORD sectionDone, DWORD allDone);
using BackupBeginCallback = int (*)(const ImageInfo* info);
