// Sector access to a store through its handle: the in-use test and the count of sectors in
// use (IOCTL_DISK_GET_SECTOR_ADDR), and sector reads and writes (IOCTL_DISK_READ and
// IOCTL_DISK_WRITE with one scatter/gather buffer). The file system backup, its restore and the
// region scan all reach the store's sectors through here.
#pragma once

#include "core/fwl_types.h"
#include "platform/storage.h"

// True when the store maps sector to a flash address (the sector holds data).
[[nodiscard]] bool IsSectorInUse(HANDLE store, DWORD sector);
// Counts the store's sectors in use (the store's information record gives their number),
// one request per work-buffer load. False when a request fails or no buffer can be had.
[[nodiscard]] bool CountSectorsInUse(HANDLE store, const STOREINFO* info, DWORD* inUse);
// Flash bytes that hold the store's data: its sectors in use times the sector size (0 when
// they cannot be counted).
[[nodiscard]] DWORD GetStoreUsage(HANDLE store, const STOREINFO* info);

// Reads count sectors from first into buffer (bytes long). FWL_OK or FWL_ERR_FILE_SYSTEM.
[[nodiscard]] FwlStatus ReadStoreSectors(HANDLE store, DWORD first, DWORD count, BYTE* buffer,
                                         DWORD bytes);
// Writes count sectors from buffer (bytes long) at first. FWL_OK or FWL_ERR_FILE_SYSTEM.
[[nodiscard]] FwlStatus WriteStoreSectors(HANDLE store, DWORD first, DWORD count,
                                          const BYTE* buffer, DWORD bytes);
