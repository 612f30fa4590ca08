#include "flash/bad_block_table.h"

#include <cstring>
#include <iterator>

#include "flash/flash_ops.h"
#include "flash/nand_controller.h"
#include "platform/kernel.h"

BadBlockMap* bbmt = nullptr;
BYTE bbtPageBuffer[kTablePageBytes];
BYTE bounceBuffer[2048 + 64];
DWORD bbtPage = 63;
DWORD reservedBlocks = 0;
DWORD pageShift = 0;
DWORD blockShift = 0;
int outermostRelocation = 1;
BYTE relocatedSpare[kMaxSpareBytes];
DWORD relocatedSpareLength = 0;

namespace {

constexpr WCHAR kSharedTableName[] = u"NAND_FLASH_BBMT";

HANDLE sharedTableMapping = nullptr;
// Set when the list in bbtPageBuffer changed during the running relocation.
bool tableChanged = false;

WORD EntryWord(DWORD entry, DWORD word) {
  const BYTE* bytes = bbtPageBuffer + kTableFirstEntry + 4 * entry + 2 * word;
  return static_cast<WORD>(bytes[0] | bytes[1] << 8);
}

void SetEntryWord(DWORD entry, DWORD word, WORD value) {
  BYTE* bytes = bbtPageBuffer + kTableFirstEntry + 4 * entry + 2 * word;
  bytes[0] = static_cast<BYTE>(value);
  bytes[1] = static_cast<BYTE>(value >> 8);
}

WORD TableMagic() { return static_cast<WORD>(bbtPageBuffer[0] | bbtPageBuffer[1] << 8); }

bool AllErased(const BYTE* bytes, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    if (bytes[i] != 0xFF) {
      return false;
    }
  }
  return true;
}

// Copies the old physical block of a relocated logical block into its new one, page by page
// with the spare areas. failingIndex is the page whose program failed: it is not copied, as the
// write that failed programs it next, with its data and the spare kept here (a page takes one
// program per erase with ECC on). Its spare goes to relocatedSpare.
[[nodiscard]] int CopyBlock(DWORD block, DWORD oldPhysical, DWORD failingIndex, int eccWasOn) {
  const int spareWas = NandSetSpare(1);
  const DWORD spareLength = NandSpareSize();
  BYTE page[2048 + 64];
  BYTE* const spare = page + nandPageSize;
  int result = 1;
  for (DWORD index = 0; index < nandPagesPerBlock; ++index) {
    const int read = NandReadPage(page, spare, spareLength, (oldPhysical << blockShift) + index);
    if (read == kNandTimeout) {
      result = 0;
      break;
    }
    if (index == failingIndex) {
      std::memcpy(relocatedSpare, spare, spareLength);
      relocatedSpareLength = spareLength;
      continue;
    }
    const bool uncorrectable = read == kNandUncorrectable;
    // An erased page needs no copy. A page that reads as 0xFF with a valid code was programmed
    // with 0xFF and is copied, so that it keeps reading cleanly with ECC on.
    const bool erased =
        uncorrectable ? AllErased(spare, spareLength) : AllErased(page, nandPageSize + spareLength);
    if (erased && !(eccWasOn != 0 && !uncorrectable)) {
      continue;
    }
    const int programmed = NandProgramPage(
        page, spare, spareLength, (static_cast<DWORD>(bbmt->map[block]) << blockShift) + index);
    if (programmed == kNandTimeout) {
      result = 0;
      break;
    }
    if (programmed == kNandBadBlock) {
      // The new block is bad too: replace it and start the copy again.
      DWORD any = 0;
      if (RelocateBlock(block << blockShift, &any, kRelocateAfterErase) == 0) {
        result = 0;
        break;
      }
      index = static_cast<DWORD>(-1);  // the loop's increment makes it 0
    }
  }
  (void)NandSetSpare(spareWas);
  return result;
}

