// The update: writes the open bin file into the module. Erase the image range, write every
// record at its flash offset (on NAND through the page writer, the boot area gathered and
// written last), keep the config block's board data across the rewrite, restore the file
// system sections, program the CPLD.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "cpld/cpld.h"
#include "flash/flash_ops.h"
#include "flash/platform_controls.h"
#include "library/library_internal.h"
#include "storage/fs_section.h"

namespace {

constexpr DWORD kBootAreaSize = 0x40000;     // NAND offsets gathered in RAM: the boot area
constexpr DWORD kBootAreaWritten = 0x3F800;  // the last 2 KiB of the boot area stay unwritten
constexpr DWORD kEraseProgressStep = 0x80000;
constexpr DWORD kNoPage = 0xFFFFFFFF;

BYTE BootAreaCopy[kBootAreaSize];

// ---------------------------------------------------------------------------------------------
// Page writer: record data reach NAND in whole pages, each programmed once
// ---------------------------------------------------------------------------------------------
struct PageWriterState {
  BYTE* buffer = nullptr;
  DWORD bufferedPage = kNoPage;
  DWORD nextPage = kNoPage;
} PageWriter;

bool WritePage(const void* data, DWORD offset, DWORD length) {
  return FlashOps.Write(data, offset, length) != 0;
}

FwlStatus PageFlush() {
  FwlStatus status = FWL_OK;
  if (PageWriter.buffer != nullptr && PageWriter.bufferedPage != kNoPage &&
      !WritePage(PageWriter.buffer, PageWriter.bufferedPage, FlashOps.PageSize())) {
    status = FWL_ERR_WRITE_FLASH;
  }
  PageWriter.bufferedPage = kNoPage;
  PageWriter.nextPage = kNoPage;
  if (PageWriter.buffer != nullptr) {
    LocalFree(PageWriter.buffer);
    PageWriter.buffer = nullptr;
  }
  return status;
}

}  // namespace

FwlStatus PageWrite(const BYTE* data, DWORD offset, DWORD length) {
  if (FlashKind != kFlashKindNand) {
    if (length > 0 && !WritePage(data, offset, length)) {
      return FWL_ERR_WRITE_FLASH;
    }
    return FWL_OK;
  }
  if (length == 0) {
    return PageFlush();
  }
  const DWORD pageSize = FlashOps.PageSize();
  if (pageSize == 0) {
    return FWL_ERR_WRITE_FLASH;
  }
  if (PageWriter.buffer == nullptr) {
    PageWriter.buffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, pageSize));
    if (PageWriter.buffer == nullptr) {
      return FWL_ERR_NO_MEMORY;
    }
    std::memset(PageWriter.buffer, 0xFF, pageSize);
  }
  FwlStatus status = FWL_OK;
  while (length > 0) {
    const DWORD page = offset - offset % pageSize;
    const DWORD inPage = offset - page;
    if (PageWriter.bufferedPage != kNoPage && PageWriter.bufferedPage != page) {
      if (!WritePage(PageWriter.buffer, PageWriter.bufferedPage, pageSize)) {
        status = FWL_ERR_WRITE_FLASH;
      }
      std::memset(PageWriter.buffer, 0xFF, pageSize);
      PageWriter.nextPage = PageWriter.bufferedPage + pageSize;
      PageWriter.bufferedPage = kNoPage;
    }
    // Pages that the data skip are programmed with 0xFF, so that pages go out in order.
    while (PageWriter.nextPage < page) {
      if (!WritePage(PageWriter.buffer, PageWriter.nextPage, pageSize)) {
        status = FWL_ERR_WRITE_FLASH;
      }
      PageWriter.nextPage += pageSize;
    }
    DWORD placed = 0;
    if (std::uint64_t{inPage} + length < pageSize) {
      PageWriter.bufferedPage = page;
      std::memcpy(PageWriter.buffer + inPage, data, length);
      placed = length;
    } else if (PageWriter.bufferedPage != kNoPage || inPage != 0) {
      PageWriter.bufferedPage = page;
      placed = pageSize - inPage;
      std::memcpy(PageWriter.buffer + inPage, data, placed);
    } else {
      placed = length - length % pageSize;
      if (!WritePage(data, offset, placed)) {
        status = FWL_ERR_WRITE_FLASH;
      }
    }
    offset += placed;
    data += placed;
    length -= placed;
    PageWriter.nextPage = offset - offset % pageSize;
  }
  return status;
}

