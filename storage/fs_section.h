// The file system section of a bin file: a fixed header with the flash driver's geometry and
// the store's description, then a payload of checksummed chunks. Kind 2 carries partitions,
// directories and files; kind 3 carries the store's sectors that hold data.
//
// Records travel little-endian, field by field (Encode/Decode), never as struct bytes.
#pragma once

#include "core/fwl_types.h"
#include "platform/kernel.h"
#include "platform/storage.h"
#include "platform/types.h"

constexpr DWORD FS_SECTION_FILES = 2;
constexpr DWORD FS_SECTION_SECTORS = 3;
constexpr DWORD kFsHeaderBytes = 348;
constexpr DWORD kFsChunkHeaderBytes = 12;
constexpr DWORD kStoreInfoBytes = 240;
constexpr DWORD kPartInfoBytes = 296;
constexpr DWORD kFindDataBytes = 560;
constexpr DWORD kFsFolderUnits = 32;
constexpr DWORD kFsFlagFormatTfat = 0x1;

struct FsSectionHeader {
  DWORD magic;
  DWORD version;
  DWORD headerSize;
  DWORD kind;
  DWORD memBase;
  DWORD memLen;
  DWORD dataLength;
  DWORD sectorSize;
  DWORD blockSize;
  DWORD flags;
  WCHAR folder[kFsFolderUnits];
  STOREINFO storeInfo;
  DWORD headerChecksum;
};

struct FsChunkHeader {
  DWORD first;
  DWORD byteCount;
  DWORD checksum;
};

void EncodeFsSectionHeader(const FsSectionHeader& header, BYTE* out);  // 348 bytes
void DecodeFsSectionHeader(const BYTE* in, FsSectionHeader* header);
void EncodeFsChunkHeader(const FsChunkHeader& chunk, BYTE* out);  // 12 bytes
void DecodeFsChunkHeader(const BYTE* in, FsChunkHeader* chunk);
void EncodeStoreInfo(const STOREINFO& info, BYTE* out);  // 240 bytes
void DecodeStoreInfo(const BYTE* in, STOREINFO* info);
void EncodePartInfo(const PARTINFO& info, BYTE* out);  // 296 bytes
void DecodePartInfo(const BYTE* in, PARTINFO* info);
void EncodeFindData(const WIN32_FIND_DATAW& data, BYTE* out);  // 560 bytes
void DecodeFindData(const BYTE* in, WIN32_FIND_DATAW* data);

// File system backup and restore (the section's writer and reader).
// Appends one section of kind 2 or 3 to the open bin file at its current position.
[[nodiscard]] FwlStatus BackupFileSystem(DWORD kind);
// Restores every section that starts at the bin file's current position.
[[nodiscard]] FwlStatus RestoreFileSystem();

// Flash file system driver control.
[[nodiscard]] FwlStatus UnloadFlashDriver();
[[nodiscard]] FwlStatus ConfigureFlashDriverKey(const FsSectionHeader& header);
[[nodiscard]] FwlStatus WaitForUnloadDelay();
[[nodiscard]] FwlStatus LoadFlashDriver();
[[nodiscard]] FwlStatus FormatInternalStore(HANDLE* store);
FwlStatus CleanFlashDriverKey();
// Tick count at the end of the last UnloadFlashDriver.
extern DWORD DriverUnloadTime;
