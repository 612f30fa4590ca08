// Tests of the file system sections: a module whose library has started (regions scanned, the
// flash disk's store found), with the work buffer allocated; and what a test compares before and
// after a backup and restore: the store's sectors in use, and a volume's tree.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "library/library_internal.h"
#include "platform/kernel.h"
#include "platform/storage.h"
#include "sim/module/machine.h"
#include "storage/fs_section.h"
#include "storage/store_binding.h"
#include "tests/support/module_fixture.h"
#include "tests/support/program_state.h"

namespace testing_support {

class FileSystemTest : public ModuleTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
  void SetUp() override {
    ModuleTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    // A USB drive is plugged in.
    std::filesystem::create_directories(ModuleDirectory() / "files" / "USB HD");
    ForgetProgramState();
    DriverUnloadTime = 0;
    ASSERT_EQ(FWLInit(), FWL_OK);
    ASSERT_EQ(AllocWorkBuffer(), FWL_OK);
    ASSERT_NE(FileSystemStoreName[0], 0) << "the module's flash disk was not found";
  }
  void TearDown() override {
    ForgetProgramState();
    ReleaseStorageLibrary();
    ModuleTest::TearDown();
  }
  // Power-cycles the module (what the running OS held is gone; the OS boots from the flash and
  // the persistent registry) and attaches again. The library is left unstarted.
  void PowerCycle() {
    ForgetProgramState();
    ReleaseStorageLibrary();
    sim::Detach();
    std::string error;
    ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
    ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  }
};

// Bin files live on the USB drive, as the program's own do.
inline const WCHAR* const kBinPath = u"\\USB HD\\fs.bin";

// Makes path the open bin file: created afresh (read and write) or opened for reading.
inline bool CreateBinFile(const WCHAR* path = kBinPath) {
  BinFileHandle =
      CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  return BinFileHandle != INVALID_HANDLE_VALUE;
}
inline bool OpenBinFile(const WCHAR* path = kBinPath) {
  BinFileHandle = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return BinFileHandle != INVALID_HANDLE_VALUE;
}
inline void CloseBinFile() {
  if (BinFileHandle != INVALID_HANDLE_VALUE && BinFileHandle != nullptr) {
    (void)CloseHandle(BinFileHandle);
  }
  BinFileHandle = INVALID_HANDLE_VALUE;
}
inline DWORD BinFilePosition() { return SetFilePointer(BinFileHandle, 0, nullptr, FILE_CURRENT); }
inline std::vector<std::uint8_t> ReadModuleFile(const WCHAR* path) {
  std::vector<std::uint8_t> bytes;
  HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open a file of the module";
    return bytes;
  }
  std::vector<std::uint8_t> piece(1 << 20);
  DWORD got = 0;
  while (ReadFile(file, piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr) && got > 0) {
    bytes.insert(bytes.end(), piece.begin(), piece.begin() + got);
  }
  (void)CloseHandle(file);
  return bytes;
}
inline bool WriteModuleFile(const WCHAR* path, const std::vector<std::uint8_t>& bytes) {
  HANDLE file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  const bool ok = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                              &written, nullptr) &&
                                    written == bytes.size());
  (void)CloseHandle(file);
  return ok;
}

// The sectors of a store that hold data, and their bytes.
struct StoreImage {
  DWORD bytesPerSector = 0;
  DWORD sectors = 0;
  std::vector<DWORD> inUse;        // ascending
  std::vector<std::uint8_t> data;  // the sectors in use, in that order
};

