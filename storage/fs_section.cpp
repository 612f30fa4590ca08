#include "storage/fs_section.h"

namespace {

class Writer {
 public:
  explicit Writer(BYTE* out) : out_(out) {}
  void Word(DWORD value) {
    for (int i = 0; i < 4; ++i) {
      out_[at_++] = static_cast<BYTE>(value >> (8 * i));
    }
  }
  void Quad(ULONGLONG value) {
    Word(static_cast<DWORD>(value));
    Word(static_cast<DWORD>(value >> 32));
  }
  void Time(const FILETIME& time) {
    Word(time.dwLowDateTime);
    Word(time.dwHighDateTime);
  }
  void Text(const WCHAR* text, size_t units) {
    for (size_t i = 0; i < units; ++i) {
      out_[at_++] = static_cast<BYTE>(text[i]);
      out_[at_++] = static_cast<BYTE>(text[i] >> 8);
    }
  }
  void Byte(BYTE value) { out_[at_++] = value; }
  void Pad(size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
      out_[at_++] = 0;
    }
  }

 private:
  BYTE* out_;
  size_t at_ = 0;
};

class Reader {
 public:
  explicit Reader(const BYTE* in) : in_(in) {}
  DWORD Word() {
    DWORD value = 0;
    for (int i = 0; i < 4; ++i) {
      value |= static_cast<DWORD>(in_[at_++]) << (8 * i);
    }
    return value;
  }
  ULONGLONG Quad() {
    const ULONGLONG low = Word();
    return low | (ULONGLONG{Word()} << 32);
  }
  FILETIME Time() {
    FILETIME time;
    time.dwLowDateTime = Word();
    time.dwHighDateTime = Word();
    return time;
  }
  void Text(WCHAR* text, size_t units) {
    for (size_t i = 0; i < units; ++i) {
      text[i] = static_cast<WCHAR>(in_[at_] | (in_[at_ + 1] << 8));
      at_ += 2;
    }
  }
  BYTE Byte() { return in_[at_++]; }
  void Skip(size_t bytes) { at_ += bytes; }

 private:
  const BYTE* in_;
  size_t at_ = 0;
};

void WriteDeviceInfo(Writer& w, const STORAGEDEVICEINFO& sdi) {
  w.Word(sdi.cbSize);
  w.Text(sdi.szProfile, 32);
  w.Word(sdi.dwDeviceClass);
  w.Word(sdi.dwDeviceType);
  w.Word(sdi.dwDeviceFlags);
}

void ReadDeviceInfo(Reader& r, STORAGEDEVICEINFO* sdi) {
  sdi->cbSize = r.Word();
  r.Text(sdi->szProfile, 32);
  sdi->dwDeviceClass = r.Word();
  sdi->dwDeviceType = r.Word();
  sdi->dwDeviceFlags = r.Word();
}

}  // namespace

void EncodeStoreInfo(const STOREINFO& info, BYTE* out) {
  Writer w(out);
  w.Word(info.cbSize);
  w.Text(info.szDeviceName, 8);
  w.Text(info.szStoreName, 32);
  w.Word(info.dwDeviceClass);
  w.Word(info.dwDeviceType);
  WriteDeviceInfo(w, info.sdi);
  w.Word(info.dwDeviceFlags);
  w.Quad(info.snNumSectors);
  w.Word(info.dwBytesPerSector);
  w.Pad(4);
  w.Quad(info.snFreeSectors);
  w.Quad(info.snBiggestPartCreatable);
  w.Time(info.ftCreated);
  w.Time(info.ftLastModified);
  w.Word(info.dwAttributes);
  w.Word(info.dwPartitionCount);
  w.Word(info.dwMountCount);
  w.Pad(4);
}

void DecodeStoreInfo(const BYTE* in, STOREINFO* info) {
  Reader r(in);
  *info = STOREINFO{};
  info->cbSize = r.Word();
  r.Text(info->szDeviceName, 8);
  r.Text(info->szStoreName, 32);
  info->dwDeviceClass = r.Word();
  info->dwDeviceType = r.Word();
  ReadDeviceInfo(r, &info->sdi);
  info->dwDeviceFlags = r.Word();
  info->snNumSectors = r.Quad();
  info->dwBytesPerSector = r.Word();
  r.Skip(4);
  info->snFreeSectors = r.Quad();
  info->snBiggestPartCreatable = r.Quad();
  info->ftCreated = r.Time();
  info->ftLastModified = r.Time();
  info->dwAttributes = r.Word();
  info->dwPartitionCount = r.Word();
  info->dwMountCount = r.Word();
}