// Whether block 0 holds nothing but its table page: every other page erased, data and spare.
// This is what an erase of block 0 leaves until the table page is programmed back; a table page
// without its magic there means the power failed in between.
[[nodiscard]] bool BlockZeroLeftErased() {
  const int eccWas = NandSetEcc(0);
  const int spareWas = NandSetSpare(1);
  const DWORD spareLength = NandSpareSize();
  BYTE page[2048 + 64];
  bool erased = true;
  for (DWORD index = 0; index < bbtPage && erased; ++index) {
    erased = NandReadPage(page, page + nandPageSize, spareLength, index) == kNandOk &&
             AllErased(page, nandPageSize + spareLength);
  }
  (void)NandSetSpare(spareWas);
  (void)NandSetEcc(eccWas);
  return erased;
}

// Gives block 0 the table page a new module has: the magic and an empty list. The block is
// erased first, as the page may hold part of an interrupted program. Returns the controller's
// status.
[[nodiscard]] int WriteEmptyTablePage() {
  const int erased = NandEraseBlock(0);
  if (erased != kNandOk) {
    return erased;
  }
  std::memset(bbtPageBuffer, 0xFF, sizeof(bbtPageBuffer));
  bbtPageBuffer[0] = static_cast<BYTE>(kTablePageMagic);
  bbtPageBuffer[1] = static_cast<BYTE>(kTablePageMagic >> 8);
  return WriteTablePage();
}

// The map the list in bbtPageBuffer gives: every block itself, then each entry's replacement.
// A cleared entry is skipped; so is one that names no block of this chip or replaces a block by
// block 0 (which holds the table): the map must stay inside the chip.
void MapFromTablePage(WORD* map) {
  for (DWORD block = 0; block < nandBlockCount; ++block) {
    map[block] = static_cast<WORD>(block);
  }
  const DWORD count = TableEntryCount();
  for (DWORD entry = 0; entry < count; ++entry) {
    const WORD logical = EntryWord(entry, 0);
    const WORD replacement = EntryWord(entry, 1);
    if (logical == 0 || logical >= nandBlockCount || replacement == 0 ||
        replacement >= nandBlockCount) {
      continue;
    }
    map[logical] = replacement;  // later entries override earlier ones
  }
}

