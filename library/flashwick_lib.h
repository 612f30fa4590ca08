// FlashwickLib: the update library. It knows the flash layout and the bin file format; the
// shell drives it through the FWL entries and turns their status codes into messages.
//
// Every entry returns an FwlStatus (0 success). Entries run one at a time (the shell's dialogs
// guarantee it); the library keeps its state in process-wide globals.
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
// Five regions and a terminator, sorted by start after a scan.
extern FlashRegion RegionTable[kRegionCount + 1];
// Device name of the store that holds the file system ("" when none was found).
extern WCHAR FileSystemStoreName[8];
// Index of the file system entry in RegionTable after the last scan.
extern int FileSystemRegionIndex;

// Rebuilds every RegionTable entry whose kind is in typeMask. Always FWL_OK.
[[nodiscard]] FwlStatus FWLScanRegions(DWORD typeMask);
// Copies the present regions of the kinds in selection->flags to list (room for five and a
// terminator; may be null) and sums them into selection; kinds not present are removed from
// selection->flags. FWL_ERR_NOT_INITIALIZED, FWL_ERR_NO_REGION or FWL_OK.
[[nodiscard]] FwlStatus FWLGetRegions(FlashRegion* selection, FlashRegion* list);
// ORs the flags of every region that overlaps [start, start + length) into *types;
// FWL_ERR_RANGE when one of them shares no bit with the caller's set.
[[nodiscard]] FwlStatus FWLGetRegionsInRange(DWORD* types, DWORD start, DWORD length);

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

// ---------------------------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------------------------
// Checks the hardware revision, starts the flash layer and scans the regions.
// FWL_OK, FWL_ERR_HW_VERSION or FWL_ERR_FLASH_INIT (both permanent for the process).
[[nodiscard]] FwlStatus FWLInit();
// Opens and walks a bin file; verify non-zero checks every checksum. The file stays open.
[[nodiscard]] FwlStatus FWLSetBinFile(const WCHAR* path, ImageInfo* info,
                                      ProgressCallback validateProgress, int verify);
// Closes the open bin file, if any.
FwlStatus FWLCloseBinFile();
// Writes the open bin file into the module (after a successful FWLSetBinFile).
[[nodiscard]] FwlStatus FWLDoUpdate(ProgressCallback eraseProgress,
                                    SectionBeginCallback sectionBegin,
                                    DataProgressCallback dataProgress);
// Erases every present region of the kinds given.
[[nodiscard]] FwlStatus FWLEraseRegions(DWORD kinds, ProgressCallback progress);
// Backs the regions of the kinds given up into a new bin file at path.
[[nodiscard]] FwlStatus FWLBackupToFile(const WCHAR* path, DWORD kinds, BackupBeginCallback begin,
                                        SectionBeginCallback section,
                                        DataProgressCallback progress);
// Module time in milliseconds (tick count) that the last FWLDoUpdate, FWLEraseRegions or
// FWLBackupToFile took from its call to its return, whatever its result; 0 before the first.
[[nodiscard]] DWORD FWLGetOperationTime();
