// The NAND bad block table: logical blocks to physical blocks.
//
// The translation lives in the named shared memory "NAND_FLASH_BBMT", shared with the OS flash
// driver so that both use the same map; the list of replacements it is built from lives on
// flash in physical page 63 (the last page of block 0). Blocks that fail an erase or a program
// are replaced from a reserve at the top of the chip; each replacement changes the shared map
// at once and the table page at the end of the outermost relocation. The table page is only
// ever programmed over (every change clears bits), never erased, except that an erase of
// block 0 saves and rewrites it.
//
// Boot-area layout: logical pages 63 to 126 are stored one page further on, so that page 63
// keeps the table; logical page 127 has no page. Each of those pages belongs to the block that
// physically holds it (logical page 63 to block 1), so it moves and is erased with that block.
//
// Everything here runs under "OnModuleFlash" and leaves the controller running; the flash
// operations release it.
#pragma once

#include "platform/types.h"

// The shared translation table: "BBMT" once valid, then the physical block of each logical one.
struct BadBlockMap {
  DWORD magic;
  WORD map[8192];
};
static_assert(sizeof(BadBlockMap) == 16388);
constexpr DWORD kBadBlockMapMagic = 0x544D4242;  // the bytes "BBMT"
constexpr DWORD kBadBlockMapBytes = sizeof(BadBlockMap);

// The table page: magic, two bytes not interpreted, then entries of two 16-bit words
// {logical block replaced, replacement}; a logical 0 marks a cleared entry, 0xFFFF ends the list.
constexpr WORD kTablePageMagic = 0x524E;
constexpr DWORD kTablePageBytes = 2048;
constexpr DWORD kTableFirstEntry = 4;
constexpr DWORD kTableMaxEntries = (kTablePageBytes - kTableFirstEntry) / 4;  // 511
constexpr WORD kTableEndOfList = 0xFFFF;

// FlashLastError codes of the NAND driver.
constexpr int kFlashErrorNone = 0;
constexpr int kFlashErrorTimeout = 1;          // controller time-out or any other failure
constexpr int kFlashErrorBadBlock = 2;         // a block failed and no replacement was made
constexpr int kFlashErrorCorrected = 3;        // success after a corrected bit error
constexpr int kFlashErrorUncorrectable = 4;    // a page read had an uncorrectable error
constexpr int kFlashErrorUnsupportedChip = 5;  // identification matched no chip
constexpr int kFlashErrorNoTable = 7;          // no table on flash, or the shared one not valid
constexpr int kFlashErrorNoReplacement = 8;    // reserve used up or replacement list full

// A status of the table layer beyond the controller's: the shared map names no block of the
// chip. Maps to kFlashErrorNoTable.
constexpr int kStatusTableInvalid = 0x100;

// Largest spare area of a page transfer (without ECC).
constexpr DWORD kMaxSpareBytes = 64;

// The relocation modes.
constexpr int kRelocateAfterErase = 1;
constexpr int kRelocateAfterProgram = 2;

// ---------------------------------------------------------------------------------------------
// State (process-wide)
// ---------------------------------------------------------------------------------------------
extern BadBlockMap* bbmt;                    // the mapped shared table; null until mapped
extern BYTE bbtPageBuffer[kTablePageBytes];  // RAM copy of the table page
extern BYTE bounceBuffer[2048 + 64];         // one page and its spare, for partial pages
extern DWORD bbtPage;                        // 63
extern DWORD reservedBlocks;                 // (2 x block count) / 100
extern DWORD pageShift;                      // log2 of the page size
extern DWORD blockShift;                     // log2 of the pages per block
extern int outermostRelocation;              // 1 while no relocation runs
// The spare of the page whose program failed, as the last relocation after a program failure
// read it from the old block (NandSpareSize() bytes then). The failed write programs it again,
// with its data, into the new block.
extern BYTE relocatedSpare[kMaxSpareBytes];
extern DWORD relocatedSpareLength;

// ---------------------------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------------------------
// Maps "NAND_FLASH_BBMT" once per process. 1 when mapped, 0 when it cannot be.
[[nodiscard]] int MapBadBlockTable();
// True when the shared table is mapped and holds "BBMT".
[[nodiscard]] bool SharedTableValid();
// Fills the shared table from the table page. A page without its magic in a block 0 that is
// otherwise erased (the power failed between block 0's erase and the table page's program) is
// written anew with an empty list first. 1 on success; 0 with FlashLastError 7 when the page
// has no magic in any other block 0, or the code of a failed read, erase or program.
[[nodiscard]] int LoadBadBlockTable();
// Read or program physical page 63 from or into bbtPageBuffer with ECC off and no spare.
// Return the controller's status.
[[nodiscard]] int ReadTablePage();
[[nodiscard]] int WriteTablePage();
// Erases the logical block holding logical page (the first page of a block), replacing the
// block when the chip reports it bad; block 0 keeps its table page. 1 on success, else 0 with
// FlashLastError set.
[[nodiscard]] int EraseLogicalBlock(DWORD page);
// Replaces the logical block that holds logical page: takes a block from the reserve (any when
// *replacement is 0, else only that one), records it, erases it and, after a program failure
// (mode kRelocateAfterProgram), copies the old block's pages into it except the page that
// failed, whose spare it leaves in relocatedSpare. 1 on success, else 0.
[[nodiscard]] int RelocateBlock(DWORD page, DWORD* replacement, int mode);
// Picks the replacement for block and the list index of its entry; clears the block's earlier
// entry. 1 on success; 0 with FlashLastError 8 when the reserve or the list is used up.
[[nodiscard]] int AllocateReplacement(DWORD block, DWORD* replacement, DWORD* entryIndex);
// Entries in the table page's list (bounded by the page).
[[nodiscard]] DWORD TableEntryCount();

enum class PageMapping { kMapped, kNoPage, kInvalid };
// Logical page to physical page with the boot-area layout. kNoPage for logical page 127;
// kInvalid when the shared map names no block of the chip.
[[nodiscard]] PageMapping TranslatePage(DWORD logicalPage, DWORD* physicalPage);
// The logical block whose physical block holds logical page.
[[nodiscard]] DWORD OwningBlock(DWORD logicalPage);
// Sets FlashLastError from a status of the controller or the table layer; returns the
// operation's result: 1 for kNandOk and kNandCorrected, else 0.
int FinishWithStatus(int status);

// Forgets the mapping and every setting, as a new process would start.
void BadBlockTableResetForTesting();
