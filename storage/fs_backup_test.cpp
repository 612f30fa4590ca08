// Backing the flash disk up into a file system section: the layout of both kinds, runs of
// sectors and where they end, records that agree with the content behind them, and every
// failure with its status.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/sample_content.h"
#include "platform/registry.h"
#include "sim/os/registry.h"
#include "tests/support/faults.h"
#include "tests/support/file_system_fixture.h"
#include "tests/support/test_names.h"
#include "tests/support/test_pattern.h"

namespace {

using sample_content::Bytes;
using testing_support::FileSystemTest;

constexpr const char* kProfile = "HKLM\\System\\StorageManager\\Profiles\\FlashDisk";

struct Entry {
  std::u16string path;
  DWORD attributes = 0;
  Bytes content;
};

// A section as a reader sees it.
struct Parsed {
  FsSectionHeader header{};
  std::vector<FsChunkHeader> chunks;  // kind 3
  std::vector<PARTINFO> partitions;   // kind 2
  std::vector<Entry> entries;         // kind 2, all partitions
  bool whole = false;                 // the payload was exactly dataLength bytes of records
};

Parsed Parse(const Bytes& file) {
  Parsed parsed;
  if (file.size() < kFsHeaderBytes) {
    return parsed;
  }
  DecodeFsSectionHeader(file.data(), &parsed.header);
  std::size_t at = kFsHeaderBytes;
  const std::size_t end = at + parsed.header.dataLength;
  if (end > file.size()) {
    return parsed;
  }
  if (parsed.header.kind == FS_SECTION_SECTORS) {
    while (at + kFsChunkHeaderBytes <= end) {
      FsChunkHeader chunk{};
      DecodeFsChunkHeader(file.data() + at, &chunk);
      parsed.chunks.push_back(chunk);
      at += kFsChunkHeaderBytes + chunk.byteCount;
    }
    parsed.whole = at == end;
    return parsed;
  }
  at += kFsChunkHeaderBytes;
  for (DWORD i = 0; i < parsed.header.storeInfo.dwPartitionCount && at + kPartInfoBytes <= end;
       ++i) {
    PARTINFO info{};
    DecodePartInfo(file.data() + at, &info);
    at += kPartInfoBytes;
    parsed.partitions.push_back(info);
    const std::u16string volume = info.szVolumeName;
    while (at + kFindDataBytes <= end) {
      WIN32_FIND_DATAW data{};
      DecodeFindData(file.data() + at, &data);
      const std::u16string path = data.cFileName;
      if (path.compare(0, volume.size(), volume) != 0) {
        break;
      }
      at += kFindDataBytes;
      Entry entry{path, data.dwFileAttributes, {}};
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        if (at + data.nFileSizeLow > end) {
          return parsed;
        }
        entry.content.assign(file.begin() + static_cast<std::ptrdiff_t>(at),
                             file.begin() + static_cast<std::ptrdiff_t>(at + data.nFileSizeLow));
        at += data.nFileSizeLow;
      }
      parsed.entries.push_back(entry);
    }
  }
  parsed.whole = at == end;
  return parsed;
}

class BackupTest : public FileSystemTest {
 protected:
  FwlStatus Backup(DWORD kind) {
    EXPECT_TRUE(testing_support::CreateBinFile());
    const FwlStatus status = BackupFileSystem(kind);
    testing_support::CloseBinFile();
    file_ = testing_support::ReadModuleFile(testing_support::kBinPath);
    return status;
  }
  // The program's own check of a bin file, every checksum included.
  static FwlStatus Validate() {
    ImageInfo info{};
    const FwlStatus status = FWLSetBinFile(testing_support::kBinPath, &info, nullptr, 1);
    (void)FWLCloseBinFile();
    return status;
  }
  [[nodiscard]] DWORD SectorsInUse() const { return RegionTable[FileSystemRegionIndex].used / 512; }
  Bytes file_;
};

// ---------------------------------------------------------------------------------------------
// Sectors
// ---------------------------------------------------------------------------------------------
struct RunCase {
  const char* name;
  DWORD bufferSize;
  bool longestRunOver2MiB;
};

