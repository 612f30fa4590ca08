// Version records of the bootloader in flash and of the running image; the Windows CE ROM
// image header, which also gives the length of an image stored in flash.
#pragma once

#include "platform/types.h"

struct VersionInfo {
  DWORD id;  // 1: an image for this module family
  DWORD major;
  DWORD minorAndBuild;  // bits 0-15 minor, bits 16-31 beta build (0: release)
};
static_assert(sizeof(VersionInfo) == 12);

// The standard Windows CE ROM header (84 bytes); physfirst and physlast are words 3 and 4.
struct ROMHDR {
  DWORD dllfirst;
  DWORD dlllast;
  DWORD physfirst;
  DWORD physlast;
  DWORD nummods;
  DWORD ulRAMStart;
  DWORD ulRAMFree;
  DWORD ulRAMEnd;
  DWORD ulCopyEntries;
  DWORD ulCopyOffset;
  DWORD ulProfileLen;
  DWORD ulProfileOffset;
  DWORD numfiles;
  DWORD ulKernelFlags;
  DWORD ulFSRamPercent;
  DWORD ulDrivglobStart;
  DWORD ulDrivglobLen;
  WORD usCPUType;
  WORD usMiscFlags;
  DWORD pExtensions;
  DWORD ulTrackingStart;
  DWORD ulTrackingLen;
};
static_assert(sizeof(ROMHDR) == 84);

constexpr size_t kDateTextUnits = 128;

// 1 and the record's ID, major and minor words when a version record lies below 0x40000.
[[nodiscard]] int FindBootloaderVersionRecord(VersionInfo* version);
// Searches 128 KiB of flash from 0x8000 for an 8-bit text. Returns the position right after the
// first match inside *copy (a LocalAlloc buffer the caller frees; copyEnd marks its end), or
// null (and *copy null) when not found. A page that cannot be read holds no match.
const BYTE* FindFlashText(const char* pattern, BYTE** copy, const BYTE** copyEnd);
// 1 when a Windows CE ROM image starts at imageOffset; fills header and, if asked, the flash
// offset of the header.
[[nodiscard]] int CheckRomHeader(DWORD imageOffset, ROMHDR* header, DWORD* headerOffset);
// Bytes of the image stored at imageOffset, 0 when none is recognised.
[[nodiscard]] DWORD StoredImageLength(DWORD imageOffset);
// 1 to 12 for "Jan" to "Dec", else 0.
[[nodiscard]] int MonthFromName(const char* name);
// Fill a zeroed VersionInfo and a date text of kDateTextUnits units.
void ReadBootloaderVersion(VersionInfo* version, WCHAR* dateText);
void ReadImageVersion(VersionInfo* version, WCHAR* dateText);
