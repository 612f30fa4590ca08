// The file system section writer: one pass with a provisional header, the payload appended,
// then the header rewritten with the payload's length and checksum.
#include "core/bin_io.h"
#include "core/callbacks.h"
#include "core/checksum.h"
#include "core/region_state.h"
#include "core/work_buffer.h"
#include "platform/registry.h"
#include "storage/fs_section.h"
#include "storage/store_binding.h"
#include "storage/store_sectors.h"

namespace {

constexpr DWORD kRunBytes = 0x200000;  // a kind 3 run ends after 2 MiB of sectors
constexpr DWORD kProfileBytes = 64;
constexpr DWORD kFolderBytes = 32;  // the backup keeps at most 16 code units of "Folder"

// Reads a REG_SZ into buffer (capacity bytes); terminated inside it whatever was stored.
bool QueryString(HKEY key, const WCHAR* name, WCHAR* buffer, DWORD capacity) {
  DWORD size = capacity;
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  const DWORD units = capacity / sizeof(WCHAR);
  const DWORD got = size / sizeof(WCHAR);
  buffer[got < units ? got : units - 1] = 0;
  return true;
}

void QueryDword(HKEY key, const WCHAR* name, DWORD* value) {
  DWORD result = 0;
  DWORD size = sizeof(result);
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&result), &size) ==
          ERROR_SUCCESS &&
      size == sizeof(result)) {
    *value = result;
  }
}

// Writes the payload of a kind 2 section: every partition with the entries of its volume.
class PartitionWriter {
 public:
  PartitionWriter(HANDLE store, const FsSectionHeader& header) : store_(store), header_(header) {}
  FwlStatus Run();

 private:
  FwlStatus Visit(WIN32_FIND_DATAW& entry);
  FwlStatus Tree(const WCHAR* volume);
  FwlStatus Fed(const void* bytes, DWORD length);
  FwlStatus WriteRecord(const WIN32_FIND_DATAW& entry);
  FwlStatus CopyFile(WIN32_FIND_DATAW& entry);
  // The chunk's checksum as a reader recomputes it: its bytes as one stream in work-buffer
  // pieces, re-read from the file.
  FwlStatus ChunkChecksum(DWORD chunkStart, DWORD byteCount, DWORD* checksum);

  HANDLE store_;
  const FsSectionHeader& header_;
  DWORD fed_ = 0;
};

FwlStatus PartitionWriter::Fed(const void* bytes, DWORD length) {
  if (!BinWrite(bytes, length)) {
    return FWL_ERR_WRITE_FILE;
  }
  fed_ += length;
  return FWL_OK;
}

FwlStatus PartitionWriter::WriteRecord(const WIN32_FIND_DATAW& entry) {
  BYTE record[kFindDataBytes];
  EncodeFindData(entry, record);
  return Fed(record, kFindDataBytes);
}

FwlStatus PartitionWriter::CopyFile(WIN32_FIND_DATAW& entry) {
  HANDLE file = CreateFileW(entry.cFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return FWL_ERR_FILE_SYSTEM;
  }
  // The record carries the size at open, so that it and the content that follows agree even
  // when the file changed since the directory search saw it.
  DWORD remaining = GetFileSize(file, nullptr);
  FwlStatus status = FWL_OK;
  if (remaining == INVALID_FILE_SIZE) {
    status = FWL_ERR_FILE_SYSTEM;
  } else {
    entry.nFileSizeLow = remaining;
    entry.nFileSizeHigh = 0;
    status = WriteRecord(entry);
  }
  while (status == FWL_OK && remaining > 0) {
    const DWORD piece = remaining < WorkBufferSize ? remaining : WorkBufferSize;
    DWORD got = 0;
    if (!ReadFile(file, WorkBuffer, piece, &got, nullptr) || got != piece) {
      status = FWL_ERR_FILE_SYSTEM;
    } else if ((status = Fed(WorkBuffer, piece)) == FWL_OK && !ProgressAdd(piece)) {
      status = FWL_ERR_ABORTED;
    }
    remaining -= piece;
  }
  (void)CloseHandle(file);
  return status;
}