void EncodePartInfo(const PARTINFO& info, BYTE* out) {
  Writer w(out);
  w.Word(info.cbSize);
  w.Text(info.szPartitionName, 32);
  w.Text(info.szFileSys, 32);
  w.Text(info.szVolumeName, 64);
  w.Pad(4);
  w.Quad(info.snNumSectors);
  w.Time(info.ftCreated);
  w.Time(info.ftLastModified);
  w.Word(info.dwAttributes);
  w.Byte(info.bPartType);
  w.Pad(3);
}

void DecodePartInfo(const BYTE* in, PARTINFO* info) {
  Reader r(in);
  *info = PARTINFO{};
  info->cbSize = r.Word();
  r.Text(info->szPartitionName, 32);
  r.Text(info->szFileSys, 32);
  r.Text(info->szVolumeName, 64);
  r.Skip(4);
  info->snNumSectors = r.Quad();
  info->ftCreated = r.Time();
  info->ftLastModified = r.Time();
  info->dwAttributes = r.Word();
  info->bPartType = r.Byte();
}

void EncodeFindData(const WIN32_FIND_DATAW& data, BYTE* out) {
  Writer w(out);
  w.Word(data.dwFileAttributes);
  w.Time(data.ftCreationTime);
  w.Time(data.ftLastAccessTime);
  w.Time(data.ftLastWriteTime);
  w.Word(data.nFileSizeHigh);
  w.Word(data.nFileSizeLow);
  w.Word(data.dwOID);
  w.Text(data.cFileName, MAX_PATH);
}

void DecodeFindData(const BYTE* in, WIN32_FIND_DATAW* data) {
  Reader r(in);
  data->dwFileAttributes = r.Word();
  data->ftCreationTime = r.Time();
  data->ftLastAccessTime = r.Time();
  data->ftLastWriteTime = r.Time();
  data->nFileSizeHigh = r.Word();
  data->nFileSizeLow = r.Word();
  data->dwOID = r.Word();
  r.Text(data->cFileName, MAX_PATH);
}

void EncodeFsSectionHeader(const FsSectionHeader& header, BYTE* out) {
  Writer w(out);
  w.Word(header.magic);
  w.Word(header.version);
  w.Word(header.headerSize);
  w.Word(header.kind);
  w.Word(header.memBase);
  w.Word(header.memLen);
  w.Word(header.dataLength);
  w.Word(header.sectorSize);
  w.Word(header.blockSize);
  w.Word(header.flags);
  w.Text(header.folder, kFsFolderUnits);
  EncodeStoreInfo(header.storeInfo, out + 104);
  Writer tail(out + 344);
  tail.Word(header.headerChecksum);
}

void DecodeFsSectionHeader(const BYTE* in, FsSectionHeader* header) {
  Reader r(in);
  header->magic = r.Word();
  header->version = r.Word();
  header->headerSize = r.Word();
  header->kind = r.Word();
  header->memBase = r.Word();
  header->memLen = r.Word();
  header->dataLength = r.Word();
  header->sectorSize = r.Word();
  header->blockSize = r.Word();
  header->flags = r.Word();
  r.Text(header->folder, kFsFolderUnits);
  DecodeStoreInfo(in + 104, &header->storeInfo);
  Reader tail(in + 344);
  header->headerChecksum = tail.Word();
}

void EncodeFsChunkHeader(const FsChunkHeader& chunk, BYTE* out) {
  Writer w(out);
  w.Word(chunk.first);
  w.Word(chunk.byteCount);
  w.Word(chunk.checksum);
}

void DecodeFsChunkHeader(const BYTE* in, FsChunkHeader* chunk) {
  Reader r(in);
  chunk->first = r.Word();
  chunk->byteCount = r.Word();
  chunk->checksum = r.Word();
}
