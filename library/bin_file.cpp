// Bin files: the Windows CE ".bin" record format, optionally followed by a file system section
// and a CPLD section. FWLSetBinFile opens one, walks (and verifies) all of it, works out where
// its image goes and reports what it holds; the file stays open for the update.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/platform_controls.h"
#include "library/library_internal.h"
#include "storage/fs_section.h"

DWORD BinContents = 0;
AddressRange CurrentImageRange = {0, 0};
DWORD AddressOffset = 0;

namespace {

constexpr DWORD kChunkHeaderSize = 12;
constexpr DWORD kDefaultOsOffset = 0x80000;
constexpr DWORD kFlashLayoutItemSize = 24;

// The AddressOffset for an image linked at start; false when the start is not accepted.
bool OffsetForStart(DWORD start, DWORD* offset) {
  if (start < 0x4C000000) {
    *offset = 0;  // flash offsets already (backups)
    return true;
  }
  if ((start >= 0x80000000 && start < 0x9CA00000) || (start >= 0xA0000000 && start < 0xBCA00000)) {
    // The OS image region's flash offset comes from the platform's flash layout item; a
    // platform that does not answer has it at the usual place.
    BYTE layout[kFlashLayoutItemSize] = {};
    const DWORD osOffset = QueryPlatform(kPlatformItemFlashLayout, layout, sizeof(layout)) >= 4
                               ? LoadWord(layout)
                               : kDefaultOsOffset;
    *offset = osOffset - start;
    return true;
  }
  if (start >= 0xBCA00000 && start < 0xBFFFFFFF) {
    *offset = 0u - start;  // placed at flash offset 0
    return true;
  }
  return false;
}

class BinFileWalk {
 public:
  BinFileWalk(ProgressCallback progress, bool verify) : verify_(verify) {
    ValidateProgressFn = progress;
  }

  FwlStatus Run(const WCHAR* path, ImageInfo* info);

 private:
  [[nodiscard]] bool Report(DWORD done, DWORD total) {
    return ValidateProgressFn == nullptr || ValidateProgressFn(done, total) != 0;
  }
  FwlStatus WalkImage();
  // One file system section at the position; *found false when none starts there.
  FwlStatus WalkFileSystemSection(bool* found);
  // Adds a flash range that the file writes to what it reports.
  void MergeRange(DWORD start, DWORD length);
  FwlStatus WalkCpldSection();
  // Reads length bytes in work-buffer pieces into the running checksum, reporting each.
  FwlStatus ChecksumData(DWORD length, DWORD total);

