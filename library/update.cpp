// The update: writes the open bin file into the module. Erase the image range, write every
// record at its flash offset (on NAND through the page writer, the boot area gathered and
// written last), keep the config block's board data across the rewrite, restore the file
// system sections, program the CPLD.
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
    if (inPage + length < pageSize) {
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

// Writes the gathered boot area in one ascending pass and reads it back.
FwlStatus WriteBootArea() {
  const DWORD blockSize = FlashOps.BlockSize(0);
  if (blockSize == 0) {
    return FWL_ERR_WRITE_FLASH;
  }
  for (DWORD done = 0; done < kBootAreaWritten; done += blockSize) {
    const DWORD piece = kBootAreaWritten - done < blockSize ? kBootAreaWritten - done : blockSize;
    if (!FlashOps.Write(BootAreaCopy + done, done, piece)) {
      return FWL_ERR_WRITE_FLASH;
    }
  }
  auto* readBack = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, blockSize));
  if (readBack == nullptr) {
    return FWL_ERR_NO_MEMORY;
  }
  FwlStatus status = FWL_OK;
  for (DWORD done = 0; done < kBootAreaWritten && status == FWL_OK; done += blockSize) {
    const DWORD piece = kBootAreaWritten - done < blockSize ? kBootAreaWritten - done : blockSize;
    if (!FlashOps.Read(readBack, done, piece)) {
      status = FWL_ERR_READ_FLASH;
    } else if (std::memcmp(readBack, BootAreaCopy + done, piece) != 0) {
      status = FWL_ERR_VERIFY_FLASH;
    }
  }
  LocalFree(readBack);
  return status;
}

bool ReadExact(void* buffer, DWORD length) {
  DWORD got = 0;
  return ReadFile(BinFileHandle, buffer, length, &got, nullptr) && got == length;
}

// Erases the image range and writes every record. Runs under the flash lock.
FwlStatus WriteRecords() {
  if (!FlashOps.Erase(CurrentImageRange.start, CurrentImageRange.length)) {
    return FWL_ERR_ERASE_FLASH;
  }
  if (EraseProgressFn != nullptr &&
      EraseProgressFn(CurrentImageRange.length, CurrentImageRange.length) == 0) {
    return FWL_ERR_ABORTED;
  }
  LONG high = 0;
  if (SetFilePointer(BinFileHandle, 15, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
    return FWL_ERR_BAD_FILE;
  }
  bool bootAreaUsed = false;
  for (;;) {
    ChecksumSelect(CHECKSUM_BYTE_SUM);
    BYTE header[12];
    if (!ReadExact(header, sizeof(header))) {
      return FWL_ERR_BAD_FILE;
    }
    const DWORD address = LoadWord(header);
    DWORD remaining = LoadWord(header + 4);
    const DWORD checksum = LoadWord(header + 8);
    if (address == 0 && checksum == 0) {
      return bootAreaUsed ? WriteBootArea() : FWL_OK;
    }
    DWORD offset = address + AddressOffset;
    if (!ProgressBeginSection(offset, remaining, checksum)) {
      return FWL_ERR_ABORTED;
    }
    while (remaining > 0) {
      const DWORD chunk = remaining < WorkBufferSize ? remaining : WorkBufferSize;
      if (!ReadExact(WorkBuffer, chunk)) {
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
        bootAreaUsed = true;
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
    if (ChecksumFinish() != checksum) {
      return FWL_ERR_CHECKSUM;
    }
  }
}

FwlStatus ProgramCpld() {
  FwlStatus status = FWL_ERR_NO_CPLD;
  if (CpldOpen() == 0) {
    status = FWL_OK;
    const DWORD position = SetFilePointer(BinFileHandle, 0, nullptr, FILE_CURRENT);
    BYTE header[kCpldSectionHeaderSize];
    DWORD dataSize = 0;
    DWORD checksum = 0;
    DWORD headerSize = 0;
    if (position == INVALID_SET_FILE_POINTER || !ReadExact(header, sizeof(header)) ||
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
        LONG high = 0;
        if (SetFilePointer(BinFileHandle, static_cast<LONG>(position), &high, FILE_BEGIN) ==
                INVALID_SET_FILE_POINTER ||
            !ReadExact(WorkBuffer, headerSize)) {
          status = FWL_ERR_BAD_FILE;
        } else {
          checksum = LoadWord(WorkBuffer + headerSize - 4);
        }
      }
    }
    if (status == FWL_OK) {
      ChecksumSelect(CHECKSUM_FLETCHER32);
      if (!ReadExact(WorkBuffer, dataSize)) {
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
  if ((BinContents & BIN_CONTENTS_IMAGE) != 0) {
    covered = REGION_ALL_TYPES;
    (void)FWLGetRegionsInRange(&covered, CurrentImageRange.start, CurrentImageRange.length);
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
      status = lock.Locked() ? WriteRecords() : FWL_ERR_WRITE_FLASH;
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
