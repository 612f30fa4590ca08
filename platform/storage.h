// Storage manager, device manager and block device calls of the platform.
//
// The storage manager's records travel in file system sections byte for byte: their sizes and
// offsets are asserted. SG_REQ carries buffer addresses and so uses pointer-sized words on a
// development host (28 bytes on the module).
#pragma once

#include "platform/kernel.h"
#include "platform/types.h"

// ---------------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------------
#pragma pack(push, 4)
struct STORAGEDEVICEINFO {
  DWORD cbSize;
  WCHAR szProfile[32];
  DWORD dwDeviceClass;
  DWORD dwDeviceType;
  DWORD dwDeviceFlags;
};
static_assert(sizeof(STORAGEDEVICEINFO) == 80);

struct SECTORNUM_PAIR {  // 64-bit sector numbers at 4-byte alignment, as the module lays them
  DWORD low;
  DWORD high;
};
using SECTORNUM = ULONGLONG;
#pragma pack(pop)

// 240 bytes; every 64-bit field sits on an 8-byte boundary.
struct STOREINFO {
  DWORD cbSize;
  WCHAR szDeviceName[8];
  WCHAR szStoreName[32];
  DWORD dwDeviceClass;
  DWORD dwDeviceType;
  STORAGEDEVICEINFO sdi;
  DWORD dwDeviceFlags;
  ULONGLONG snNumSectors;
  DWORD dwBytesPerSector;
  ULONGLONG snFreeSectors;
  ULONGLONG snBiggestPartCreatable;
  FILETIME ftCreated;
  FILETIME ftLastModified;
  DWORD dwAttributes;
  DWORD dwPartitionCount;
  DWORD dwMountCount;
};
using PSTOREINFO = STOREINFO*;
static_assert(sizeof(STOREINFO) == 240);
static_assert(offsetof(STOREINFO, szDeviceName) == 4);
static_assert(offsetof(STOREINFO, szStoreName) == 20);
static_assert(offsetof(STOREINFO, dwDeviceClass) == 84);
static_assert(offsetof(STOREINFO, sdi) == 92);
static_assert(offsetof(STOREINFO, dwDeviceFlags) == 172);
static_assert(offsetof(STOREINFO, snNumSectors) == 176);
static_assert(offsetof(STOREINFO, dwBytesPerSector) == 184);
static_assert(offsetof(STOREINFO, snFreeSectors) == 192);
static_assert(offsetof(STOREINFO, snBiggestPartCreatable) == 200);
static_assert(offsetof(STOREINFO, ftCreated) == 208);
static_assert(offsetof(STOREINFO, ftLastModified) == 216);
static_assert(offsetof(STOREINFO, dwAttributes) == 224);
static_assert(offsetof(STOREINFO, dwPartitionCount) == 228);
static_assert(offsetof(STOREINFO, dwMountCount) == 232);

// 296 bytes.
struct PARTINFO {
  DWORD cbSize;
  WCHAR szPartitionName[32];
  WCHAR szFileSys[32];
  WCHAR szVolumeName[64];
  ULONGLONG snNumSectors;
  FILETIME ftCreated;
  FILETIME ftLastModified;
  DWORD dwAttributes;
  BYTE bPartType;
};
using PPARTINFO = PARTINFO*;
static_assert(sizeof(PARTINFO) == 296);
static_assert(offsetof(PARTINFO, szPartitionName) == 4);
static_assert(offsetof(PARTINFO, szFileSys) == 68);
static_assert(offsetof(PARTINFO, szVolumeName) == 132);
static_assert(offsetof(PARTINFO, snNumSectors) == 264);
static_assert(offsetof(PARTINFO, ftCreated) == 272);
static_assert(offsetof(PARTINFO, ftLastModified) == 280);
static_assert(offsetof(PARTINFO, dwAttributes) == 288);
static_assert(offsetof(PARTINFO, bPartType) == 292);

#define STORE_ATTRIBUTE_READONLY 0x00000001u
#define STORE_ATTRIBUTE_REMOVABLE 0x00000002u
#define STORE_ATTRIBUTE_UNFORMATTED 0x00000004u
#define STORE_ATTRIBUTE_AUTOFORMAT 0x00000008u
#define STORE_ATTRIBUTE_AUTOPART 0x00000010u
#define STORE_ATTRIBUTE_AUTOMOUNT 0x00000020u
#define PARTITION_ATTRIBUTE_EXPENDABLE 0x00000001u
#define PARTITION_ATTRIBUTE_READONLY 0x00000002u
#define PARTITION_ATTRIBUTE_AUTOFORMAT 0x00000004u
#define PARTITION_ATTRIBUTE_ACTIVE 0x00000008u
#define PARTITION_ATTRIBUTE_MOUNTED 0x00000010u  // reported while mounted; never stored

// ---------------------------------------------------------------------------------------------
// Block device I/O controls
// ---------------------------------------------------------------------------------------------
#define IOCTL_DISK_GET_SECTOR_ADDR 0x00071C50u
#define IOCTL_DISK_READ 0x00075C08u
#define IOCTL_DISK_WRITE 0x00079C0Cu
#define IOCTL_DISK_GETINFO 0x00071C00u