// Whether the list in bbtPageBuffer gives the shared map, entry by entry as LoadBadBlockTable
// reads it. The table page is programmed over in place; a page that has taken more programs
// since its erase than the chip allows may read back with bits lost, and a copy read from it
// would make them lasting once programmed back (or once written after an erase of block 0).
// The shared map is what this program and the OS use: a copy that disagrees is not written.
[[nodiscard]] bool TablePageGivesSharedMap() {
  if (TableMagic() != kTablePageMagic) {
    return false;
  }
  static WORD expected[std::size(BadBlockMap{}.map)];
  MapFromTablePage(expected);
  for (DWORD block = 0; block < nandBlockCount; ++block) {
    if (bbmt->map[block] != expected[block]) {
      return false;
    }
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Shared table and table page
// ---------------------------------------------------------------------------------------------
int MapBadBlockTable() {
  if (bbmt != nullptr) {
    return 1;
  }
  sharedTableMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          kBadBlockMapBytes, kSharedTableName);
  if (sharedTableMapping == nullptr) {
    return 0;
  }
  LPVOID view = MapViewOfFile(sharedTableMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == nullptr) {
    (void)CloseHandle(sharedTableMapping);
    sharedTableMapping = nullptr;
    return 0;
  }
  bbmt = static_cast<BadBlockMap*>(view);
  return 1;
}

bool SharedTableValid() { return bbmt != nullptr && bbmt->magic == kBadBlockMapMagic; }

int ReadTablePage() {
  const int eccWas = NandSetEcc(0);
  const int status = NandReadPage(bbtPageBuffer, nullptr, 0, bbtPage);
  (void)NandSetEcc(eccWas);
  return status;
}

int WriteTablePage() {
  const int eccWas = NandSetEcc(0);
  const int status = NandProgramPage(bbtPageBuffer, nullptr, 0, bbtPage);
  (void)NandSetEcc(eccWas);
  return status;
}

DWORD TableEntryCount() {
  DWORD count = 0;
  while (count < kTableMaxEntries && EntryWord(count, 0) != kTableEndOfList) {
    ++count;
  }
  return count;
}

int LoadBadBlockTable() {
  const int status = ReadTablePage();
  if (status != kNandOk) {
    return FinishWithStatus(status);
  }
  if (TableMagic() != kTablePageMagic) {
    // The power failed after an erase of block 0, before its table page was back: the list
    // is lost, and without a table neither this program nor the OS could use the flash again.
    // Start over from an empty list, as the module left the factory; blocks that are bad fail
    // their next erase or program and are replaced then. Any other block 0 without a table is
    // left alone.
    if (!BlockZeroLeftErased()) {
      FlashLastError = kFlashErrorNoTable;
      return 0;
    }
    const int written = WriteEmptyTablePage();
    if (written != kNandOk) {
      return FinishWithStatus(written);
    }
  }
  MapFromTablePage(bbmt->map);
  // Valid only once the whole map is in place.
  bbmt->magic = kBadBlockMapMagic;
  FlashLastError = kFlashErrorNone;
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Translation
// ---------------------------------------------------------------------------------------------
DWORD OwningBlock(DWORD logicalPage) {
  const DWORD shifted =
      logicalPage >= bbtPage && logicalPage <= 2 * bbtPage ? logicalPage + 1 : logicalPage;
  return shifted >> blockShift;
}

PageMapping TranslatePage(DWORD logicalPage, DWORD* physicalPage) {
  // Pages 63 to 126 move one page on past the table page; 127 is left without a page.
  if (logicalPage == 2 * bbtPage + 1) {
    return PageMapping::kNoPage;
  }
  const DWORD shifted =
      logicalPage >= bbtPage && logicalPage <= 2 * bbtPage ? logicalPage + 1 : logicalPage;
  const DWORD block = shifted >> blockShift;
  if (block >= nandBlockCount || bbmt->map[block] >= nandBlockCount) {
    return PageMapping::kInvalid;
  }
  const DWORD inBlock = shifted & ((1u << blockShift) - 1);
  *physicalPage = (static_cast<DWORD>(bbmt->map[block]) << blockShift) + inBlock;
  return PageMapping::kMapped;
}

int FinishWithStatus(int status) {
  switch (status) {
    case kNandOk:
      FlashLastError = kFlashErrorNone;
      return 1;
    case kNandCorrected:
      FlashLastError = kFlashErrorCorrected;
      return 1;
    case kNandBadBlock:
      FlashLastError = kFlashErrorBadBlock;
      return 0;
    case kNandUncorrectable:
      FlashLastError = kFlashErrorUncorrectable;
      return 0;
    case kStatusTableInvalid:
      FlashLastError = kFlashErrorNoTable;
      return 0;
    default:
      FlashLastError = kFlashErrorTimeout;
      return 0;
  }
}

// ---------------------------------------------------------------------------------------------
// Erase and relocation
// ---------------------------------------------------------------------------------------------
int EraseLogicalBlock(DWORD page) {
  if (!SharedTableValid()) {
    FlashLastError = kFlashErrorNoTable;
    return 0;
  }
  const DWORD block = page >> blockShift;
  if (block >= nandBlockCount || bbmt->map[block] >= nandBlockCount) {
    return FinishWithStatus(kStatusTableInvalid);
  }
  if (block == 0) {
    // Keep the table page across the erase; without a copy of it block 0 stays as it is. A
    // copy that does not give the map in use (a page read back with bits lost) is no copy.
    const int saved = ReadTablePage();
    if (saved != kNandOk) {
      return FinishWithStatus(saved);
    }
    if (!TablePageGivesSharedMap()) {
      return FinishWithStatus(kStatusTableInvalid);
    }
  }
  int status = NandEraseBlock(static_cast<DWORD>(bbmt->map[block]) << blockShift);
  if (status == kNandBadBlock) {
    DWORD any = 0;
    if (RelocateBlock(page, &any, kRelocateAfterErase) != 0) {
      status = kNandOk;
    }
  }
  if (block == 0) {
    const int rewritten = WriteTablePage();
    if (status == kNandOk && rewritten != kNandOk) {
      status = rewritten;
    }
  }
  return FinishWithStatus(status);
}

int AllocateReplacement(DWORD block, DWORD* replacement, DWORD* entryIndex) {
  const DWORD count = TableEntryCount();
  *entryIndex = count;
  // A full list has no room for the entry: the replacement could not be recorded on flash.
  if (count >= kTableMaxEntries) {
    FlashLastError = kFlashErrorNoReplacement;
    return 0;
  }
  const bool searching = *replacement == 0;
  DWORD candidate = searching ? nandBlockCount - 1 : *replacement;
  const DWORD lowest = nandBlockCount - reservedBlocks;
  DWORD earlier = kTableMaxEntries;  // none
  for (DWORD entry = 0; entry < count && candidate >= lowest; ++entry) {
    if (EntryWord(entry, 1) == candidate) {
      if (!searching) {
        FlashLastError = kFlashErrorNoReplacement;
        return 0;
      }
      // Taken: try the next block down and look at every entry again.
      --candidate;
      entry = static_cast<DWORD>(-1);
      earlier = kTableMaxEntries;
      continue;
    }
    if (EntryWord(entry, 0) == block) {
      earlier = entry;
    }
  }
  if (candidate < lowest) {
    FlashLastError = kFlashErrorNoReplacement;
    return 0;
  }
  if (earlier != kTableMaxEntries) {
    SetEntryWord(earlier, 0, 0);  // 1 bits to 0: the page can be programmed over
    tableChanged = true;
  }
  *replacement = candidate;
  return 1;
}

int RelocateBlock(DWORD page, DWORD* replacement, int mode) {
  const DWORD block = OwningBlock(page);
  if (block == 0 || block >= nandBlockCount) {
    return 0;  // block 0 holds the table and cannot be replaced
  }
  const DWORD oldPhysical = bbmt->map[block];
  const int eccWasOn = nandEccOn;
  DWORD failingIndex = nandPagesPerBlock;  // none (an erase failure)
  if (mode == kRelocateAfterProgram) {
    std::memset(relocatedSpare, 0xFF, sizeof(relocatedSpare));
    relocatedSpareLength = 0;
    DWORD physical = 0;
    if (TranslatePage(page, &physical) == PageMapping::kMapped) {
      failingIndex = physical & (nandPagesPerBlock - 1);
    }
  }
  const bool outermost = outermostRelocation == 1;
  if (outermost) {
    if (ReadTablePage() != kNandOk || !TablePageGivesSharedMap()) {
      FlashLastError = kFlashErrorNoTable;
      return 0;
    }
    outermostRelocation = 0;
    tableChanged = false;
  }
  DWORD entry = 0;
  int result = AllocateReplacement(block, replacement, &entry);
  if (result != 0) {
    SetEntryWord(entry, 0, static_cast<WORD>(block));
    SetEntryWord(entry, 1, static_cast<WORD>(*replacement));
    tableChanged = true;
    bbmt->map[block] = static_cast<WORD>(*replacement);
    result = EraseLogicalBlock(block << blockShift);
    if (result != 0 && mode == kRelocateAfterProgram) {
      result = CopyBlock(block, oldPhysical, failingIndex, eccWasOn);
    }
  }
  if (outermost) {
    outermostRelocation = 1;
    // The shared map already follows every entry made, so the table page gets them too, even
    // when the relocation failed later on: after a reset both must give the same map.
    if (tableChanged && WriteTablePage() != kNandOk) {
      result = 0;
    }
    tableChanged = false;
  }
  return result;
}

void BadBlockTableResetForTesting() {
  bbmt = nullptr;
  sharedTableMapping = nullptr;
  std::memset(bbtPageBuffer, 0, sizeof(bbtPageBuffer));
  bbtPage = 63;
  reservedBlocks = 0;
  pageShift = 0;
  blockShift = 0;
  outermostRelocation = 1;
  tableChanged = false;
  std::memset(relocatedSpare, 0xFF, sizeof(relocatedSpare));
  relocatedSpareLength = 0;
}