namespace {

struct SavedItem {
  DWORD subCode;
  BYTE bytes[8];
  DWORD size;
  bool answered;
};

// ---------------------------------------------------------------------------------------------
// The flash that the update erases: every block that the image range touches
// ---------------------------------------------------------------------------------------------
struct FlashSpan {
  std::uint64_t start;
  std::uint64_t end;
};

FlashSpan ErasedSpan() {
  const DWORD start = CurrentImageRange.start;
  const DWORD length = CurrentImageRange.length;
  if (length == 0) {
    return {start, start};
  }
  const std::uint64_t last = std::uint64_t{start} + length - 1;
  const DWORD firstBlock = FlashOps.BlockSize(start) != 0 ? FlashOps.BlockSize(start) : 1;
  const DWORD lastBlock = last <= 0xFFFFFFFF && FlashOps.BlockSize(static_cast<DWORD>(last)) != 0
                              ? FlashOps.BlockSize(static_cast<DWORD>(last))
                              : 1;
  return {start - start % firstBlock, last - last % lastBlock + lastBlock};
}

// The erased part of the NAND boot area. Its logical pages 0 to 62 lie in block 0 and pages 63
// to 126 in block 1 (page 63 of block 0 keeps the bad block table; logical page 127 is not
// stored), so an erase of the second 128 KiB also takes the bytes from 0x1F800 on.
FlashSpan BootAreaErased(const FlashSpan& erased) {
  constexpr std::uint64_t kSecondBlock = kBootAreaSize / 2;
  constexpr std::uint64_t kSecondBlockFirstByte = kSecondBlock - 0x800;
  const bool first = erased.start < kSecondBlock && erased.end > 0;
  const bool second = erased.start < kBootAreaSize && erased.end > kSecondBlock;
  const std::uint64_t start = first ? 0 : (second ? kSecondBlockFirstByte : kBootAreaSize);
  const std::uint64_t end = second ? kBootAreaSize : (first ? kSecondBlockFirstByte : start);
  return {start, end};
}

// True when [offset, offset + length) lies in flash that the update's erase cleared.
bool InErasedFlash(const FlashSpan& erased, DWORD offset, DWORD length) {
  std::uint64_t start = offset;
  const std::uint64_t end = start + length;
  if (length == 0) {
    return true;
  }
  if (FlashKind == kFlashKindNand && start < kBootAreaSize) {
    const FlashSpan boot = BootAreaErased(erased);
    if (start < boot.start || (end < kBootAreaSize ? end : kBootAreaSize) > boot.end) {
      return false;
    }
    start = kBootAreaSize;
    if (end <= start) {
      return true;
    }
  }
  return start >= erased.start && end <= erased.end;
}

// ---------------------------------------------------------------------------------------------
// Record plan: every record header is read before anything is erased
// ---------------------------------------------------------------------------------------------
// NAND pages are programmed once per erase, so record data must reach the page writer in
// ascending page order. Files whose records come in another order (a linker writes the
// image's table-of-contents pointer at image start + 0x40 after everything else) are written in
// address order; each record is still read, checksummed and reported whole. Records that lie
// outside the erased blocks, or that overlap on NAND, would program flash that is not erased:
// such a file is refused before anything changes.
struct RecordEntry {
  DWORD offset;        // flash offset of the first data byte
  DWORD length;        // data bytes
  DWORD checksum;      // record checksum
  DWORD dataPosition;  // file position of the data
};

struct RecordPlan {
  RecordEntry* entries = nullptr;  // address order; null: the file order is written as it is
  DWORD count = 0;
  DWORD endPosition = 0;  // file position after the end record
  RecordPlan() = default;
  RecordPlan(const RecordPlan&) = delete;
  RecordPlan& operator=(const RecordPlan&) = delete;
  ~RecordPlan() {
    if (entries != nullptr) {
      LocalFree(entries);
    }
  }
};

// Walks the record headers from offset 15: counts them (entries null) or fills entries.
FwlStatus WalkRecords(RecordEntry* entries, DWORD* count, DWORD* endPosition) {
  DWORD fileSize = 0;
  if (!BinFileSize(&fileSize)) {
    return FWL_ERR_BAD_FILE;
  }
  const FlashSpan erased = ErasedSpan();
  std::uint64_t position = kBinHeaderSize;
  DWORD found = 0;
  for (;;) {
    BYTE header[kBinRecordHeaderSize];
    if (position > 0xFFFFFFFF || !BinSeekTo(static_cast<DWORD>(position)) ||
        !BinRead(header, sizeof(header))) {
      return FWL_ERR_BAD_FILE;
    }
    position += sizeof(header);
    const DWORD address = LoadWord(header);
    const DWORD length = LoadWord(header + 4);
    const DWORD checksum = LoadWord(header + 8);
    if (address == 0 && checksum == 0) {
      *endPosition = static_cast<DWORD>(position);
      *count = found;
      return FWL_OK;
    }
    const DWORD offset = address + AddressOffset;
    if (std::uint64_t{offset} + length > 0xFFFFFFFF || !InErasedFlash(erased, offset, length)) {
      return FWL_ERR_BAD_FILE;
    }
    // The boot area's last 2 KiB have no page on NAND (its pages from the 64th on are stored
    // one page further, behind the bad block table's page): bytes there could not be written.
    if (FlashKind == kFlashKindNand && length > 0 && offset < kBootAreaSize &&
        std::uint64_t{offset} + length > kBootAreaWritten) {
      return FWL_ERR_BAD_FILE;
    }
    if (position + length > fileSize) {
      return FWL_ERR_BAD_FILE;
    }
    if (entries != nullptr) {
      if (found == *count) {
        return FWL_ERR_BAD_FILE;  // the file changed under the walk
      }
      entries[found] = {offset, length, checksum, static_cast<DWORD>(position)};
    }
    ++found;
    position += length;
  }
}

// The part of a record that goes through the page writer (NAND: from the boot area's end on).
FlashSpan PagedPart(const RecordEntry& entry) {
  const std::uint64_t end = std::uint64_t{entry.offset} + entry.length;
  std::uint64_t start = entry.offset;
  if (FlashKind == kFlashKindNand && start < kBootAreaSize) {
    start = end < kBootAreaSize ? end : kBootAreaSize;
  }
  return {start, end};
}

FwlStatus PlanRecords(RecordPlan* plan) {
  DWORD count = 0;
  FwlStatus status = WalkRecords(nullptr, &count, &plan->endPosition);
  if (status != FWL_OK || FlashKind != kFlashKindNand || count == 0) {
    return status;
  }
  if (count > 0xFFFFFFFF / sizeof(RecordEntry)) {
    return FWL_ERR_NO_MEMORY;
  }
  auto* entries = static_cast<RecordEntry*>(
      LocalAlloc(LMEM_FIXED, static_cast<UINT>(count * sizeof(RecordEntry))));
  if (entries == nullptr) {
    return FWL_ERR_NO_MEMORY;
  }
  plan->entries = entries;
  plan->count = count;
  status = WalkRecords(entries, &plan->count, &plan->endPosition);
  if (status != FWL_OK) {
    return status;
  }
  // In file order each record's paged part must start no lower than the page in which the
  // previous one ended (the page writer still holds that page).
  const DWORD pageSize = FlashOps.PageSize();
  if (pageSize == 0) {
    return FWL_ERR_WRITE_FLASH;
  }
  bool ascending = true;
  std::uint64_t lastPage = 0;
  for (DWORD i = 0; i < count && ascending; ++i) {
    const FlashSpan part = PagedPart(entries[i]);
    if (part.start < part.end) {
      ascending = part.start / pageSize >= lastPage;
      lastPage = (part.end - 1) / pageSize;
    }
  }
  std::stable_sort(entries, entries + count,
                   [](const RecordEntry& a, const RecordEntry& b) { return a.offset < b.offset; });
  std::uint64_t pagedEnd = 0;
  for (DWORD i = 0; i < count; ++i) {
    const FlashSpan part = PagedPart(entries[i]);
    if (part.start < part.end) {
      if (part.start < pagedEnd) {
        return FWL_ERR_BAD_FILE;  // two records for the same NAND bytes
      }
      pagedEnd = part.end;
    }
  }
  if (ascending) {
    LocalFree(plan->entries);
    plan->entries = nullptr;
  }
  return FWL_OK;
}

// ---------------------------------------------------------------------------------------------
// Writing the records
// ---------------------------------------------------------------------------------------------
// Writes the gathered boot area in one ascending pass and reads it back. Only the erased part
// of the boot area is written: the rest keeps what it holds.
FwlStatus WriteBootArea() {
  const DWORD blockSize = FlashOps.BlockSize(0);
  if (blockSize == 0) {
    return FWL_ERR_WRITE_FLASH;
  }
  const FlashSpan erased = BootAreaErased(ErasedSpan());
  const DWORD first = static_cast<DWORD>(erased.start);
  const DWORD end =
      static_cast<DWORD>(erased.end < kBootAreaWritten ? erased.end : kBootAreaWritten);
  if (first >= end) {
    return FWL_OK;
  }
  for (DWORD done = first; done < end; done += blockSize) {
    const DWORD piece = end - done < blockSize ? end - done : blockSize;
    if (!FlashOps.Write(BootAreaCopy + done, done, piece)) {
      return FWL_ERR_WRITE_FLASH;
    }
  }
  auto* readBack = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, blockSize));
  if (readBack == nullptr) {
    return FWL_ERR_NO_MEMORY;
  }
  FwlStatus status = FWL_OK;
  for (DWORD done = first; done < end && status == FWL_OK; done += blockSize) {
    const DWORD piece = end - done < blockSize ? end - done : blockSize;
    if (!FlashOps.Read(readBack, done, piece)) {
      status = FWL_ERR_READ_FLASH;
    } else if (std::memcmp(readBack, BootAreaCopy + done, piece) != 0) {
      status = FWL_ERR_VERIFY_FLASH;
    }
  }
  LocalFree(readBack);
  return status;
}

