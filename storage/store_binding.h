// The storage manager's fifteen functions under their platform names, on both OS versions.
//
// On Windows CE 6 they are exported by name from "coredll.dll"; on Windows CE 5 they are the
// kernel's implicit system calls of API sets 7 (store and partition handles) and 8 (searches),
// and two of them go through the file system API. Every call asks the OS version afresh.
// Results are the platform's: INVALID_HANDLE_VALUE for handles, FALSE for the rest. A CE 5 BOOL
// result is normalised (exactly 1 is TRUE, anything else FALSE).
#pragma once

#include "platform/storage.h"

HANDLE OpenStore(LPCWSTR deviceName);
BOOL DismountStore(HANDLE store);
BOOL FormatStore(HANDLE store);
HANDLE FindFirstStore(PSTOREINFO storeInfo);
BOOL FindNextStore(HANDLE search, PSTOREINFO storeInfo);
BOOL FindCloseStore(HANDLE search);
BOOL GetStoreInfo(HANDLE store, PSTOREINFO storeInfo);
BOOL CreatePartitionEx(HANDLE store, LPCWSTR partitionName, BYTE partitionType,
                       SECTORNUM sectorCount);
HANDLE OpenPartition(HANDLE store, LPCWSTR partitionName);
BOOL MountPartition(HANDLE partition);
BOOL SetPartitionAttributes(HANDLE partition, DWORD attributes);
BOOL FormatPartition(HANDLE partition);
HANDLE FindFirstPartition(HANDLE store, PPARTINFO partitionInfo);
BOOL FindNextPartition(HANDLE search, PPARTINFO partitionInfo);
BOOL FindClosePartition(HANDLE search);

// True when GetVersionExW reports major version 6.
[[nodiscard]] bool IsOsVersion6();
// Loads "coredll.dll" (releasing a library still held) and looks name up; null when either
// fails. The library stays held until ReleaseStorageLibrary or the next resolution.
FARPROC ResolveStorageFunction(LPCWSTR name);
void ReleaseStorageLibrary();

// Handle of "coredll.dll" between loading and releasing it during one CE 6 call.
extern HMODULE CoreLibraryHandle;

// CE 5 system call numbers: kernel API set and method.
constexpr DWORD kApiSetStore = 7;
constexpr DWORD kApiSetSearch = 8;
