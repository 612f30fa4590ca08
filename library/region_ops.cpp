// Region erase and backup to a bin file that the update can write back.
#include "flash/flash_ops.h"
#include "library/library_internal.h"
#include "storage/fs_section.h"

namespace {

constexpr DWORD kMinimumEraseStep = 0x20000;
constexpr DWORD kEndRecordLength = 0xBCA01000;  // what backups store in the end record
constexpr int kUncorrectableError = 4;

bool AllErased(const BYTE* bytes, DWORD length) {
  for (DWORD i = 0; i < length; ++i) {
    if (bytes[i] != 0xFF) {
      return false;
    }
  }
  return true;
}

// Reads a chunk page by page with error correction on. A page that fails as uncorrectable is
// read again raw and taken only when it is erased (erased pages carry no valid code, so the
// registry's unused half reads this way); any other content there is a real data error and the
// read fails. Error correction is on when called and on when it returns.
bool ReadPagesOfErasedOrGoodData(BYTE* buffer, DWORD offset, DWORD length) {
  const DWORD pageSize = FlashOps.PageSize();
  if (pageSize == 0) {
    return false;
  }
  for (DWORD done = 0; done < length;) {
    const DWORD inPage = (offset + done) % pageSize;
    const DWORD piece = length - done < pageSize - inPage ? length - done : pageSize - inPage;
    if (!FlashOps.Read(buffer + done, offset + done, piece)) {
      if (FlashLastError != kUncorrectableError) {
        return false;
      }
      (void)FlashOps.SetEcc(0);
      const bool raw = FlashOps.Read(buffer + done, offset + done, piece) != 0;
      (void)FlashOps.SetEcc(1);
      if (!raw || !AllErased(buffer + done, piece)) {
        return false;
      }
    }
    done += piece;
  }
  return true;
}

// Copies one region into a record at the file's end: start, count, byte sum, data.
FwlStatus WriteRegionRecord(DWORD start, DWORD count) {
  if (count == 0) {
    return FWL_OK;
  }
  ChecksumSelect(CHECKSUM_BYTE_SUM);
  if (!BinWriteWord(start) || !BinWriteWord(count)) {
    return FWL_ERR_WRITE_FILE;
  }
  (void)FlushFileBuffers(BinFileHandle);
  DWORD checksumPosition = 0;
  if (!BinFileSize(&checksumPosition) || !BinWriteWord(0)) {
    return FWL_ERR_WRITE_FILE;
  }
  FlashLockGuard lock;
  if (!lock.Locked()) {
    return FWL_ERR_READ_FLASH;
  }
  // NAND is read with error correction on throughout: corrected bit errors come back
  // corrected, and only erased pages are taken from a raw read.
  int previousEcc = 0;
  const bool nand = FlashKind == kFlashKindNand;
  if (nand) {
    previousEcc = FlashOps.SetEcc(1);
  }
  FwlStatus status = FWL_OK;
  for (DWORD done = 0; done < count && status == FWL_OK;) {
    const DWORD chunk = count - done < WorkBufferSize ? count - done : WorkBufferSize;
    if (!FlashOps.Read(WorkBuffer, start + done, chunk) &&
        !(nand && FlashLastError == kUncorrectableError &&
          ReadPagesOfErasedOrGoodData(WorkBuffer, start + done, chunk))) {
      status = FWL_ERR_READ_FLASH;
    } else {
      (void)ChecksumUpdate(WorkBuffer, chunk);
      if (!BinWrite(WorkBuffer, chunk)) {
        status = FWL_ERR_WRITE_FILE;
      } else if (!ProgressAdd(chunk)) {
        status = FWL_ERR_ABORTED;
      }
    }
    done += chunk;
  }
  if (status == FWL_OK) {
    if (!BinSeekTo(checksumPosition) || !BinWriteWord(ChecksumFinish()) || !BinSeekEnd()) {
      status = FWL_ERR_WRITE_FILE;
    }
  }
  if (nand) {
    (void)FlashOps.SetEcc(previousEcc);
  }
  return status;
}

FwlStatus Backup(DWORD kinds) {
  if (kinds == 0) {
    return FWL_ERR_NO_REGION;
  }
  FlashRegion selection{kinds, 0, 0, 0};
  FlashRegion list[kRegionCount + 1] = {};
  FwlStatus status = FWLGetRegions(&selection, list);
  if (status != FWL_OK) {
    return status;
  }
  if ((selection.flags & REGION_ALL_TYPES) != (kinds & REGION_ALL_TYPES)) {
    return FWL_ERR_INVALID_REGION;
  }
  const ImageInfo info{selection.flags, selection.start, selection.length, selection.used};
  if (!ProgressBeginOperation(&info)) {
    return FWL_ERR_ABORTED;
  }
  const bool fileSystem = (kinds & REGION_FILE_SYSTEM) != 0;
  if (fileSystem) {
    if ((kinds & REGION_ALL_TYPES) == REGION_FILE_SYSTEM) {
      return BackupFileSystem(FS_SECTION_SECTORS);
    }
    // Narrow the header's range so that it does not cover the file system region.
    int index = 0;
    while (list[index].flags != 0 && list[index].flags != REGION_FILE_SYSTEM) {
      ++index;
    }
    if (list[index + 1].flags == 0) {
      selection.length -= list[index].length;
    } else if (index == 0) {
      const DWORD end = selection.start + selection.length;
      selection.start = list[1].start;
      selection.length = end - selection.start;
    }
  }
  if (!BinWrite(kBinSignature, sizeof(kBinSignature)) || !BinWriteWord(selection.start) ||
      !BinWriteWord(selection.length)) {
    return FWL_ERR_WRITE_FILE;
  }
  for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
    const FlashRegion& region = RegionTable[i];
    const DWORD kind = region.flags & REGION_ALL_TYPES;
    if ((kind & kinds) == 0 || kind == REGION_FILE_SYSTEM) {
      continue;
    }
    if (!ProgressBeginSection(region.start, region.used, 0)) {
      return FWL_ERR_ABORTED;
    }
    const DWORD count = kind == REGION_REGISTRY ? region.length : region.used;
    status = WriteRegionRecord(region.start, count);
    if (status != FWL_OK) {
      return status;
    }
  }
  if (!BinWriteWord(0) || !BinWriteWord(kEndRecordLength) || !BinWriteWord(0)) {
    return FWL_ERR_WRITE_FILE;
  }
  return fileSystem ? BackupFileSystem(FS_SECTION_SECTORS) : FWL_OK;
}

}  // namespace