// Writes the data of one record from the current file position and tests its checksum.
FwlStatus WriteRecord(DWORD offset, DWORD remaining, DWORD checksum, bool* bootAreaUsed) {
  ChecksumSelect(CHECKSUM_BYTE_SUM);
  if (!ProgressBeginSection(offset, remaining, checksum)) {
    return FWL_ERR_ABORTED;
  }
  while (remaining > 0) {
    const DWORD chunk = remaining < WorkBufferSize ? remaining : WorkBufferSize;
    if (!BinRead(WorkBuffer, chunk)) {
      return FWL_ERR_BAD_FILE;
    }
    (void)ChecksumUpdate(WorkBuffer, chunk);
    DWORD toPages = chunk;
    const BYTE* pageData = WorkBuffer;
    DWORD pageOffset = offset;
    if (FlashKind == kFlashKindNand && offset < kBootAreaSize) {
      // Only the part below the boot area's end goes into its copy; the rest of a chunk that
      // runs past it goes through the page writer.
      const DWORD inBootArea = kBootAreaSize - offset < chunk ? kBootAreaSize - offset : chunk;
      std::memcpy(BootAreaCopy + offset, WorkBuffer, inBootArea);
      *bootAreaUsed = true;
      toPages = chunk - inBootArea;
      pageData = WorkBuffer + inBootArea;
      pageOffset = offset + inBootArea;
    }
    if (toPages > 0) {
      const FwlStatus status = PageWrite(pageData, pageOffset, toPages);
      if (status != FWL_OK) {
        return status;
      }
    }
    if (!ProgressAdd(chunk)) {
      return FWL_ERR_ABORTED;
    }
    offset += chunk;
    remaining -= chunk;
  }
  return ChecksumFinish() == checksum ? FWL_OK : FWL_ERR_CHECKSUM;
}

