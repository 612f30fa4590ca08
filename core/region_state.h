// The region table as the last scan left it, with the store that holds the file system. The
// library's scan fills them; the storage layer reads the file system's entry and store name.
#pragma once

#include "core/fwl_types.h"

// Five regions and a terminator, sorted by start after a scan.
extern FlashRegion RegionTable[kRegionCount + 1];
// Device name of the store that holds the file system ("" when none was found).
extern WCHAR FileSystemStoreName[8];
// Index of the file system entry in RegionTable after the last scan.
extern int FileSystemRegionIndex;