FwlStatus PartitionWriter::Visit(WIN32_FIND_DATAW& entry) {
  const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!directory) {
    return CopyFile(entry);
  }
  FwlStatus status = WriteRecord(entry);
  if (status != FWL_OK) {
    return status;
  }
  if (!ProgressAdd(kFindDataBytes)) {
    return FWL_ERR_ABORTED;
  }
  WCHAR path[MAX_PATH];
  if (!WideCopy(path, MAX_PATH, entry.cFileName)) {
    return FWL_ERR_FILE_SYSTEM;
  }
  WCHAR pattern[MAX_PATH];
  if (WideLength(path) + 2 >= MAX_PATH) {
    return FWL_OK;  // no child's path would fit in MAX_PATH
  }
  if (FormatText(pattern, u"%s\\*", path) < 0) {
    return FWL_ERR_FILE_SYSTEM;
  }
  WIN32_FIND_DATAW child{};
  HANDLE search = FindFirstFileW(pattern, &child);
  if (search == INVALID_HANDLE_VALUE) {
    return FWL_OK;  // no children
  }
  do {
    if (WideCompare(child.cFileName, u".") == 0 || WideCompare(child.cFileName, u"..") == 0) {
      continue;
    }
    WCHAR childPath[MAX_PATH];
    child.cFileName[MAX_PATH - 1] = 0;
    if (WideLength(path) + 1 + WideLength(child.cFileName) >= MAX_PATH ||
        FormatText(childPath, u"%s\\%s", path, child.cFileName) < 0) {
      status = FWL_ERR_FILE_SYSTEM;  // a path that does not fit its record
      break;
    }
    (void)WideCopy(child.cFileName, MAX_PATH, childPath);
    status = Visit(child);
    if (status != FWL_OK) {
      break;
    }
  } while (FindNextFileW(search, &child));
  (void)FindClose(search);
  return status;
}

FwlStatus PartitionWriter::Tree(const WCHAR* volume) {
  WIN32_FIND_DATAW entry{};
  HANDLE search = FindFirstFileW(volume, &entry);
  if (search == INVALID_HANDLE_VALUE) {
    return FWL_ERR_FILE_SYSTEM;
  }
  (void)FindClose(search);
  (void)WideCopy(entry.cFileName, MAX_PATH, volume);
  return Visit(entry);
}

FwlStatus PartitionWriter::ChunkChecksum(DWORD chunkStart, DWORD byteCount, DWORD* checksum) {
  if (!BinSeekTo(chunkStart + kFsChunkHeaderBytes)) {
    return FWL_ERR_WRITE_FILE;
  }
  ChecksumSelect(CHECKSUM_FLETCHER32);
  for (DWORD left = byteCount; left > 0;) {
    const DWORD piece = left < WorkBufferSize ? left : WorkBufferSize;
    if (!BinRead(WorkBuffer, piece)) {
      return FWL_ERR_WRITE_FILE;
    }
    (void)ChecksumUpdate(WorkBuffer, piece);
    left -= piece;
  }
  *checksum = ChecksumFinish();
  return FWL_OK;
}

FwlStatus PartitionWriter::Run() {
  DWORD chunkStart = 0;
  const BYTE placeholder[kFsChunkHeaderBytes] = {};
  if (!BinPosition(&chunkStart) || !BinWrite(placeholder, sizeof(placeholder))) {
    return FWL_ERR_WRITE_FILE;
  }
  PARTINFO info{};
  info.cbSize = sizeof(PARTINFO);
  HANDLE search = FindFirstPartition(store_, &info);
  if (search == INVALID_HANDLE_VALUE) {
    return FWL_ERR_FILE_SYSTEM;
  }
  FwlStatus status = FWL_OK;
  DWORD seen = 0;
  do {
    ++seen;
    if (seen == header_.storeInfo.dwPartitionCount &&
        header_.storeInfo.snBiggestPartCreatable == 0) {
      info.snNumSectors = ~ULONGLONG{0};  // all remaining space
    }
    info.szVolumeName[63] = 0;
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER free{};
    if (!GetDiskFreeSpaceExW(info.szVolumeName, &available, &total, &free)) {
      status = FWL_ERR_FILE_SYSTEM;
      break;
    }
    const DWORD used = static_cast<DWORD>(total.QuadPart) - static_cast<DWORD>(free.QuadPart);
    info.cbSize = used;
    BYTE record[kPartInfoBytes];
    EncodePartInfo(info, record);
    if ((status = Fed(record, kPartInfoBytes)) != FWL_OK) {
      break;
    }
    const DWORD before = fed_;
    if (!ProgressBeginSection(RegionTable[FileSystemRegionIndex].start, used, 0)) {
      status = FWL_ERR_ABORTED;
      break;
    }
    if ((status = Tree(info.szVolumeName)) != FWL_OK) {
      break;
    }
    if (fed_ - before < used && !ProgressAdd(used - (fed_ - before))) {
      status = FWL_ERR_ABORTED;
      break;
    }
    info.cbSize = sizeof(PARTINFO);
  } while (FindNextPartition(search, &info));
  (void)FindClosePartition(search);
  if (status == FWL_OK && seen != header_.storeInfo.dwPartitionCount) {
    status = FWL_ERR_FILE_SYSTEM;
  }
  DWORD checksum = 0;
  if (status == FWL_OK) {
    status = ChunkChecksum(chunkStart, fed_, &checksum);
  }
  if (status == FWL_OK) {
    BYTE chunk[kFsChunkHeaderBytes];
    EncodeFsChunkHeader({header_.memBase, fed_, checksum}, chunk);
    if (!BinSeekTo(chunkStart) || !BinWrite(chunk, sizeof(chunk))) {
      status = FWL_ERR_WRITE_FILE;
    }
  }
  if (!BinSeekEnd() && status == FWL_OK) {
    status = FWL_ERR_WRITE_FILE;
  }
  return status;
}

