#include "flash/nand_driver.h"

#include <algorithm>
#include <cstring>

#include "flash/bad_block_table.h"
#include "flash/flash_ops.h"
#include "flash/nand_controller.h"
#include "platform/kernel.h"

namespace {

// Smallest n >= 1 with (value >> n) <= 1: log2 of a power of two.
DWORD ShiftOf(DWORD value) {
  DWORD shift = 1;
  while ((value >> shift) > 1) {
    ++shift;
  }
  return shift;
}

int ChipClassOf(DWORD id) {
  switch (id) {
    case 0xD3EC:
      return kNandClassLarge;
    case 0xF1EC:
    case 0xDAEC:
    case 0xDCEC:
      return kNandClassSmall;
    case 0xDCAD:
      return kNandClassTwoDies;
    default:
      return 0;
  }
}

bool BeyondFlash(DWORD offset, DWORD length) { return std::uint64_t{offset} + length > FlashSize; }

// On the identity-9 processor the boot ROM looks for "HMIT" at flash offset 4. A write that
// starts at or before offset 4 and reaches beyond it carries the marker there, whatever the
// caller's buffer held; the caller's buffer is changed, so that a read-back compares equal.
// Only the marker bytes that the write covers are placed: a write starting at 1 to 3 puts the
// marker at flash offset 4 as one starting at 0 or 4 does, and a short write never has bytes
// placed past its end.
void PlaceBootMarker(BYTE* bytes, DWORD offset, DWORD length) {
  if (nandProcessorIdentity != kProcessorPxa310 || offset > kBootMarkerOffset ||
      std::uint64_t{offset} + length <= kBootMarkerOffset) {
    return;
  }
  for (DWORD i = 0; i < 4; ++i) {
    const DWORD flashOffset = kBootMarkerOffset + i;
    if (flashOffset < std::uint64_t{offset} + length) {
      bytes[flashOffset - offset] = static_cast<BYTE>(kBootMarker >> (8 * i));
    }
  }
}

// Programs one logical page; a bad block is replaced and the page programmed into the new one.
// The block copy leaves that page alone, so that it takes one program there: the data with the
// spare the page had before the failed program (the first one, should the new block fail too).
[[nodiscard]] int ProgramLogicalPage(DWORD page, const BYTE* data) {
  DWORD physical = 0;
  switch (TranslatePage(page, &physical)) {
    case PageMapping::kNoPage:
      return kNandOk;  // logical page 127 is not stored
    case PageMapping::kInvalid:
      return kStatusTableInvalid;
    default:
      break;
  }
  BYTE spare[kMaxSpareBytes];
  DWORD spareLength = 0;
  bool relocated = false;
  for (;;) {
    int status = kNandOk;
    if (!relocated) {
      status = NandProgramPage(data, nullptr, 0, physical);
    } else {
      const int spareWas = NandSetSpare(1);
      status = NandProgramPage(data, spare, spareLength, physical);
      (void)NandSetSpare(spareWas);
    }
    if (status != kNandBadBlock) {
      return status;
    }
    DWORD any = 0;
    if (RelocateBlock(page, &any, kRelocateAfterProgram) == 0 ||
        TranslatePage(page, &physical) != PageMapping::kMapped) {
      return kNandBadBlock;
    }
    if (!relocated) {
      spareLength = std::min<DWORD>(relocatedSpareLength, kMaxSpareBytes);
      std::memcpy(spare, relocatedSpare, spareLength);
      relocated = true;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The flash operations
// ---------------------------------------------------------------------------------------------
int NandErase(DWORD start, DWORD length) {
  // An empty range touches no block, wherever it starts.
  if (length == 0) {
    NandRelease();
    return 1;
  }
  const std::uint64_t blockMask = nandBlockSize - 1;
  const std::uint64_t first = start & ~blockMask;
  const std::uint64_t total = (length + (start & blockMask) + blockMask) & ~blockMask;
  if (first + total > FlashSize) {
    FlashLastError = kFlashErrorTimeout;
    return 0;
  }
  EraseProgress progress;
  progress.total = static_cast<DWORD>(total);
  int result = 1;
  for (std::uint64_t done = 0; done < total; done += nandBlockSize) {
    if (progress.BeforeBlock(static_cast<DWORD>(done)) == 0 ||
        EraseLogicalBlock(static_cast<DWORD>((first + done) >> pageShift)) == 0) {
      result = 0;
      break;
    }
  }
  NandRelease();
  return result;
}

int NandWrite(const void* buffer, DWORD offset, DWORD length) {
  if (!SharedTableValid()) {
    FlashLastError = kFlashErrorNoTable;
    return 0;
  }
  if (BeyondFlash(offset, length) || (buffer == nullptr && length != 0)) {
    FlashLastError = kFlashErrorTimeout;
    return 0;
  }
  // The marker is part of the contract with the caller (see PlaceBootMarker).
  auto* bytes = static_cast<BYTE*>(const_cast<void*>(buffer));
  PlaceBootMarker(bytes, offset, length);
  int status = kNandOk;
  DWORD done = 0;
  while (done < length) {
    const DWORD position = offset + done;
    const DWORD inPage = position & (nandPageSize - 1);
    const DWORD take = std::min(length - done, nandPageSize - inPage);
    const BYTE* source = bytes + done;
    if (take != nandPageSize) {
      // A partial page goes out as a whole page, the bytes around the piece left erased.
      std::memset(bounceBuffer, 0xFF, nandPageSize);
      std::memcpy(bounceBuffer + inPage, source, take);
      source = bounceBuffer;
    }
    status = ProgramLogicalPage(position >> pageShift, source);
    if (status != kNandOk) {
      break;
    }
    done += take;
  }
  NandRelease();
  return FinishWithStatus(status);
}

int NandReadBytes(void* buffer, DWORD offset, DWORD length) {
  if (!SharedTableValid()) {
    FlashLastError = kFlashErrorNoTable;
    return 0;
  }
  if (BeyondFlash(offset, length) || (buffer == nullptr && length != 0)) {
    FlashLastError = kFlashErrorTimeout;
    return 0;
  }
  auto* bytes = static_cast<BYTE*>(buffer);
  int status = kNandOk;
  bool corrected = false;
  DWORD done = 0;
  while (done < length) {
    const DWORD position = offset + done;
    const DWORD inPage = position & (nandPageSize - 1);
    const DWORD take = std::min(length - done, nandPageSize - inPage);
    DWORD physical = 0;
    const PageMapping mapping = TranslatePage(position >> pageShift, &physical);
    if (mapping == PageMapping::kInvalid) {
      status = kStatusTableInvalid;
      break;
    }
    if (mapping == PageMapping::kNoPage) {
      // Logical page 127 is never stored: it reads as erased flash.
      std::memset(bytes + done, 0xFF, take);
    } else {
      BYTE* target = take == nandPageSize ? bytes + done : bounceBuffer;
      status = NandReadPage(target, nullptr, 0, physical);
      if (status != kNandOk && status != kNandCorrected) {
        break;
      }
      // A correction anywhere in the range is reported, not only one in its last page.
      corrected = corrected || status == kNandCorrected;
      status = kNandOk;
      if (target == bounceBuffer) {
        std::memcpy(bytes + done, bounceBuffer + inPage, take);
      }
    }
    done += take;
  }
  NandRelease();
  if (status == kNandOk && corrected) {
    status = kNandCorrected;
  }
  return FinishWithStatus(status);
}

int NandRead(void* buffer, DWORD offset, DWORD length) {
  if (flashChipClass != kNandClassTwoDies) {
    return NandReadBytes(buffer, offset, length);
  }
  // Reads of the two-die chip run at a raised priority, restored afterwards.
  HANDLE thread = GetCurrentThread();
  const int priority = GetThreadPriority(thread);
  (void)SetThreadPriority(thread, kTwoDieReadPriority);
  const int result = NandReadBytes(buffer, offset, length);
  (void)SetThreadPriority(thread, priority);
  return result;
}

int NandWriteWord(DWORD offset, DWORD value) { return NandWrite(&value, offset, 4); }

DWORD NandReadWord(DWORD offset) {
  DWORD word = 0;
  (void)NandRead(&word, offset, 4);
  return word;
}

DWORD NandBlockSizeAt(DWORD /*offset*/) { return nandBlockSize; }

DWORD NandPageSizeOfChip() { return nandPageSize; }

int NandSetEccSlot(int enable) { return NandSetEcc(enable); }

}  // namespace

const FlashOperations kNandOperations = {
    NandErase, NandWriteWord,   NandWrite,          NandReadWord,
    NandRead,  NandBlockSizeAt, NandPageSizeOfChip, NandSetEccSlot,
};

// ---------------------------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------------------------
int NandInit() {
  if (MapBadBlockTable() == 0) {
    FlashLastError = kFlashErrorTimeout;
    return 0;
  }
  // A table that already holds "BBMT" was loaded by the OS flash driver, which then has set
  // the controller up as well.
  const bool fresh = !SharedTableValid();
  flashChipClass = 0;
  const int controller = NandControllerInit(fresh ? 1 : 0);
  if (controller != kNandOk) {
    FlashLastError =
        controller == kNandUnsupportedChip ? kFlashErrorUnsupportedChip : kFlashErrorTimeout;
    NandRelease();
    return 0;
  }
  DWORD id = 0;
  const int identified = NandReadId(&id);
  NandRelease();
  if (identified != kNandOk) {
    FlashLastError = kFlashErrorTimeout;
    return 0;
  }
  flashChipClass = ChipClassOf(id & 0xFFFF);
  if (flashChipClass == 0) {
    FlashLastError = kFlashErrorUnsupportedChip;
    NandRelease();
    return 0;
  }
  bbtPage = 63;
  // 2 % of the blocks, at the top of the chip, replace blocks that fail.
  reservedBlocks = 2 * nandBlockCount / 100;
  FlashSize = (nandBlockCount - reservedBlocks) * nandBlockSize;
  blockShift = ShiftOf(nandPagesPerBlock);
  pageShift = ShiftOf(nandPageSize);
  (void)NandSetEcc(1);
  (void)NandSetSpare(1);
  if (!fresh) {
    NandRelease();
    FlashLastError = kFlashErrorNone;
    return 1;
  }
  const int loaded = LoadBadBlockTable();
  NandRelease();
  return loaded;
}

void NandResetForTesting() {
  NandControllerResetForTesting();
  BadBlockTableResetForTesting();
}