class SectorRunTest : public BackupTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(SectorRunTest, RunsEndAt2MiBOnlyWithA2MiBBuffer) {
  // 3 MiB in one file: more than 4096 adjacent sectors in use.
  ASSERT_TRUE(testing_support::WriteModuleFile(u"\\Flash Disk\\Data\\long.bin",
                                               testing_support::Pattern(3 << 20, 5)));
  ASSERT_EQ(FWLScanRegions(REGION_FILE_SYSTEM), FWL_OK);
  WorkBufferSize = GetParam().bufferSize;  // the buffer itself stays 2 MiB
  ASSERT_EQ(Backup(FS_SECTION_SECTORS), FWL_OK);
  const Parsed parsed = Parse(file_);
  ASSERT_TRUE(parsed.whole);
  DWORD sectors = 0;
  DWORD longest = 0;
  for (std::size_t i = 0; i < parsed.chunks.size(); ++i) {
    const FsChunkHeader& chunk = parsed.chunks[i];
    ASSERT_EQ(chunk.byteCount % 512, 0u);
    sectors += chunk.byteCount / 512;
    longest = std::max(longest, chunk.byteCount);
    if (i > 0) {
      const FsChunkHeader& previous = parsed.chunks[i - 1];
      EXPECT_GE(chunk.first, previous.first + previous.byteCount / 512);  // ascending, apart
      if (previous.byteCount == 0x200000) {
        // A run that reached 2 MiB ended though the next sector held data.
        EXPECT_EQ(chunk.first, previous.first + 4096);
      }
    }
  }
  EXPECT_EQ(sectors, SectorsInUse());
  EXPECT_EQ(longest > 0x200000, GetParam().longestRunOver2MiB);
  EXPECT_EQ(longest == 0x200000, !GetParam().longestRunOver2MiB);
  WorkBufferSize = 0x200000;
  EXPECT_EQ(Validate(), FWL_OK);
}

INSTANTIATE_TEST_SUITE_P(Cases, SectorRunTest,
                         ::testing::Values(RunCase{"Buffer2MiB", 0x200000, false},
                                           RunCase{"Buffer1MiB", 0x100000, true}),
                         testing_support::CaseName());

TEST_F(BackupTest, FewerSectorsInUseThanCounted_EndsAtTheLastSectorWithAWholeSection) {
  const DWORD counted = RegionTable[FileSystemRegionIndex].used;
  RegionTable[FileSystemRegionIndex].used = counted + 100 * 512;
  ASSERT_EQ(Backup(FS_SECTION_SECTORS), FWL_OK);
  const Parsed parsed = Parse(file_);
  ASSERT_TRUE(parsed.whole);
  DWORD bytes = 0;
  for (const FsChunkHeader& chunk : parsed.chunks) {
    bytes += chunk.byteCount;
    EXPECT_LE(chunk.first + chunk.byteCount / 512, parsed.header.storeInfo.snNumSectors);
  }
  EXPECT_EQ(bytes, counted);
  EXPECT_EQ(Validate(), FWL_OK);
}

TEST_F(BackupTest, NothingInUse_GivesAnEmptySectorSection) {
  HANDLE store = OpenStore(FileSystemStoreName);
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(DismountStore(store));
  ASSERT_TRUE(FormatStore(store));
  ASSERT_TRUE(CloseHandle(store));
  ASSERT_EQ(FWLScanRegions(REGION_FILE_SYSTEM), FWL_OK);
  ASSERT_EQ(RegionTable[FileSystemRegionIndex].used, 0u);
  ASSERT_EQ(Backup(FS_SECTION_SECTORS), FWL_OK);
  EXPECT_EQ(file_.size(), kFsHeaderBytes);
  EXPECT_EQ(Parse(file_).header.dataLength, 0u);
  EXPECT_EQ(Validate(), FWL_OK);
}

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------
TEST_F(BackupTest, FilesSection_HoldsTheVolumeRecordThenItsTreeInPreOrder) {
  ASSERT_TRUE(testing_support::WriteModuleFile(u"\\Flash Disk\\Logs\\empty.log", {}));
  ASSERT_EQ(Backup(FS_SECTION_FILES), FWL_OK);
  EXPECT_EQ(Validate(), FWL_OK);
  const Parsed parsed = Parse(file_);
  ASSERT_TRUE(parsed.whole);
  EXPECT_EQ(parsed.header.flags, kFsFlagFormatTfat);
  EXPECT_EQ(std::u16string(parsed.header.folder), u"Flash Disk");
  EXPECT_EQ(parsed.header.sectorSize, 512u);
  ASSERT_EQ(parsed.partitions.size(), 1u);
  // The only partition took all the space: "all that is left".
  EXPECT_EQ(parsed.partitions[0].snNumSectors, ~ULONGLONG{0});
  ULARGE_INTEGER available{};
  ULARGE_INTEGER total{};
  ULARGE_INTEGER free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"\\Flash Disk", &available, &total, &free));
  EXPECT_EQ(parsed.partitions[0].cbSize, static_cast<DWORD>(total.QuadPart - free.QuadPart));

  std::vector<Entry> expected = {{u"\\Flash Disk", 0, {}}};
  for (const testing_support::TreeEntry& entry : testing_support::ReadTree(u"\\Flash Disk")) {
    expected.push_back({entry.path, entry.attributes, entry.content});
  }
  ASSERT_EQ(parsed.entries.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(parsed.entries[i].path, expected[i].path);
    EXPECT_EQ(parsed.entries[i].content, expected[i].content);
    if (i > 0) {
      EXPECT_EQ(parsed.entries[i].attributes, expected[i].attributes);
    }
  }
  EXPECT_NE(parsed.entries[0].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(BackupTest, ProfileWithoutFatSettingsOrFolder_GivesNoFlagsAndNoFolder) {
  ASSERT_TRUE(sim::RegistryDeleteKey(std::string(kProfile) + "\\FATFS"));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\StorageManager\\Profiles\\FlashDisk", 0,
                          KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueW(key, u"Folder"), ERROR_SUCCESS);
  (void)RegCloseKey(key);
  ASSERT_EQ(Backup(FS_SECTION_SECTORS), FWL_OK);
  const Parsed parsed = Parse(file_);
  EXPECT_EQ(parsed.header.flags, 0u);
  EXPECT_EQ(parsed.header.folder[0], 0);
}