// Writes the payload of a kind 3 section: runs of consecutive sectors in use.
class SectorWriter {
 public:
  SectorWriter(HANDLE store, const FsSectionHeader& header) : store_(store), header_(header) {}
  FwlStatus Run();

 private:
  FwlStatus CopyLoad();
  FwlStatus CloseRun();

  HANDLE store_;
  const FsSectionHeader& header_;
  DWORD bytesPerSector_ = 0;
  bool runOpen_ = false;
  DWORD runFirst_ = 0;
  DWORD runSectors_ = 0;
  DWORD runPosition_ = 0;
  DWORD loadFirst_ = 0;
  DWORD loaded_ = 0;
};

FwlStatus SectorWriter::CopyLoad() {
  const DWORD bytes = loaded_ * bytesPerSector_;
  FwlStatus status = ReadStoreSectors(store_, loadFirst_, loaded_, WorkBuffer, bytes);
  if (status != FWL_OK) {
    return status;
  }
  (void)ChecksumUpdate(WorkBuffer, bytes);
  if (!BinWrite(WorkBuffer, bytes)) {
    return FWL_ERR_WRITE_FILE;
  }
  return ProgressAdd(bytes) ? FWL_OK : FWL_ERR_ABORTED;
}

FwlStatus SectorWriter::CloseRun() {
  if (loaded_ > 0) {
    const FwlStatus status = CopyLoad();
    if (status != FWL_OK) {
      return status;
    }
  }
  runOpen_ = false;
  loaded_ = 0;
  BYTE chunk[kFsChunkHeaderBytes];
  EncodeFsChunkHeader({runFirst_, runSectors_ * bytesPerSector_, ChecksumFinish()}, chunk);
  if (!BinSeekTo(runPosition_) || !BinWrite(chunk, sizeof(chunk)) || !BinSeekEnd()) {
    return FWL_ERR_WRITE_FILE;
  }
  return FWL_OK;
}

FwlStatus SectorWriter::Run() {
  bytesPerSector_ = header_.storeInfo.dwBytesPerSector;
  if (bytesPerSector_ == 0 || WorkBufferSize < bytesPerSector_) {
    return FWL_ERR_NO_MEMORY;
  }
  const DWORD perLoad = WorkBufferSize / bytesPerSector_;
  const DWORD perRun = kRunBytes / bytesPerSector_;
  if (header_.storeInfo.snNumSectors > 0xFFFFFFFFull) {
    return FWL_ERR_FILE_SYSTEM;
  }
  const auto lastSector = static_cast<DWORD>(header_.storeInfo.snNumSectors);
  const FlashRegion& region = RegionTable[FileSystemRegionIndex];
  // The sectors in use are counted now, not taken from the last region scan: files written
  // since then are in the store and belong in its backup.
  DWORD remaining = 0;
  if (!CountSectorsInUse(store_, &header_.storeInfo, &remaining)) {
    return FWL_ERR_FILE_SYSTEM;
  }
  if (!ProgressBeginSection(header_.memBase != 0xFFFFFFFF ? header_.memBase : region.start,
                            remaining * bytesPerSector_, 0)) {
    return FWL_ERR_ABORTED;
  }
  // The walk ends at the store's last sector even when fewer sectors are in use by then than
  // were counted: what is stored then is simply what the store holds.
  for (DWORD sector = 0; remaining > 0 && sector < lastSector; ++sector) {
    FwlStatus status = FWL_OK;
    if (IsSectorInUse(store_, sector)) {
      --remaining;
      if (!runOpen_) {
        runOpen_ = true;
        runFirst_ = sector;
        runSectors_ = 1;
        loaded_ = 1;
        loadFirst_ = sector;
        ChecksumSelect(CHECKSUM_FLETCHER32);
        const BYTE placeholder[kFsChunkHeaderBytes] = {};
        if (!BinPosition(&runPosition_) || !BinWrite(placeholder, sizeof(placeholder))) {
          return FWL_ERR_WRITE_FILE;
        }
      } else {
        ++runSectors_;
        ++loaded_;
      }
      if (loaded_ == perRun) {
        status = CloseRun();
      } else if (loaded_ == perLoad) {
        status = CopyLoad();
        loadFirst_ += loaded_;
        loaded_ = 0;
      }
    } else if (runOpen_) {
      status = CloseRun();
    }
    if (status != FWL_OK) {
      return status;
    }
  }
  return runOpen_ ? CloseRun() : FWL_OK;
}

}  // namespace