  bool verify_;
  DWORD size_ = 0;
  DWORD position_ = 0;
  ImageInfo result_{0, 0xFFFFFFFF, 0, 0};
};

FwlStatus BinFileWalk::ChecksumData(DWORD length, DWORD total) {
  while (length > 0) {
    const DWORD piece = length < WorkBufferSize ? length : WorkBufferSize;
    if (!BinRead(WorkBuffer, piece)) {
      return FWL_ERR_BAD_FILE;
    }
    (void)ChecksumUpdate(WorkBuffer, piece);
    position_ += piece;
    length -= piece;
    if (!Report(position_, total)) {
      return FWL_ERR_ABORTED;
    }
  }
  return FWL_OK;
}

FwlStatus BinFileWalk::WalkImage() {
  BYTE header[kBinHeaderSize];
  DWORD got = 0;
  if (!BinReadSome(header, kBinHeaderSize, &got)) {
    return FWL_ERR_BAD_FILE;
  }
  if (got < kBinHeaderSize || std::memcmp(header, kBinSignature, sizeof(kBinSignature)) != 0) {
    return BinSeekTo(0) ? FWL_OK : FWL_ERR_BAD_FILE;  // no image part
  }
  position_ = kBinHeaderSize;
  if (!Report(position_, size_)) {
    return FWL_ERR_ABORTED;
  }
  const DWORD imageStart = LoadWord(header + 7);
  const DWORD imageLength = LoadWord(header + 11);
  DWORD offset = 0;
  if (!OffsetForStart(imageStart, &offset)) {
    return FWL_ERR_BAD_FILE;
  }
  const DWORD flashStart = imageStart + offset;
  // The update erases the whole range: one that runs past the flash would fail at the erase,
  // after the file system driver was unloaded.
  if (ULONGLONG{flashStart} + imageLength > FlashSize) {
    return FWL_ERR_BAD_FILE;
  }
  for (;;) {
    BYTE record[kBinRecordHeaderSize];
    if (!BinRead(record, kBinRecordHeaderSize)) {
      return FWL_ERR_BAD_FILE;
    }
    position_ += kBinRecordHeaderSize;
    const DWORD address = LoadWord(record);
    const DWORD length = LoadWord(record + 4);
    const DWORD checksum = LoadWord(record + 8);
    if (address == 0 && checksum == 0) {
      if (!Report(position_, size_)) {
        return FWL_ERR_ABORTED;
      }
      break;
    }
    // A record must lie inside the header's image range, and its flash range inside the
    // flash: the update erases only that range, and the user confirmed only that.
    const ULONGLONG inImage = ULONGLONG{address} - imageStart;
    if (address < imageStart || inImage + length > imageLength ||
        ULONGLONG{flashStart} + inImage + length > FlashSize) {
      return FWL_ERR_BAD_FILE;
    }
    if (length > size_ - position_) {
      return FWL_ERR_BAD_FILE;  // shorter than announced
    }
    result_.dataBytes += length;
    if (verify_) {
      ChecksumSelect(CHECKSUM_BYTE_SUM);
      const FwlStatus status = ChecksumData(length, size_);
      if (status != FWL_OK) {
        return status;
      }
      if (ChecksumFinish() != checksum) {
        return FWL_ERR_CHECKSUM;
      }
    } else {
      position_ += length;
      if (!BinSeekTo(position_)) {
        return FWL_ERR_BAD_FILE;
      }
      if (!Report(position_, size_)) {
        return FWL_ERR_ABORTED;
      }
    }
  }
  AddressOffset = offset;
  BinContents |= BIN_CONTENTS_IMAGE;
  CurrentImageRange = {flashStart, imageLength};
  result_.types = REGION_OS_IMAGE;
  MergeRange(flashStart, imageLength);
  return FWL_OK;
}

void BinFileWalk::MergeRange(DWORD start, DWORD length) {
  if (result_.start == 0xFFFFFFFF && result_.length == 0) {
    result_.start = start;
    result_.length = length;
    return;
  }
  // The union of the two ranges: a section below what was reported so far moves the start down
  // and keeps the end where it was.
  const std::uint64_t end =
      std::max(std::uint64_t{result_.start} + result_.length, std::uint64_t{start} + length);
  result_.start = std::min(result_.start, start);
  result_.length = static_cast<DWORD>(end - result_.start);
}

FwlStatus BinFileWalk::WalkFileSystemSection(bool* found) {
  *found = false;
  // The fixed part of the header is looked at in a buffer of its own: the work buffer may be
  // smaller than it when the heap is short.
  BYTE fixed[kFsSectionHeaderSize];
  DWORD got = 0;
  if (!BinReadSome(fixed, kFsSectionHeaderSize, &got)) {
    return FWL_ERR_BAD_FILE;
  }
  if (got < kFsSectionHeaderSize ||
      (LoadWord(fixed) != kFsSectionMagic && LoadWord(fixed) != kForeignFsSectionMagic)) {
    return BinSeekTo(position_) ? FWL_OK : FWL_ERR_BAD_FILE;
  }
  *found = true;
  if (LoadWord(fixed) == kForeignFsSectionMagic || LoadWord(fixed + 4) != 1) {
    return FWL_ERR_FILE_VERSION;
  }
  const DWORD headerSize = LoadWord(fixed + 8);
  const BYTE* header = fixed;
  if (headerSize != kFsSectionHeaderSize) {
    // A header shorter than the fixed fields is no header of this format; a longer one is read
    // whole into the work buffer and must fit there.
    if (headerSize < kFsSectionHeaderSize || headerSize > WorkBufferSize) {
      return FWL_ERR_BAD_FILE;
    }
    if (!BinSeekTo(position_) || !BinRead(WorkBuffer, headerSize)) {
      return FWL_ERR_BAD_FILE;
    }
    header = WorkBuffer;
  }
  position_ += headerSize;
  if (!Report(position_, size_)) {
    return FWL_ERR_ABORTED;
  }
  if (verify_) {
    ChecksumSelect(CHECKSUM_FLETCHER32);
    (void)ChecksumUpdate(header, headerSize - 4);
    if (ChecksumFinish() != LoadWord(header + headerSize - 4)) {
      return FWL_ERR_CHECKSUM;
    }
  }
  // Only the kinds that the restore knows: another would be refused by the restore after the
  // file system driver was unloaded and the store formatted.
  const DWORD kind = LoadWord(header + 12);
  if (kind != FS_SECTION_FILES && kind != FS_SECTION_SECTORS) {
    return FWL_ERR_FILE_VERSION;
  }
  DWORD sectionStart = LoadWord(header + 16);
  DWORD sectionLength = LoadWord(header + 20);
  const DWORD dataLength = LoadWord(header + 24);
  const FlashRegion& fileSystem = RegionTable[FileSystemRegionIndex];
  if (sectionStart == 0xFFFFFFFF) {
    sectionStart = fileSystem.start;
  }
  if (sectionLength == 0 || sectionLength == 0xFFFFFFFF) {
    sectionLength = fileSystem.length;
  }
  // The restore formats a store over this range: it must lie in the flash.
  if (std::uint64_t{sectionStart} + sectionLength > FlashSize) {
    return FWL_ERR_BAD_FILE;
  }
  MergeRange(sectionStart, sectionLength);
  result_.dataBytes += dataLength;
  if (dataLength > size_ - position_) {
    return FWL_ERR_BAD_FILE;
  }
  // The chunks must fill the payload exactly: a chunk that runs past it would make the restore
  // consume whatever follows the section.
  DWORD remaining = dataLength;
  while (remaining > 0) {
    BYTE chunk[kChunkHeaderSize];
    if (remaining < kChunkHeaderSize || !BinRead(chunk, kChunkHeaderSize)) {
      return FWL_ERR_BAD_FILE;
    }
    position_ += kChunkHeaderSize;
    remaining -= kChunkHeaderSize;
    const DWORD byteCount = LoadWord(chunk + 4);
    if (byteCount > remaining) {
      return FWL_ERR_BAD_FILE;
    }
    remaining -= byteCount;
    if (verify_) {
      ChecksumSelect(CHECKSUM_FLETCHER32);
      const FwlStatus status = ChecksumData(byteCount, size_);
      if (status != FWL_OK) {
        return status;
      }
      if (ChecksumFinish() != LoadWord(chunk + 8)) {
        return FWL_ERR_CHECKSUM;
      }
    } else {
      position_ += byteCount;
      if (!BinSeekTo(position_)) {
        return FWL_ERR_BAD_FILE;
      }
    }
  }
  if (!verify_ && !Report(position_, size_)) {
    return FWL_ERR_ABORTED;
  }
  BinContents |= BIN_CONTENTS_FILE_SYSTEM;
  result_.types |= REGION_FILE_SYSTEM;
  return FWL_OK;
}

FwlStatus BinFileWalk::WalkCpldSection() {
  BYTE header[kCpldSectionHeaderSize];
  DWORD got = 0;
  if (!BinReadSome(header, kCpldSectionHeaderSize, &got)) {
    return FWL_ERR_BAD_FILE;
  }
  if (got < kCpldSectionHeaderSize || LoadWord(header) != kCpldSectionMagic) {
    return BinSeekTo(position_) ? FWL_OK : FWL_ERR_BAD_FILE;
  }
  if (LoadWord(header + 4) != 1) {
    return FWL_ERR_FILE_VERSION;
  }
  const DWORD headerSize = LoadWord(header + 8);
  const DWORD dataSize = LoadWord(header + 12);
  DWORD checksum = LoadWord(header + 20);
  if (headerSize != kCpldSectionHeaderSize) {
    // As with the file system header: at least the fixed fields, and no more than the buffer
    // that a longer header is read into.
    if (headerSize < kCpldSectionHeaderSize || headerSize > WorkBufferSize) {
      return FWL_ERR_BAD_FILE;
    }
    if (!BinSeekTo(position_) || !BinRead(WorkBuffer, headerSize)) {
      return FWL_ERR_BAD_FILE;
    }
    checksum = LoadWord(WorkBuffer + headerSize - 4);
  }
  position_ += headerSize;
  if (!Report(position_, 0)) {
    return FWL_ERR_ABORTED;
  }
  if (!verify_ && dataSize > size_ - position_) {
    return FWL_ERR_BAD_FILE;  // the stream the update would play is cut short
  }
  if (verify_) {
    if (dataSize > WorkBufferSize) {
      return FWL_ERR_NO_MEMORY;
    }
    if (!BinRead(WorkBuffer, dataSize)) {
      return FWL_ERR_BAD_FILE;
    }
    position_ += dataSize;
    if (!Report(position_, 0)) {
      return FWL_ERR_ABORTED;
    }
    ChecksumSelect(CHECKSUM_FLETCHER32);
    (void)ChecksumUpdate(WorkBuffer, dataSize);
    if (ChecksumFinish() != checksum) {
      return FWL_ERR_CHECKSUM;
    }
  }
  if (GetProcessorIdentity() != kProcessorPxa27x) {
    BinContents |= BIN_CONTENTS_CPLD;
    result_.types |= REGION_CPLD_FIRMWARE;
  }
  return FWL_OK;
}

FwlStatus BinFileWalk::Run(const WCHAR* path, ImageInfo* info) {
  BinFileHandle = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (BinFileHandle == INVALID_HANDLE_VALUE) {
    return FWL_ERR_OPEN_FILE;
  }
  if (!BinFileSize(&size_)) {
    return FWL_ERR_BAD_FILE;  // bin files are below 4 GiB
  }
  if (!Report(0, size_)) {
    return FWL_ERR_ABORTED;
  }
  // The section headers are read into the work buffer whether or not the data are verified.
  FwlStatus status = AllocWorkBuffer();
  if (status != FWL_OK) {
    return status;
  }
  if ((status = WalkImage()) != FWL_OK) {
    return status;
  }
  // Every file system section is checked, as the restore writes every one; the CPLD section
  // comes after the last of them.
  for (bool found = true; found && position_ < size_;) {
    if ((status = WalkFileSystemSection(&found)) != FWL_OK) {
      return status;
    }
  }
  if (position_ < size_ && (status = WalkCpldSection()) != FWL_OK) {
    return status;
  }
  if (!BinSeekTo(0)) {
    return FWL_ERR_BAD_FILE;
  }
  if (info != nullptr) {
    *info = result_;
  }
  return FWL_OK;
}

}  // namespace

FwlStatus FWLSetBinFile(const WCHAR* path, ImageInfo* info, ProgressCallback validateProgress,
                        int verify) {
  if (LibraryInitialized == 0) {
    return FWL_ERR_NOT_INITIALIZED;
  }
  (void)FWLCloseBinFile();
  SectionBeginFn = nullptr;
  DataProgressFn = nullptr;
  BackupBeginFn = nullptr;
  BinContents = 0;
  BinFileWalk walk(validateProgress, verify != 0);
  const FwlStatus status = walk.Run(path, info);
  if (status != FWL_OK) {
    (void)FWLCloseBinFile();
    FreeWorkBuffer();
  }
  return status;
}

FwlStatus FWLCloseBinFile() {
  if (BinFileHandle != INVALID_HANDLE_VALUE) {
    (void)CloseHandle(BinFileHandle);
    BinFileHandle = INVALID_HANDLE_VALUE;
  }
  return FWL_OK;
}
