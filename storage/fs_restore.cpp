// The file system section reader: rebuilds the flash file system from the sections of the open
// bin file through the program's own driver instance and a freshly formatted store.
#include <string>

#include "core/bin_io.h"
#include "core/callbacks.h"
#include "core/region_state.h"
#include "core/work_buffer.h"
#include "storage/fs_section.h"
#include "storage/store_binding.h"
#include "storage/store_sectors.h"

namespace {

constexpr DWORD kPhasePreparing = 1;

DWORD SectionStartOf(const FsSectionHeader& header) {
  return header.memBase != 0xFFFFFFFF ? header.memBase : RegionTable[FileSystemRegionIndex].start;
}

// True when path lies inside volume: it begins with the volume's name, continues with a
// backslash or ends there, is terminated within its record, and has no "." or ".." component.
// A path that fails this is not written anywhere.
bool PathInsideVolume(const WCHAR* path, const WCHAR* volume, bool* belongs) {
  const size_t volumeLength = WideLength(volume);
  *belongs = volumeLength > 0 && WideLengthBounded(path, MAX_PATH) >= volumeLength &&
             std::char_traits<char16_t>::compare(path, volume, volumeLength) == 0;
  if (!*belongs) {
    return false;
  }
  const size_t length = WideLengthBounded(path, MAX_PATH);
  if (length >= MAX_PATH) {
    return false;  // not terminated within its 260 code units
  }
  if (path[volumeLength] != 0 && path[volumeLength] != u'\\') {
    return false;  // a sibling whose name only begins like the volume's
  }
  size_t start = volumeLength;
  while (start < length) {
    ++start;  // past the backslash
    size_t end = start;
    while (end < length && path[end] != u'\\') {
      ++end;
    }
    const size_t part = end - start;
    if (part == 0 || (part == 1 && path[start] == u'.') ||
        (part == 2 && path[start] == u'.' && path[start + 1] == u'.')) {
      return false;
    }
    start = end;
  }
  return true;
}

class SectionReader {
 public:
  SectionReader(HANDLE store, const FsSectionHeader& header, DWORD sectionEnd)
      : store_(store), header_(header), sectionEnd_(sectionEnd) {}
  FwlStatus Partitions();
  FwlStatus Sectors();

 private:
  FwlStatus VolumeFiles(const WCHAR* volume, const WCHAR* mountFolder);
  FwlStatus RestoreFile(const WIN32_FIND_DATAW& entry);
  // Bytes of the section left from the current position.
  [[nodiscard]] DWORD Left() const {
    DWORD position = 0;
    return BinPosition(&position) && position < sectionEnd_ ? sectionEnd_ - position : 0;
  }

