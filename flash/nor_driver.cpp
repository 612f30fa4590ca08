#include "flash/nor_driver.h"

#include <algorithm>
#include <cstring>

#include "flash/kernel_mode.h"
#include "platform/kernel.h"

IoPointer norBase;

const FlashOperations kNorOperations = {
    NorErase, NorWriteWord, NorWrite, NorReadWord, NorRead, NorBlockSize, nullptr, NorSetEcc,
};

namespace {

// ---------------------------------------------------------------------------------------------
// Status polling
// ---------------------------------------------------------------------------------------------
// Returns the chips to read-array mode after an error: the error bits are sticky and would
// otherwise fail the next operation too.
void ClearStatusAndReadArray(DWORD offset) {
  norBase.Write32(offset, NOR_CLEAR_STATUS);
  norBase.Write32(offset, NOR_READ_ARRAY);
}

// Busy-polls the status at offset until both chips are ready or budgetMs have passed since
// startTick. True with the status word when ready.
bool PollReady(DWORD offset, DWORD startTick, DWORD budgetMs, DWORD* status) {
  for (;;) {
    const DWORD word = norBase.Read32(offset);
    if ((word & NOR_STATUS_READY) == NOR_STATUS_READY) {
      *status = word;
      return true;
    }
    if (GetTickCount() - startTick >= budgetMs) {
      return false;
    }
  }
}

// One buffered program of count words (1..kNorBufferWords) at a 4-byte aligned offset inside
// one 64-byte window. 1 on success; 0 after a time-out or a chip error, in read-array mode.
int ProgramBuffer(DWORD offset, const DWORD* words, DWORD count) {
  norBase.Write32(offset, NOR_WRITE_TO_BUFFER);
  const DWORD startTick = GetTickCount();
  DWORD status = 0;
  // Ready after the setup means the write buffer is free.
  if (!PollReady(offset, startTick, kNorBufferTimeoutMs, &status)) {
    norBase.Write32(offset, NOR_READ_ARRAY);
    return 0;
  }
  norBase.Write32(offset, (count - 1) | ((count - 1) << 16));
  for (DWORD i = 0; i < count; ++i) {
    norBase.Write32(offset + 4 * i, words[i]);
  }
  const DWORD last = offset + 4 * (count - 1);
  norBase.Write32(last, NOR_CONFIRM);
  if (!PollReady(last, startTick, kNorBufferTimeoutMs, &status)) {
    norBase.Write32(last, NOR_READ_ARRAY);
    return 0;
  }
  if ((status & NOR_STATUS_ERRORS) != 0) {
    ClearStatusAndReadArray(last);
    return 0;
  }
  return 1;
}

// Start of the erase block holding offset (blocks are aligned to their size).
DWORD BlockStart(DWORD offset) { return offset & ~(NorBlockSize(offset) - 1); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------------------------
int NorChipClass(DWORD deviceCode) {
  switch (deviceCode) {
    case 0x0017:
    case 0x0018:
    case 0x0019:
      return 1;
    case 0x8801:
    case 0x8802:
    case 0x8803:
      return 2;
    case 0x881A:
    case 0x881B:
    case 0x891C:
    case 0x8922:
      return 3;
    case 0x8820:
    case 0x8821:
      return 5;
    default:
      return 0;
  }
}

int NorInit() {
  IoPointer window = MapRegisters(0);
  if (!window) {
    return 0;
  }
  window.Write32(0, NOR_READ_IDENTIFIER);
  if (window.Read32(NOR_ID_MANUFACTURER) != NOR_MANUFACTURER) {
    window.Write32(0, NOR_READ_ARRAY);
    UnmapRegisters(window);
    return 0;
  }
  flashChipClass = NorChipClass(window.Read32(NOR_ID_DEVICE) & 0xFFFF);
  window.Write32(0, NOR_CFI_QUERY);
  // One chip holds 2^n bytes. Anything from 32 MiB per chip on is capped at what the chip
  // select decodes, before the shift could leave the range of a word.
  const DWORD exponent = window.Read32(NOR_CFI_DEVICE_SIZE) & 0xFF;
  FlashSize = exponent >= 25 ? kNorMaximumSize : 2u << exponent;
  window.Write32(0, NOR_READ_ARRAY);
  UnmapRegisters(window);

  norBase = MapPhysicalRange(0, FlashSize);
  if (!norBase) {
    return 0;
  }
  // Blocks below the parameter area (the boot loader) stay locked until they are erased.
  for (DWORD offset = 0; offset < FlashSize; offset += NorBlockSize(offset)) {
    if (offset >= kNorParameterArea) {
      (void)NorUnlockBlock(offset);
    }
  }
  norBase.Write32(0, NOR_CLEAR_STATUS);
  norBase.Write32(0, NOR_READ_ARRAY);
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Internal steps
// ---------------------------------------------------------------------------------------------
int NorUnlockBlock(DWORD offset) {
  norBase.Write32(offset, NOR_READ_IDENTIFIER);
  if ((norBase.Read32(offset + NOR_ID_LOCK_STATUS) & NOR_LOCK_STATUS_BITS) == 0) {
    norBase.Write32(offset, NOR_READ_ARRAY);
    return 1;
  }
  norBase.Write32(offset, NOR_LOCK_SETUP);
  norBase.Write32(offset, NOR_CONFIRM);
  // Chips with volatile lock bits are ready at once. Chips that keep their lock bits clear every
  // block's bit now and answer only with their status until they are done; a command written
  // meanwhile would be lost, and the lock status read back would be the status register.
  const DWORD startTick = GetTickCount();
  DWORD status = norBase.Read32(offset);
  while ((status & NOR_STATUS_READY) != NOR_STATUS_READY) {
    if (GetTickCount() - startTick >= kNorUnlockTimeoutMs) {
      norBase.Write32(offset, NOR_READ_ARRAY);
      return 0;
    }
    Sleep(kNorUnlockPollMs);
    status = norBase.Read32(offset);
  }
  if ((status & NOR_STATUS_ERRORS) != 0) {
    ClearStatusAndReadArray(offset);
    return 0;
  }
  norBase.Write32(offset, NOR_READ_IDENTIFIER);
  const DWORD lock = norBase.Read32(offset + NOR_ID_LOCK_STATUS) & NOR_LOCK_STATUS_BITS;
  norBase.Write32(offset, NOR_READ_ARRAY);
  return lock == 0 ? 1 : 0;
}

int NorIsBlank(DWORD offset, DWORD length) {
  // Read in pieces: the same bus reads as word by word, at a fraction of the calls.
  DWORD piece[256];
  for (DWORD done = 0; done + 4 <= length;) {
    const DWORD bytes = std::min<DWORD>(sizeof(piece), (length - done) & ~3u);
    norBase.ReadBlock(offset + done, piece, bytes);
    for (DWORD i = 0; i < bytes / 4; ++i) {
      if (piece[i] != 0xFFFFFFFF) {
        return 0;
      }
    }
    done += bytes;
  }
  return 1;
}

int NorEraseBlock(DWORD offset) {
  if (!NorUnlockBlock(offset)) {
    return 0;
  }
  if (NorIsBlank(offset, NorBlockSize(offset))) {
    return 1;
  }
  norBase.Write32(offset, NOR_ERASE_SETUP);
  norBase.Write32(offset, NOR_CONFIRM);
  const DWORD startTick = GetTickCount();
  DWORD status = norBase.Read32(offset);
  while ((status & NOR_STATUS_READY) != NOR_STATUS_READY) {
    if (GetTickCount() - startTick >= kNorEraseTimeoutMs) {
      norBase.Write32(offset, NOR_READ_ARRAY);
      return 0;
    }
    Sleep(kNorErasePollMs);
    status = norBase.Read32(offset);
  }
  if ((status & NOR_STATUS_ERRORS) != 0) {
    ClearStatusAndReadArray(offset);
    return 0;
  }
  norBase.Write32(offset, NOR_READ_ARRAY);
  return 1;
}

// ---------------------------------------------------------------------------------------------
// FlashOps slots
// ---------------------------------------------------------------------------------------------
int NorErase(DWORD start, DWORD length) {
  const std::uint64_t end = std::uint64_t{start} + length;
  if (end > FlashSize) {
    return 0;
  }
  // An empty range touches no block.
  if (length == 0) {
    return 1;
  }
  // Every block the range touches, from the start of the first to the end of the last.
  const DWORD first = BlockStart(start);
  const DWORD lastBlock = BlockStart(static_cast<DWORD>(end - 1));
  const std::uint64_t stop = std::uint64_t{lastBlock} + NorBlockSize(lastBlock);
  if (stop > FlashSize) {
    return 0;
  }
  EraseProgress progress;
  progress.total = static_cast<DWORD>(stop - first);
  for (DWORD offset = first; offset < stop; offset += NorBlockSize(offset)) {
    if (!progress.BeforeBlock(offset - first)) {
      return 0;
    }
    if (!NorEraseBlock(offset)) {
      return 0;
    }
  }
  return 1;
}

int NorWriteWord(DWORD offset, DWORD value) {
  if (offset >= FlashSize || (offset & 3) != 0) {
    return 0;
  }
  norBase.Write32(offset, NOR_WORD_PROGRAM);
  norBase.Write32(offset, value);
  const DWORD startTick = GetTickCount();
  DWORD status = 0;
  if (!PollReady(offset, startTick, kNorWordTimeoutMs, &status)) {
    norBase.Write32(offset, NOR_READ_ARRAY);
    return 0;
  }
  if ((status & NOR_STATUS_ERRORS) != 0) {
    ClearStatusAndReadArray(offset);
    return 0;
  }
  norBase.Write32(offset, NOR_READ_ARRAY);
  return 1;
}

int NorWrite(const void* buffer, DWORD offset, DWORD length) {
  if (offset >= FlashSize || std::uint64_t{offset} + length > FlashSize) {
    return 0;
  }
  const DWORD first = offset & ~3u;
  if (length == 0) {
    norBase.Write32(first, NOR_READ_ARRAY);
    return 1;
  }
  const auto* source = static_cast<const BYTE*>(buffer);
  const DWORD end = offset + length;      // within FlashSize
  const DWORD wordEnd = (end + 3) & ~3u;  // FlashSize is a multiple of 4
  DWORD words[kNorBufferWords];
  DWORD chunk = first;
  while (chunk < wordEnd) {
    // The first chunk ends at the next 64-byte boundary; the later ones are whole windows.
    const DWORD chunkEnd = std::min<DWORD>(wordEnd, (chunk + 4 * kNorBufferWords) & ~63u);
    const DWORD count = (chunkEnd - chunk) / 4;
    for (DWORD i = 0; i < count; ++i) {
      const DWORD at = chunk + 4 * i;
      if (at >= offset && at + 4 <= end) {
        std::memcpy(&words[i], source + (at - offset), 4);
        continue;
      }
      // A word at the edge of the range: bytes outside it are programmed as 0xFF, which leaves
      // them as they are, and nothing past the caller's buffer is read.
      BYTE bytes[4];
      for (DWORD b = 0; b < 4; ++b) {
        bytes[b] = at + b >= offset && at + b < end ? source[at + b - offset] : 0xFF;
      }
      std::memcpy(&words[i], bytes, 4);
    }
    if (!ProgramBuffer(chunk, words, count)) {
      return 0;
    }
    chunk = chunkEnd;
  }
  norBase.Write32(first, NOR_READ_ARRAY);
  return 1;
}

DWORD NorReadWord(DWORD offset) {
  if (offset >= FlashSize || (offset & 3) != 0) {
    return 0;
  }
  return norBase.Read32(offset);
}

int NorRead(void* buffer, DWORD offset, DWORD length) {
  if (offset >= FlashSize || std::uint64_t{offset} + length > FlashSize) {
    return 0;
  }
  if (length != 0) {
    norBase.ReadBlock(offset, buffer, length);
  }
  return 1;
}

DWORD NorBlockSize(DWORD offset) {
  if ((flashChipClass == 3 || flashChipClass == 5) && offset < kNorParameterArea) {
    return kNorParameterBlockSize;
  }
  return kNorMainBlockSize;
}

int NorSetEcc(int /*enable*/) { return 0; }

void NorResetForTesting() { norBase = IoPointer(); }