// Writes every record after the erase, in plan order or file order. *bootAreaUsed tells
// whether any data went to the boot area's copy.
FwlStatus WriteRecordList(const RecordPlan& plan, bool* bootAreaUsed) {
  if (plan.entries != nullptr) {
    for (DWORD i = 0; i < plan.count; ++i) {
      const RecordEntry& entry = plan.entries[i];
      if (!BinSeekTo(entry.dataPosition)) {
        return FWL_ERR_BAD_FILE;
      }
      const FwlStatus status =
          WriteRecord(entry.offset, entry.length, entry.checksum, bootAreaUsed);
      if (status != FWL_OK) {
        return status;
      }
    }
    // What follows the image part is read from directly after its end record.
    return BinSeekTo(plan.endPosition) ? FWL_OK : FWL_ERR_BAD_FILE;
  }
  if (!BinSeekTo(kBinHeaderSize)) {
    return FWL_ERR_BAD_FILE;
  }
  for (;;) {
    ChecksumSelect(CHECKSUM_BYTE_SUM);
    BYTE header[kBinRecordHeaderSize];
    if (!BinRead(header, sizeof(header))) {
      return FWL_ERR_BAD_FILE;
    }
    const DWORD address = LoadWord(header);
    const DWORD length = LoadWord(header + 4);
    const DWORD checksum = LoadWord(header + 8);
    if (address == 0 && checksum == 0) {
      return FWL_OK;
    }
    const FwlStatus status = WriteRecord(address + AddressOffset, length, checksum, bootAreaUsed);
    if (status != FWL_OK) {
      return status;
    }
  }
}