  HANDLE store_;
  const FsSectionHeader& header_;
  DWORD sectionEnd_;
};

FwlStatus SectionReader::RestoreFile(const WIN32_FIND_DATAW& entry) {
  DWORD remaining = entry.nFileSizeLow;
  if (remaining > Left()) {
    return FWL_ERR_BAD_FILE;  // content that would run past the end of the section
  }
  HANDLE file = CreateFileW(entry.cFileName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            entry.dwFileAttributes, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return FWL_ERR_FILE_SYSTEM;
  }
  FwlStatus status = FWL_OK;
  while (remaining > 0) {
    const DWORD piece = remaining < WorkBufferSize ? remaining : WorkBufferSize;
    DWORD written = 0;
    if (!BinRead(WorkBuffer, piece) || !WriteFile(file, WorkBuffer, piece, &written, nullptr) ||
        written != piece) {
      status = FWL_ERR_FILE_SYSTEM;
      break;
    }
    remaining -= piece;
    if (!ProgressAdd(piece)) {
      status = FWL_ERR_ABORTED;
      break;
    }
  }
  if (status == FWL_OK &&
      !SetFileTime(file, &entry.ftCreationTime, &entry.ftLastAccessTime, &entry.ftLastWriteTime)) {
    status = FWL_ERR_FILE_SYSTEM;
  }
  (void)CloseHandle(file);
  // Creating and writing a file marks it for archiving: once its content and times are in, the
  // record's attributes are put back exactly.
  if (status == FWL_OK && !SetFileAttributesW(entry.cFileName, entry.dwFileAttributes)) {
    status = FWL_ERR_FILE_SYSTEM;
  }
  return status;
}

// The folder at which the store's partition of that name is mounted now (empty when it is not).
bool MountFolderOf(HANDLE store, const WCHAR* partitionName, WCHAR* folder, size_t units) {
  folder[0] = 0;
  PARTINFO info{};
  info.cbSize = sizeof(PARTINFO);
  HANDLE search = FindFirstPartition(store, &info);
  if (search == INVALID_HANDLE_VALUE) {
    return false;
  }
  bool found = false;
  do {
    info.szPartitionName[31] = 0;
    info.szVolumeName[63] = 0;
    if (WideCompare(info.szPartitionName, partitionName) == 0) {
      found = WideCopy(folder, units, info.szVolumeName) && folder[0] != 0;
      break;
    }
    info.cbSize = sizeof(PARTINFO);
  } while (FindNextPartition(search, &info));
  (void)FindClosePartition(search);
  return found;
}

// Entries are written below mountFolder, where the partition just restored is mounted: a
// record's path is its volume's name (as the backup saw it mounted) followed by the path inside
// the volume, and only that inside part is taken from the file.
FwlStatus SectionReader::VolumeFiles(const WCHAR* volume, const WCHAR* mountFolder) {
  for (;;) {
    BYTE record[kFindDataBytes];
    DWORD got = 0;
    // A record never reaches beyond the section: what follows it is not this volume's.
    const DWORD want = Left() < kFindDataBytes ? Left() : kFindDataBytes;
    if (want == 0) {
      return FWL_OK;
    }
    if (!BinReadSome(record, want, &got)) {
      return FWL_ERR_BAD_FILE;
    }
    if (got == 0) {
      return FWL_OK;
    }
    WIN32_FIND_DATAW entry{};
    bool belongs = false;
    bool inside = false;
    if (got == kFindDataBytes) {
      DecodeFindData(record, &entry);
      inside = PathInsideVolume(entry.cFileName, volume, &belongs);
    }
    if (!belongs) {
      // The next partition's record, or no entry record at all: give the bytes back.
      return BinSeekBy(-static_cast<LONG>(got)) ? FWL_OK : FWL_ERR_BAD_FILE;
    }
    if (!inside) {
      return FWL_ERR_BAD_FILE;
    }
    const WCHAR* rest = entry.cFileName + WideLength(volume);
    WCHAR target[MAX_PATH];
    if (WideLength(mountFolder) + WideLength(rest) >= MAX_PATH ||
        FormatText(target, u"%s%s", mountFolder, rest) < 0) {
      return FWL_ERR_BAD_FILE;  // a path that does not fit below the mount folder
    }
    (void)WideCopy(entry.cFileName, MAX_PATH, target);
    if (!ProgressAdd(got)) {
      return FWL_ERR_ABORTED;
    }
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if (!CreateDirectoryW(entry.cFileName, nullptr)) {
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
          continue;  // the volume's own folder: its attributes stay as they are
        }
        return FWL_ERR_FILE_SYSTEM;
      }
      if (!SetFileAttributesW(entry.cFileName, entry.dwFileAttributes)) {
        return FWL_ERR_FILE_SYSTEM;
      }
      continue;
    }
    const FwlStatus status = RestoreFile(entry);
    if (status != FWL_OK) {
      return status;
    }
  }
}