inline StoreImage ReadStore(const WCHAR* deviceName) {
  StoreImage image;
  HANDLE store = OpenStore(deviceName);
  if (store == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open the store";
    return image;
  }
  STOREINFO info{};
  info.cbSize = sizeof(info);
  if (!GetStoreInfo(store, &info)) {
    ADD_FAILURE() << "no store information";
    (void)CloseHandle(store);
    return image;
  }
  image.bytesPerSector = info.dwBytesPerSector;
  image.sectors = static_cast<DWORD>(info.snNumSectors);
  constexpr DWORD kBatch = 4096;
  std::vector<DWORD> numbers(kBatch);
  std::vector<DWORD> addresses(kBatch);
  for (DWORD first = 0; first < image.sectors; first += kBatch) {
    const DWORD count = image.sectors - first < kBatch ? image.sectors - first : kBatch;
    for (DWORD i = 0; i < count; ++i) {
      numbers[i] = first + i;
    }
    DWORD returned = 0;
    if (!DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, numbers.data(), count * 4,
                         addresses.data(), count * 4, &returned, nullptr)) {
      ADD_FAILURE() << "in-use question failed";
      break;
    }
    for (DWORD i = 0; i < count; ++i) {
      if (addresses[i] != 0xFFFFFFFF) {
        image.inUse.push_back(first + i);
      }
    }
  }
  image.data.resize(image.inUse.size() * std::size_t{image.bytesPerSector});
  for (std::size_t i = 0; i < image.inUse.size();) {
    std::size_t run = 1;
    while (i + run < image.inUse.size() && image.inUse[i + run] == image.inUse[i] + run &&
           run < 1024) {
      ++run;
    }
    SG_REQ request{};
    request.sr_start = image.inUse[i];
    request.sr_num_sec = static_cast<DWORD>(run);
    request.sr_num_sg = 1;
    request.sr_sglist[0].sb_buf = image.data.data() + i * image.bytesPerSector;
    request.sr_sglist[0].sb_len = static_cast<DWORD>(run * image.bytesPerSector);
    if (!DeviceIoControl(store, IOCTL_DISK_READ, &request, sizeof(request), nullptr, 0, nullptr,
                         nullptr)) {
      ADD_FAILURE() << "sector read failed";
      break;
    }
    i += run;
  }
  (void)CloseHandle(store);
  return image;
}

// One directory or file of a volume as its directory search reports it, with the content.
struct TreeEntry {
  std::u16string path;
  DWORD attributes = 0;
  std::uint64_t created = 0;
  std::uint64_t accessed = 0;
  std::uint64_t written = 0;
  std::vector<std::uint8_t> content;
  bool operator==(const TreeEntry&) const = default;
};

inline void PrintTo(const TreeEntry& entry, std::ostream* out) {
  std::string path;
  for (const char16_t unit : entry.path) {
    path.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  *out << path << " attributes=" << std::hex << entry.attributes << std::dec
       << " times=" << entry.created << "/" << entry.accessed << "/" << entry.written
       << " bytes=" << entry.content.size();
}

inline std::uint64_t Ticks(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// Every entry below root, depth-first in directory order.
inline void ReadTree(const std::u16string& root, std::vector<TreeEntry>* entries) {
  WIN32_FIND_DATAW data{};
  HANDLE search = FindFirstFileW((root + u"\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    TreeEntry entry;
    entry.path = root + u"\\" + data.cFileName;
    entry.attributes = data.dwFileAttributes;
    entry.created = Ticks(data.ftCreationTime);
    entry.accessed = Ticks(data.ftLastAccessTime);
    entry.written = Ticks(data.ftLastWriteTime);
    const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!directory) {
      entry.content = ReadModuleFile(entry.path.c_str());
    }
    entries->push_back(entry);
    if (directory) {
      ReadTree(entry.path, entries);
    }
  } while (FindNextFileW(search, &data));
  (void)FindClose(search);
}

inline std::vector<TreeEntry> ReadTree(const std::u16string& root) {
  std::vector<TreeEntry> entries;
  ReadTree(root, &entries);
  return entries;
}

inline FILETIME FileTimeOf(std::uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

// Sets a file's three times and then its attributes.
inline bool StampFile(const WCHAR* path, std::uint64_t created, std::uint64_t accessed,
                      std::uint64_t written, DWORD attributes) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  const FILETIME c = FileTimeOf(created);
  const FILETIME a = FileTimeOf(accessed);
  const FILETIME w = FileTimeOf(written);
  const bool ok = SetFileTime(file, &c, &a, &w) != FALSE;
  (void)CloseHandle(file);
  return ok && SetFileAttributesW(path, attributes);
}

}  // namespace testing_support
