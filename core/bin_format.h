// The bin file's layout: its little-endian words and the markers and sizes of its parts.
#pragma once

#include "platform/types.h"

// The image part: a 15-byte header ("B000FF\n", start, length), then 12-byte record headers
// (address, length, byte sum) each followed by its data, up to the end record (address and
// checksum 0).
constexpr BYTE kBinSignature[7] = {'B', '0', '0', '0', 'F', 'F', '\n'};
constexpr DWORD kBinHeaderSize = 15;
constexpr DWORD kBinRecordHeaderSize = 12;

// Markers of the sections that follow the image part.
constexpr DWORD kFsSectionMagic = 0x54585348;         // "HSXT"
constexpr DWORD kForeignFsSectionMagic = 0x46465348;  // "HSFF"
constexpr DWORD kCpldSectionMagic = 0x54584358;       // "XCXT"
constexpr DWORD kFsSectionHeaderSize = 348;
constexpr DWORD kCpldSectionHeaderSize = 24;

// Reads a little-endian word from bytes.
inline DWORD LoadWord(const void* bytes) {
  const auto* b = static_cast<const BYTE*>(bytes);
  return static_cast<DWORD>(b[0]) | (static_cast<DWORD>(b[1]) << 8) |
         (static_cast<DWORD>(b[2]) << 16) | (static_cast<DWORD>(b[3]) << 24);
}
inline void StoreWord(void* bytes, DWORD value) {
  auto* b = static_cast<BYTE*>(bytes);
  b[0] = static_cast<BYTE>(value);
  b[1] = static_cast<BYTE>(value >> 8);
  b[2] = static_cast<BYTE>(value >> 16);
  b[3] = static_cast<BYTE>(value >> 24);
}