FwlStatus SectionReader::Partitions() {
  const DWORD count = header_.storeInfo.dwPartitionCount;
  BYTE chunk[kFsChunkHeaderBytes];
  if (!BinRead(chunk, sizeof(chunk))) {
    return FWL_ERR_BAD_FILE;
  }
  for (DWORD i = 0; i < count; ++i) {
    BYTE record[kPartInfoBytes];
    if (Left() < kPartInfoBytes || !BinRead(record, sizeof(record))) {
      return FWL_ERR_BAD_FILE;
    }
    PARTINFO info{};
    DecodePartInfo(record, &info);
    info.szPartitionName[31] = 0;
    info.szVolumeName[63] = 0;
    ULONGLONG sectors = info.snNumSectors;
    if (sectors == ~ULONGLONG{0}) {
      STOREINFO storeInfo{};
      storeInfo.cbSize = sizeof(STOREINFO);
      if (!GetStoreInfo(store_, &storeInfo)) {
        return FWL_ERR_FORMAT_STORE;
      }
      sectors = storeInfo.snBiggestPartCreatable;
    }
    if (!CreatePartitionEx(store_, info.szPartitionName, info.bPartType, sectors)) {
      return FWL_ERR_FORMAT_STORE;
    }
    HANDLE partition = OpenPartition(store_, info.szPartitionName);
    if (partition == INVALID_HANDLE_VALUE) {
      return FWL_ERR_FORMAT_STORE;
    }
    const bool ready = FormatPartition(partition) && MountPartition(partition) &&
                       SetPartitionAttributes(partition, info.dwAttributes);
    (void)CloseHandle(partition);
    WCHAR mountFolder[64];
    if (!ready || !MountFolderOf(store_, info.szPartitionName, mountFolder, 64)) {
      return FWL_ERR_FORMAT_STORE;
    }
    const DWORD used = info.cbSize;
    if (!ProgressBeginSection(SectionStartOf(header_), used, 0)) {
      return FWL_ERR_ABORTED;
    }
    DWORD before = 0;
    if (!BinPosition(&before)) {
      return FWL_ERR_BAD_FILE;
    }
    const FwlStatus status = VolumeFiles(info.szVolumeName, mountFolder);
    if (status != FWL_OK) {
      return status;
    }
    DWORD after = 0;
    if (!BinPosition(&after)) {
      return FWL_ERR_BAD_FILE;
    }
    const DWORD consumed = after - before;
    if (used > consumed && !ProgressAdd(used - consumed)) {
      return FWL_ERR_ABORTED;
    }
  }
  return FWL_OK;
}

FwlStatus SectionReader::Sectors() {
  DWORD remaining = header_.dataLength;
  const DWORD bytesPerSector = header_.storeInfo.dwBytesPerSector;
  if (bytesPerSector == 0 || WorkBufferSize < bytesPerSector) {
    return FWL_ERR_NO_MEMORY;
  }
  const DWORD perLoad = WorkBufferSize / bytesPerSector;
  if (!ProgressBeginSection(SectionStartOf(header_), header_.dataLength, 0)) {
    return FWL_ERR_ABORTED;
  }
  while (remaining > 0) {
    BYTE bytes[kFsChunkHeaderBytes];
    if (remaining < kFsChunkHeaderBytes || !BinRead(bytes, sizeof(bytes))) {
      return FWL_ERR_BAD_FILE;
    }
    remaining -= kFsChunkHeaderBytes;
    FsChunkHeader chunk{};
    DecodeFsChunkHeader(bytes, &chunk);
    if (chunk.byteCount > remaining) {
      return FWL_ERR_BAD_FILE;  // a run that reaches past the section
    }
    DWORD sector = chunk.first;
    DWORD sectors = chunk.byteCount / bytesPerSector;
    while (sectors > 0) {
      const DWORD n = sectors < perLoad ? sectors : perLoad;
      const DWORD bytesToRead = n * bytesPerSector;
      if (!BinRead(WorkBuffer, bytesToRead)) {
        return FWL_ERR_BAD_FILE;
      }
      remaining -= bytesToRead;
      const FwlStatus status = WriteStoreSectors(store_, sector, n, WorkBuffer, bytesToRead);
      if (status != FWL_OK) {
        return status;
      }
      sector += n;
      sectors -= n;
      if (!ProgressAdd(bytesToRead)) {
        return FWL_ERR_ABORTED;
      }
    }
    // Bytes of a run that make no whole sector are not sector data; step over them.
    const DWORD tail = chunk.byteCount % bytesPerSector;
    if (tail != 0) {
      if (!BinSeekBy(static_cast<LONG>(tail))) {
        return FWL_ERR_BAD_FILE;
      }
      remaining -= tail;
    }
  }
  return FWL_OK;
}

}  // namespace

