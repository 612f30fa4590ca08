// The OS's persistent registry in the flash registry region.
//
// The region holds two equal halves. Each half that holds a copy starts with the marker
// 0x01234567 and the length L of what follows (the words the program's region scan reads);
// the L bytes are the registry as REGEDIT4 text with its length in front and a CRC-32 behind:
//
//   offset  size  field
//   0       4     marker 0x01234567
//   4       4     L, bytes from offset 8 on
//   8       4     text bytes T
//   12      T     the registry, REGEDIT4 (UTF-8)
//   12+T    0..3  zero bytes up to a whole word
//   8+L-4   4     CRC-32 (IEEE) of bytes 8 to 8+L-4
//
// A save writes the new copy into the second half first and then into the first, each half
// erased before it is written, so that a cut at any point leaves one whole copy: the newer one,
// or, when the cut came before the second half was whole, the one saved before. A start loads the
// first half's copy when it is whole, else the second half's, else none (the image's registry).
// The first half holds the latest copy whenever a save has ended, so that a backup of the used
// bytes of the region (from its start) carries the registry that was saved.
#pragma once

#include <cstdint>
#include <string>

#include "sim/module/machine.h"

namespace sim {

struct RegistryArea {
  std::uint32_t start = 0x1400000;
  std::uint32_t half = 0x40000;
};
// The flash registry region of a module: platform item 5, words 1 and 2 (start and half length).
RegistryArea RegistryAreaOf(const Json& config);

// The stored registry's text from the attached module's flash (under "OnModuleFlash"). False
// when neither half holds a whole copy; *where says which half was read ("first half", "second
// half") or why none was.
bool ReadStoredRegistry(std::string* text, std::string* where);
// Stores text as the persistent registry. False with the reason when the flash refuses or the
// text does not fit a half.
bool WriteStoredRegistry(const std::string& text, std::string* error);
// Erases both halves: the module holds no persistent registry.
bool EraseStoredRegistry(std::string* error);
// The copy's bytes as a half holds them (marker, length, text, CRC): what WriteStoredRegistry
// programs.
std::string StoredRegistryBytes(const std::string& text);

}  // namespace sim