// A file that grows after the directory search saw it and before it is copied.
Bytes grown;
int progressCalls = 0;
int GrowOnSecondProgress(DWORD /*section*/, DWORD /*all*/) {
  if (++progressCalls == 2) {
    HANDLE file = CreateFileW(u"\\Flash Disk\\zz_grow.txt", GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    DWORD written = 0;
    (void)SetFilePointer(file, 0, nullptr, FILE_END);
    (void)WriteFile(file, "+++", 3, &written, nullptr);
    (void)CloseHandle(file);
  }
  return 1;
}

TEST_F(BackupTest, FileChangingSizeDuringTheBackup_RecordAndContentAgree) {
  ASSERT_TRUE(testing_support::WriteModuleFile(u"\\Flash Disk\\zz_grow.txt", Bytes(10, 'a')));
  progressCalls = 0;
  DataProgressFn = GrowOnSecondProgress;
  ASSERT_EQ(Backup(FS_SECTION_FILES), FWL_OK);
  DataProgressFn = nullptr;
  EXPECT_EQ(Validate(), FWL_OK);
  const Parsed parsed = Parse(file_);
  ASSERT_TRUE(parsed.whole);
  ASSERT_FALSE(parsed.entries.empty());
  EXPECT_EQ(parsed.entries.back().path, u"\\Flash Disk\\zz_grow.txt");
  EXPECT_EQ(parsed.entries.back().content,
            testing_support::ReadModuleFile(u"\\Flash Disk\\zz_grow.txt"));
  EXPECT_EQ(parsed.entries.back().content.size(), 13u);
}

// ---------------------------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------------------------
struct FaultCase {
  const char* name;
  DWORD kind;
  std::function<void()> provoke;
  FwlStatus status;
  std::size_t fileBytesAtMost;  // what the failed backup left in the file
};

class BackupFaultTest : public BackupTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(BackupFaultTest, FailureSurfacesAsItsStatus) {
  GetParam().provoke();
  EXPECT_EQ(Backup(GetParam().kind), GetParam().status);
  EXPECT_LE(file_.size(), GetParam().fileBytesAtMost);
}

void AddFault(const sim::Json& item) { sim::CurrentMachine().Faults().Add(item); }
std::function<void()> FailCall(const char* name, int skip = 0) {
  return [=] { AddFault(faults::Call{.name = name, .skip = skip, .count = 1}); };
}
constexpr std::size_t kAny = ~std::size_t{0};

INSTANTIATE_TEST_SUITE_P(
    Cases, BackupFaultTest,
    ::testing::Values(
        FaultCase{"NoProfile", FS_SECTION_SECTORS,
                  [] { ASSERT_TRUE(sim::RegistryDeleteKey(kProfile)); }, FWL_ERR_FILE_SYSTEM, 0},
        FaultCase{"StoreWontOpen", FS_SECTION_SECTORS, FailCall("OpenStore"), FWL_ERR_FILE_SYSTEM,
                  0},
        FaultCase{"NoStoreInformation", FS_SECTION_FILES, FailCall("GetStoreInfo"),
                  FWL_ERR_FILE_SYSTEM, 0},
        FaultCase{"SectorRead", FS_SECTION_SECTORS,
                  [] { AddFault(faults::StorageSector{.operation = "read"}); }, FWL_ERR_FILE_SYSTEM,
                  kAny},
        FaultCase{"SmallBuffer", FS_SECTION_SECTORS, [] { WorkBufferSize = 256; },
                  FWL_ERR_NO_MEMORY, kFsHeaderBytes},
        FaultCase{"PartitionSearch", FS_SECTION_FILES, FailCall("FindFirstPartition"),
                  FWL_ERR_FILE_SYSTEM, kAny},
        FaultCase{"FreeSpace", FS_SECTION_FILES, FailCall("GetDiskFreeSpaceExW"),
                  FWL_ERR_FILE_SYSTEM, kAny},
        FaultCase{"VolumeSearch", FS_SECTION_FILES, FailCall("FindFirstFileW"), FWL_ERR_FILE_SYSTEM,
                  kAny},
        // The bin file itself is the first file created; the next is a file of the volume.
        FaultCase{"FileOpen", FS_SECTION_FILES, FailCall("CreateFileW", 1), FWL_ERR_FILE_SYSTEM,
                  kAny},
        FaultCase{"FileRead", FS_SECTION_FILES, FailCall("ReadFile"), FWL_ERR_FILE_SYSTEM, kAny},
        FaultCase{"BinWrite", FS_SECTION_SECTORS, FailCall("WriteFile", 1), FWL_ERR_WRITE_FILE,
                  kAny}),
    testing_support::CaseName());

}  // namespace