FwlStatus RestoreFileSystem() {
  HANDLE store = INVALID_HANDLE_VALUE;
  bool seen = false;
  FwlStatus result = FWL_OK;
  BYTE bytes[kFsHeaderBytes];
  DWORD got = 0;
  if (!BinReadSome(bytes, kFsHeaderBytes, &got) || got < kFsHeaderBytes) {
    result = FWL_ERR_BAD_FILE;
  }
  while (result == FWL_OK) {
    const DWORD magic = LoadWord(bytes);
    if (magic == kForeignFsSectionMagic) {
      result = FWL_ERR_FILE_VERSION;
      break;
    }
    if (magic != kFsSectionMagic) {
      if (!seen) {
        result = FWL_ERR_BAD_FILE;
      } else if (!BinSeekBy(-static_cast<LONG>(kFsHeaderBytes))) {
        result = FWL_ERR_BAD_FILE;
      }
      break;
    }
    FsSectionHeader header{};
    DecodeFsSectionHeader(bytes, &header);
    if (header.version != 1) {
      result = FWL_ERR_FILE_VERSION;
      break;
    }
    if (header.headerSize < kFsHeaderBytes) {
      result = FWL_ERR_BAD_FILE;
      break;
    }
    if (header.headerSize != kFsHeaderBytes &&
        !BinSeekBy(static_cast<LONG>(header.headerSize - kFsHeaderBytes))) {
      result = FWL_ERR_BAD_FILE;
      break;
    }
    DWORD payloadStart = 0;
    if (!BinPosition(&payloadStart) || payloadStart + header.dataLength < payloadStart) {
      result = FWL_ERR_BAD_FILE;
      break;
    }
    if (EraseProgressFn != nullptr && EraseProgressFn(kPhasePreparing, 0) == 0) {
      result = FWL_ERR_ABORTED;
      break;
    }
    if ((result = ConfigureFlashDriverKey(header)) != FWL_OK ||
        (result = WaitForUnloadDelay()) != FWL_OK || (result = LoadFlashDriver()) != FWL_OK) {
      break;
    }
    if (store != INVALID_HANDLE_VALUE) {
      (void)CloseHandle(store);  // the earlier section's store
    }
    if ((result = FormatInternalStore(&store)) != FWL_OK) {
      break;
    }
    SectionReader reader(store, header, payloadStart + header.dataLength);
    if (header.kind == FS_SECTION_FILES) {
      result = reader.Partitions();
    } else if (header.kind == FS_SECTION_SECTORS) {
      result = reader.Sectors();
    } else {
      result = FWL_ERR_FILE_VERSION;
    }
    if (result != FWL_OK) {
      break;
    }
    seen = true;
    if (!BinReadSome(bytes, kFsHeaderBytes, &got)) {
      result = FWL_ERR_BAD_FILE;
      break;
    }
    if (got < kFsHeaderBytes) {
      if (got > 0 && !BinSeekBy(-static_cast<LONG>(got))) {
        result = FWL_ERR_BAD_FILE;
      }
      break;
    }
  }
  if (store != INVALID_HANDLE_VALUE) {
    (void)CloseHandle(store);
  }
  (void)CleanFlashDriverKey();
  return result;
}