FwlStatus FWLEraseRegions(DWORD kinds, ProgressCallback progress) {
  const OperationTimer timer;
  if (LibraryInitialized == 0) {
    return FWL_ERR_NOT_INITIALIZED;
  }
  FlashRegion selection{kinds, 0, 0, 0};
  FlashRegion list[kRegionCount + 1] = {};
  FwlStatus status = FWLGetRegions(&selection, list);
  if (status != FWL_OK) {
    return status;
  }
  // As before an update: the OS driver lets go of the file system's store first, or the OS
  // writes its mounted volume back over the erased flash.
  if ((selection.flags & REGION_FILE_SYSTEM) != 0 && (status = UnloadFlashDriver()) != FWL_OK) {
    return status;
  }
  FlashLockGuard lock;
  for (int i = 0; list[i].flags != 0; ++i) {
    const DWORD step =
        list[i].length / 32 > kMinimumEraseStep ? list[i].length / 32 : kMinimumEraseStep;
    FlashSetProgressHook(progress, step);
    if (!lock.Locked() || !FlashOps.Erase(list[i].start, list[i].length)) {
      return FWL_ERR_ERASE_FLASH;
    }
  }
  return FWL_OK;
}

FwlStatus FWLBackupToFile(const WCHAR* path, DWORD kinds, BackupBeginCallback begin,
                          SectionBeginCallback section, DataProgressCallback progress) {
  const OperationTimer timer;
  if (LibraryInitialized == 0) {
    return FWL_ERR_NOT_INITIALIZED;
  }
  DataProgressFn = progress;
  SectionBeginFn = section;
  BackupBeginFn = begin;
  ValidateProgressFn = nullptr;
  (void)FWLCloseBinFile();
  // Read access too: the section writer re-reads what it wrote to checksum it.
  BinFileHandle =
      CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (BinFileHandle == INVALID_HANDLE_VALUE) {
    return FWL_ERR_OPEN_FILE;
  }
  FwlStatus status = AllocWorkBuffer();
  if (status == FWL_OK) {
    status = Backup(kinds);
  }
  (void)FWLCloseBinFile();
  FreeWorkBuffer();
  return status;
}
