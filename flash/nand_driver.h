// The NAND flash driver: the flat byte space of the flash operations over a NAND chip.
//
// Logical blocks are translated to physical ones through the bad block table (see
// bad_block_table.h); blocks that fail during an erase or a program are replaced from the
// reserve, transparently for the caller. FlashSize is the chip less its reserve. NandInit and
// kNandOperations are declared in flash_ops.h; the operations keep the contracts given there
// and leave a code in FlashLastError (bad_block_table.h lists them).
#pragma once

#include "flash/kernel_mode.h"
#include "platform/types.h"

// The PXA310's boot ROM wants the marker "HMIT" at flash offset 4 of the boot image.
constexpr DWORD kBootMarkerOffset = 4;
constexpr DWORD kBootMarker = 0x54494D48;  // the bytes "HMIT"

// Flash chip classes (flashChipClass) of the NAND chips.
constexpr int kNandClassSmall = 1;    // 0xF1EC, 0xDAEC, 0xDCEC
constexpr int kNandClassLarge = 2;    // 0xD3EC
constexpr int kNandClassTwoDies = 3;  // 0xDCAD, two chip selects

// The thread priority a read of a two-die chip runs at.
constexpr int kTwoDieReadPriority = 1;  // THREAD_PRIORITY_HIGHEST

// Forgets the controller, the table mapping and every setting, as a new process would start.
void NandResetForTesting();