// Erases the image range and writes every record. Runs under the flash lock.
FwlStatus WriteRecords(const RecordPlan& plan) {
  if (!FlashOps.Erase(CurrentImageRange.start, CurrentImageRange.length)) {
    return FWL_ERR_ERASE_FLASH;
  }
  if (EraseProgressFn != nullptr &&
      EraseProgressFn(CurrentImageRange.length, CurrentImageRange.length) == 0) {
    return FWL_ERR_ABORTED;
  }
  bool bootAreaUsed = false;
  FwlStatus status = WriteRecordList(plan, &bootAreaUsed);
  // The boot area is erased and gathered in RAM: it is written after the last record, and also
  // when the records stop early (an abort, a bad record, a failed write), so that what was
  // taken so far is in the flash as it is everywhere else, and a bootloader whose record came
  // first still boots.
  if (bootAreaUsed) {
    const FwlStatus boot = WriteBootArea();
    if (status == FWL_OK) {
      status = boot;
    }
  }
  return status;
}

FwlStatus ProgramCpld() {
  FwlStatus status = FWL_ERR_NO_CPLD;
  if (CpldOpen() == 0) {
    status = FWL_OK;
    DWORD position = 0;
    BYTE header[kCpldSectionHeaderSize];
    DWORD dataSize = 0;
    DWORD checksum = 0;
    DWORD headerSize = 0;
    if (!BinPosition(&position) || !BinRead(header, sizeof(header)) ||
        LoadWord(header) != kCpldSectionMagic || LoadWord(header + 4) != 1) {
      status = FWL_ERR_BAD_FILE;
    } else {
      headerSize = LoadWord(header + 8);
      dataSize = LoadWord(header + 12);
      checksum = LoadWord(header + 20);
      if (headerSize < kCpldSectionHeaderSize || headerSize > WorkBufferSize ||
          dataSize > WorkBufferSize) {
        status = FWL_ERR_BAD_FILE;
      } else if (headerSize != kCpldSectionHeaderSize) {
        if (!BinSeekTo(position) || !BinRead(WorkBuffer, headerSize)) {
          status = FWL_ERR_BAD_FILE;
        } else {
          checksum = LoadWord(WorkBuffer + headerSize - 4);
        }
      }
    }
    if (status == FWL_OK) {
      ChecksumSelect(CHECKSUM_FLETCHER32);
      if (!BinRead(WorkBuffer, dataSize)) {
        status = FWL_ERR_BAD_FILE;
      } else {
        (void)ChecksumUpdate(WorkBuffer, dataSize);
        if (ChecksumFinish() != checksum) {
          status = FWL_ERR_BAD_FILE;
        }
      }
    }
    const DWORD sectionBytes = headerSize + dataSize;
    if (status == FWL_OK && (!ProgressBeginSection(0, sectionBytes, 0) || !ProgressAdd(0))) {
      status = FWL_ERR_ABORTED;
    }
    if (status == FWL_OK && CpldProgram(WorkBuffer, dataSize) != 0) {
      status = FWL_ERR_CPLD_UPDATE;
    }
    if (status == FWL_OK && !ProgressAdd(sectionBytes)) {
      status = FWL_ERR_ABORTED;
    }
  }
  (void)CpldClose();
  return status;
}

}  // namespace