struct SG_BUF {
  BYTE* sb_buf;  // an address: pointer-sized on the host
  DWORD sb_len;
};
using PFN_REQDONE = DWORD (*)(struct SG_REQ*);
// One scatter/gather request with a single buffer: 28 bytes on the module; pointer-sized words
// for the addresses on the host, same field order.
struct SG_REQ {
  DWORD sr_start;
  DWORD sr_num_sec;
  DWORD sr_num_sg;
  DWORD sr_status;
  PFN_REQDONE sr_callback;
  SG_BUF sr_sglist[1];
};

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPVOID overlapped);

// ---------------------------------------------------------------------------------------------
// Device manager
// ---------------------------------------------------------------------------------------------
struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
static_assert(sizeof(GUID) == 16);
// {A4E7EDDA-E575-4252-9D6B-4195D48BB865}: the block driver interface class.
inline constexpr GUID BLOCK_DRIVER_GUID = {
    0xA4E7EDDA, 0xE575, 0x4252, {0x9D, 0x6B, 0x41, 0x95, 0xD4, 0x8B, 0xB8, 0x65}};

enum DeviceSearchType {
  DeviceSearchByLegacyName = 0,
  DeviceSearchByDeviceName = 1,
  DeviceSearchByBusName = 2,
  DeviceSearchByGuid = 3,
  DeviceSearchByParent = 4,
};

// 1584 bytes on the module (dwSize); handles are pointer-sized on the host.
struct DEVMGR_DEVICE_INFORMATION {
  DWORD dwSize;
  HANDLE hDevice;
  HANDLE hParentDevice;
  WCHAR szLegacyName[6];
  WCHAR szDeviceKey[MAX_PATH];
  WCHAR szDeviceName[MAX_PATH];
  WCHAR szBusName[MAX_PATH];
};
inline constexpr DWORD kDevmgrDeviceInformationSize = 1584;  // dwSize the module expects

struct REGINI {
  const BYTE* lpszVal;
  const BYTE* pData;
  DWORD dwLen;
  DWORD dwType;
};

HANDLE FindFirstDevice(DeviceSearchType searchType, LPCVOID searchParam,
                       DEVMGR_DEVICE_INFORMATION* deviceInformation);
BOOL FindNextDevice(HANDLE searchHandle, DEVMGR_DEVICE_INFORMATION* deviceInformation);
HANDLE ActivateDeviceEx(LPCWSTR deviceKey, const REGINI* registryEntries, DWORD entryCount,
                        LPVOID parameter);
BOOL DeactivateDevice(HANDLE device);
BOOL AdvertiseInterface(const GUID* deviceClass, LPCWSTR name, BOOL add);

// ---------------------------------------------------------------------------------------------
// Storage manager functions exported by name from "coredll.dll" (the program reaches them
// through GetProcAddressW). Their shapes, for the program to cast the resolved addresses to:
// ---------------------------------------------------------------------------------------------
using OpenStoreFn = HANDLE (*)(LPCWSTR deviceName);
using DismountStoreFn = BOOL (*)(HANDLE store);
using FormatStoreFn = BOOL (*)(HANDLE store);
using FindFirstStoreFn = HANDLE (*)(PSTOREINFO storeInfo);
using FindNextStoreFn = BOOL (*)(HANDLE search, PSTOREINFO storeInfo);
using FindCloseStoreFn = BOOL (*)(HANDLE search);
using GetStoreInfoFn = BOOL (*)(HANDLE store, PSTOREINFO storeInfo);
using CreatePartitionExFn = BOOL (*)(HANDLE store, LPCWSTR partitionName, BYTE partitionType,
                                     SECTORNUM sectorCount);
using OpenPartitionFn = HANDLE (*)(HANDLE store, LPCWSTR partitionName);
using MountPartitionFn = BOOL (*)(HANDLE partition);
using SetPartitionAttributesFn = BOOL (*)(HANDLE partition, DWORD attributes);
using FormatPartitionFn = BOOL (*)(HANDLE partition);
using FindFirstPartitionFn = HANDLE (*)(HANDLE store, PPARTINFO partitionInfo);
using FindNextPartitionFn = BOOL (*)(HANDLE search, PPARTINFO partitionInfo);
using FindClosePartitionFn = BOOL (*)(HANDLE search);

// ---------------------------------------------------------------------------------------------
// Windows CE 5 implicit system calls. On the module a call of method M of kernel API set S is a
// call to the trap address that ImplicitCallAddress(S, M) gives, with the method's own
// arguments; the program casts the address to the method's shape. API set 7 serves store and
// partition handles, set 8 storage manager searches.
// ---------------------------------------------------------------------------------------------
FARPROC ImplicitCallAddress(DWORD apiSet, DWORD method);
// Shapes of the CE 5 methods whose arguments differ from the exported functions'.
using Ce5CreatePartitionFn = BOOL (*)(HANDLE store, LPCWSTR partitionName, DWORD partitionType,
                                      DWORD sectorCountHigh, DWORD sectorCountLow, DWORD reserved);
using Ce5FormatPartitionFn = BOOL (*)(HANDLE partition, DWORD reserved, DWORD flags);