FwlStatus BackupFileSystem(DWORD kind) {
  FsSectionHeader header{};
  header.magic = kFsSectionMagic;
  header.version = 1;
  header.headerSize = kFsHeaderBytes;
  header.kind = kind;
  header.memBase = header.memLen = header.sectorSize = header.blockSize = 0xFFFFFFFF;
  WCHAR profile[kProfileBytes / sizeof(WCHAR)] = {};
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\StrataFMD", 0, KEY_ALL_ACCESS, &key) ==
          ERROR_SUCCESS ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BlockDevice\\StrataFMD", 0, KEY_ALL_ACCESS,
                    &key) == ERROR_SUCCESS) {
    QueryDword(key, u"MemBase", &header.memBase);
    QueryDword(key, u"MemLen", &header.memLen);
    QueryDword(key, u"BlockSize", &header.blockSize);
    QueryDword(key, u"SectorSize", &header.sectorSize);
    (void)QueryString(key, u"Profile", profile, sizeof(profile));
    (void)RegCloseKey(key);
  }
  WCHAR path[MAX_PATH];
  (void)FormatText(path, u"System\\StorageManager\\Profiles\\%s", profile);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return FWL_ERR_FILE_SYSTEM;
  }
  (void)QueryString(key, u"Folder", header.folder, kFolderBytes);
  (void)RegCloseKey(key);
  (void)FormatText(path, u"System\\StorageManager\\Profiles\\%s\\FATFS", profile);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    DWORD formatTfat = 0;
    QueryDword(key, u"FormatTfat", &formatTfat);
    if (formatTfat != 0) {
      header.flags |= kFsFlagFormatTfat;
    }
    (void)RegCloseKey(key);
  }
  HANDLE store = OpenStore(FileSystemStoreName);
  if (store == INVALID_HANDLE_VALUE) {
    return FWL_ERR_FILE_SYSTEM;
  }
  header.storeInfo.cbSize = sizeof(STOREINFO);
  if (!GetStoreInfo(store, &header.storeInfo)) {
    (void)CloseHandle(store);
    return FWL_ERR_FILE_SYSTEM;
  }
  DWORD sectionStart = 0;
  BYTE bytes[kFsHeaderBytes];
  EncodeFsSectionHeader(header, bytes);
  if (!BinPosition(&sectionStart) || !BinWrite(bytes, kFsHeaderBytes)) {
    (void)CloseHandle(store);
    return FWL_ERR_WRITE_FILE;
  }
  FwlStatus status = FWL_ERR_FILE_SYSTEM;
  if (kind == FS_SECTION_FILES) {
    status = PartitionWriter(store, header).Run();
  } else if (kind == FS_SECTION_SECTORS) {
    status = SectorWriter(store, header).Run();
  }
  if (status != FWL_OK) {
    (void)CloseHandle(store);
    return status;
  }
  DWORD end = 0;
  if (!BinPosition(&end)) {
    (void)CloseHandle(store);
    return FWL_ERR_WRITE_FILE;
  }
  header.dataLength = end - sectionStart - kFsHeaderBytes;
  EncodeFsSectionHeader(header, bytes);
  ChecksumSelect(CHECKSUM_FLETCHER32);
  (void)ChecksumUpdate(bytes, kFsHeaderBytes - 4);
  header.headerChecksum = ChecksumFinish();
  EncodeFsSectionHeader(header, bytes);
  if (!BinSeekTo(sectionStart) || !BinWrite(bytes, kFsHeaderBytes) || !BinSeekEnd()) {
    (void)CloseHandle(store);
    return FWL_ERR_WRITE_FILE;
  }
  (void)CloseHandle(store);
  return FWL_OK;
}
