// FlashwickLib: the update library. It knows the flash layout and the bin file format; the
// shell drives it through the FWL entries and turns their status codes into messages.
//
// Every entry returns an FwlStatus (0 success). Entries run one at a time (the shell's dialogs
// guarantee it); the library keeps its state in process-wide globals.
#pragma once

#include "core/fwl_types.h"
#include "core/region_state.h"

// Status codes, region kinds, ImageInfo and the callback types are core/fwl_types.h's; the
// region table's state is core/region_state.h's.

// ---------------------------------------------------------------------------------------------
// Flash regions
// ---------------------------------------------------------------------------------------------
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
// Erases every present region of the kinds given; the file system region after its driver
// let go of the store (FWL_ERR_FS_DRIVER when it cannot).
[[nodiscard]] FwlStatus FWLEraseRegions(DWORD kinds, ProgressCallback progress);
// Backs the regions of the kinds given up into a new bin file at path.
[[nodiscard]] FwlStatus FWLBackupToFile(const WCHAR* path, DWORD kinds, BackupBeginCallback begin,
                                        SectionBeginCallback section,
                                        DataProgressCallback progress);
// Module time in milliseconds (tick count) that the last FWLDoUpdate, FWLEraseRegions or
// FWLBackupToFile took from its call to its return, whatever its result; 0 before the first.
[[nodiscard]] DWORD FWLGetOperationTime();