FwlStatus FWLDoUpdate(ProgressCallback eraseProgress, SectionBeginCallback sectionBegin,
                      DataProgressCallback dataProgress) {
  const OperationTimer timer;
  FwlStatus status = AllocWorkBuffer();
  if (status != FWL_OK) {
    return status;
  }
  // The work buffer is freed on every path from here on.
  struct FreeOnReturn {
    ~FreeOnReturn() { FreeWorkBuffer(); }
  } freeOnReturn;
  if (LibraryInitialized == 0) {
    return FWL_ERR_NOT_INITIALIZED;
  }
  DataProgressFn = dataProgress;
  SectionBeginFn = sectionBegin;
  ValidateProgressFn = nullptr;
  BackupBeginFn = nullptr;
  (void)ProgressBeginOperation(nullptr);
  if (BinFileHandle == INVALID_HANDLE_VALUE) {
    return FWL_ERR_OPEN_FILE;
  }
  EraseProgressFn = eraseProgress;
  FlashSetProgressHook(eraseProgress, kEraseProgressStep);
  std::memset(BootAreaCopy, 0xFF, sizeof(BootAreaCopy));
  DWORD covered = 0;
  RecordPlan plan;
  if ((BinContents & BIN_CONTENTS_IMAGE) != 0) {
    covered = REGION_ALL_TYPES;
    (void)FWLGetRegionsInRange(&covered, CurrentImageRange.start, CurrentImageRange.length);
    // A file that cannot be written as it stands is refused while nothing has changed yet.
    status = PlanRecords(&plan);
    if (status != FWL_OK) {
      return status;
    }
  }
  const bool configTouched = (covered & REGION_CONFIG_BLOCK) != 0;
  if ((BinContents & BIN_CONTENTS_FILE_SYSTEM) != 0 || (covered & REGION_FILE_SYSTEM) != 0) {
    status = UnloadFlashDriver();
    if (status != FWL_OK) {
      return status;
    }
  }
  if ((BinContents & BIN_CONTENTS_IMAGE) != 0) {
    SavedItem items[] = {{kPlatformItemBoardData, {}, 8, false},
                         {kPlatformItemHardwareVersion, {}, 8, false},
                         {kPlatformItemBoardExtra, {}, 4, false}};
    if (configTouched) {
      for (SavedItem& item : items) {
        item.answered = QueryPlatform(item.subCode, item.bytes, item.size) != 0;
      }
    }
    {
      FlashLockGuard lock;
      status = lock.Locked() ? WriteRecords(plan) : FWL_ERR_WRITE_FLASH;
      const FwlStatus flush = PageWrite(nullptr, 0, 0);
      if (status == FWL_OK && flush != FWL_OK) {
        status = FWL_ERR_WRITE_FLASH;
      }
    }
    if (configTouched) {
      for (SavedItem& item : items) {
        if (item.answered) {
          (void)StorePlatform(item.subCode, item.bytes, item.size);
        }
      }
    }
    if (status != FWL_OK) {
      return status;
    }
  }
  if ((BinContents & BIN_CONTENTS_FILE_SYSTEM) != 0) {
    status = RestoreFileSystem();
    if (status != FWL_OK) {
      return status;
    }
  }
  if ((BinContents & BIN_CONTENTS_CPLD) != 0) {
    return ProgramCpld();
  }
  return FWL_OK;
}

DWORD LastOperationTime = 0;

DWORD FWLGetOperationTime() { return LastOperationTime; }
