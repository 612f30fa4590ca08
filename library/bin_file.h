// What FWLSetBinFile found in the open bin file (core/bin_io.h holds the file itself): the
// parts it holds, where its image goes and how record addresses become flash offsets.
#pragma once

#include "platform/types.h"

constexpr DWORD BIN_CONTENTS_IMAGE = 2;
constexpr DWORD BIN_CONTENTS_FILE_SYSTEM = 4;
constexpr DWORD BIN_CONTENTS_CPLD = 8;

struct AddressRange {
  DWORD start;
  DWORD length;
};

// BIN_CONTENTS_* bits of the open file.
extern DWORD BinContents;
// Flash range of the image part (set only when it has one).
extern AddressRange CurrentImageRange;
// Added to every record address to give its flash offset (set only with an image part).
extern DWORD AddressOffset;
