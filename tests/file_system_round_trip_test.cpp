// The flash disk backed up into a bin file and rebuilt from it: sector sections bring back the
// sectors in use byte for byte, file sections bring back every directory and file with its
// attributes, times and content; several sections in one file are each restored through their
// own driver instance and store format.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/sample_content.h"
#include "sim/module/machine.h"
#include "tests/support/file_system_fixture.h"
#include "tests/support/test_names.h"
#include "tests/support/test_pattern.h"

namespace {

using sample_content::Bytes;
using testing_support::FileSystemTest;
using testing_support::Pattern;
using testing_support::ReadStore;
using testing_support::ReadTree;
using testing_support::StoreImage;
using testing_support::TreeEntry;

constexpr std::uint64_t kTime2010 = 0x01CA8A755C6E0000ull;  // 2010-01-01
constexpr std::uint64_t kHour = 36000000000ull;

// Restores every section of the open bin file from its start, as the update does after it
// unloaded the OS driver.
FwlStatus UnloadAndRestore() {
  const FwlStatus unload = UnloadFlashDriver();
  if (unload != FWL_OK) {
    return unload;
  }
  (void)SetFilePointer(BinFileHandle, 0, nullptr, FILE_BEGIN);
  return RestoreFileSystem();
}

DWORD BinFileSize() { return GetFileSize(BinFileHandle, nullptr); }

// Directories get new times when they are created again; what comes back is their place,
// their name and their attributes.
std::vector<TreeEntry> WithoutDirectoryTimes(std::vector<TreeEntry> entries) {
  for (TreeEntry& entry : entries) {
    if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      entry.created = entry.accessed = entry.written = 0;
    }
  }
  return entries;
}

class SectorRoundTripTest : public FileSystemTest,
                            public ::testing::WithParamInterface<const char*> {
 protected:
  std::string Preset() const override { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Flash, SectorRoundTripTest, ::testing::Values("pxa270-32m", "pxa320"),
                         testing_support::PresetName());

TEST_P(SectorRoundTripTest, SectorsInUse_ComeBackByteForByte) {
  // Enough data for several runs, and a hole between them.
  ASSERT_TRUE(testing_support::WriteModuleFile(u"\\Flash Disk\\Data\\trace.bin",
                                               Pattern(2600 * 1024 + 3, 7)));
  ASSERT_EQ(FWLScanRegions(REGION_FILE_SYSTEM), FWL_OK);
  const StoreImage before = ReadStore(FileSystemStoreName);
  ASSERT_GT(before.inUse.size(), 2u);
  ASSERT_TRUE(testing_support::CreateBinFile());
  ASSERT_EQ(BackupFileSystem(FS_SECTION_SECTORS), FWL_OK);
  const DWORD size = BinFileSize();
  // A change after the backup takes sectors that the section does not hold.
  ASSERT_TRUE(testing_support::WriteModuleFile(u"\\Flash Disk\\later.bin", Pattern(300000, 9)));
  ASSERT_GT(ReadStore(FileSystemStoreName).inUse.size(), before.inUse.size());

  ASSERT_EQ(UnloadAndRestore(), FWL_OK);
  EXPECT_EQ(testing_support::BinFilePosition(), size);
  const StoreImage after = ReadStore(FileSystemStoreName);
  EXPECT_EQ(after.inUse, before.inUse);
  EXPECT_TRUE(after.data == before.data) << "sector contents differ";
  testing_support::CloseBinFile();

  // The module's own driver finds the files of the backup after a reset.
  PowerCycle();
  EXPECT_EQ(testing_support::ReadModuleFile(u"\\Flash Disk\\Data\\trace.bin"),
            Pattern(2600 * 1024 + 3, 7));
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk\\later.bin"), INVALID_FILE_ATTRIBUTES);
}

TEST_P(SectorRoundTripTest, FilesWrittenSinceTheRegionScan_AreBackedUpAndComeBack) {
  // The library scanned the regions when it started; these files come later, and the backup
  // through the library's entry is not preceded by a scan.
  const Bytes first = Pattern(700 * 1024 + 5, 21);
  const Bytes second = Pattern(90 * 1024, 22);
  ASSERT_TRUE(testing_support::WriteModuleFile(u"\\Flash Disk\\added.bin", first));
  ASSERT_TRUE(testing_support::WriteModuleFile(u"\\Flash Disk\\Data\\added.log", second));
  const StoreImage before = ReadStore(FileSystemStoreName);
  ASSERT_GT(before.inUse.size() * before.bytesPerSector,
            RegionTable[FileSystemRegionIndex].used + first.size());
  ASSERT_EQ(
      FWLBackupToFile(testing_support::kBinPath, REGION_FILE_SYSTEM, nullptr, nullptr, nullptr),
      FWL_OK);
  ASSERT_TRUE(DeleteFileW(u"\\Flash Disk\\added.bin"));
  ASSERT_TRUE(DeleteFileW(u"\\Flash Disk\\Data\\added.log"));

  // Written back as the update writes it.
  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(testing_support::kBinPath, &info, nullptr, 1), FWL_OK);
  ASSERT_EQ(FWLDoUpdate(nullptr, nullptr, nullptr), FWL_OK);
  (void)FWLCloseBinFile();
  const StoreImage after = ReadStore(FileSystemStoreName);
  EXPECT_EQ(after.inUse, before.inUse);
  EXPECT_TRUE(after.data == before.data) << "sector contents differ";
  PowerCycle();
  EXPECT_EQ(testing_support::ReadModuleFile(u"\\Flash Disk\\added.bin"), first);
  EXPECT_EQ(testing_support::ReadModuleFile(u"\\Flash Disk\\Data\\added.log"), second);
}

// A store of two partitions, the second taking the rest of the store, filled with a tree.
class FileRoundTripTest : public FileSystemTest {
 protected:
  void SetUp() override {
    FileSystemTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    HANDLE store = OpenStore(FileSystemStoreName);
    ASSERT_NE(store, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(DismountStore(store));
    ASSERT_TRUE(FormatStore(store));
    ASSERT_TRUE(CreatePartitionEx(store, u"Part00", 0x0C, 12000));
    STOREINFO info{};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetStoreInfo(store, &info));
    ASSERT_TRUE(CreatePartitionEx(store, u"Data", 0x0B, info.snBiggestPartCreatable));
    for (const WCHAR* name : {u"Part00", u"Data"}) {
      HANDLE partition = OpenPartition(store, name);
      ASSERT_NE(partition, INVALID_HANDLE_VALUE);
      ASSERT_TRUE(FormatPartition(partition));
      ASSERT_TRUE(MountPartition(partition));
      ASSERT_TRUE(SetPartitionAttributes(partition, PARTITION_ATTRIBUTE_ACTIVE));
      ASSERT_TRUE(CloseHandle(partition));
    }
    ASSERT_TRUE(CloseHandle(store));
    for (const WCHAR* folder :
         {u"\\Flash Disk\\Empty", u"\\Flash Disk\\A", u"\\Flash Disk\\A\\B",
          u"\\Flash Disk\\A\\B\\C", u"\\Flash Disk\\Hidden", u"\\Flash Disk2\\Logs"}) {
      ASSERT_TRUE(CreateDirectoryW(folder, nullptr));
    }
    struct File {
      const WCHAR* path;
      std::size_t size;
      DWORD attributes;
    };
    const File files[] = {
        {u"\\Flash Disk\\A\\B\\C\\deep.txt", 17, FILE_ATTRIBUTE_ARCHIVE},
        {u"\\Flash Disk\\A\\empty.dat", 0, FILE_ATTRIBUTE_NORMAL},
        {u"\\Flash Disk\\A\\large.bin", 3 * 1024 * 1024 + 3, FILE_ATTRIBUTE_ARCHIVE},
        {u"\\Flash Disk\\odd.txt", 5, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
        {u"\\Flash Disk\\system.cfg", 1022, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM},
        {u"\\Flash Disk2\\Logs\\boot.log", 2 * 1024 * 1024 + 1, FILE_ATTRIBUTE_ARCHIVE},
        {u"\\Flash Disk2\\readme.txt", 64, FILE_ATTRIBUTE_NORMAL},
    };
    std::uint32_t seed = 1;
    for (const File& file : files) {
      ASSERT_TRUE(testing_support::WriteModuleFile(file.path, Pattern(file.size, seed)));
      ASSERT_TRUE(testing_support::StampFile(file.path, kTime2010 + seed * kHour,
                                             kTime2010 + (seed + 100) * kHour,
                                             kTime2010 + (seed + 50) * kHour, file.attributes));
      ++seed;
    }
    ASSERT_TRUE(SetFileAttributesW(u"\\Flash Disk\\Hidden",
                                   FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_EQ(FWLScanRegions(REGION_FILE_SYSTEM), FWL_OK);
    first_ = ReadTree(u"\\Flash Disk");
    second_ = ReadTree(u"\\Flash Disk2");
    ASSERT_EQ(first_.size(), 10u);
    ASSERT_EQ(second_.size(), 3u);
  }

  void ExpectTreesBack() {
    EXPECT_EQ(WithoutDirectoryTimes(ReadTree(u"\\Flash Disk")), WithoutDirectoryTimes(first_));
    EXPECT_EQ(WithoutDirectoryTimes(ReadTree(u"\\Flash Disk2")), WithoutDirectoryTimes(second_));
  }

  std::vector<TreeEntry> first_;
  std::vector<TreeEntry> second_;
};

TEST_F(FileRoundTripTest, TreeOfTwoPartitions_ComesBackWithAttributesTimesAndContent) {
  ASSERT_TRUE(testing_support::CreateBinFile());
  ASSERT_EQ(BackupFileSystem(FS_SECTION_FILES), FWL_OK);
  const DWORD size = BinFileSize();
  testing_support::CloseBinFile();

  // The section passes the program's own check of every checksum (files whose sizes are not
  // multiples of four included).
  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(testing_support::kBinPath, &info, nullptr, 1), FWL_OK);
  EXPECT_EQ(info.types, REGION_FILE_SYSTEM);

  // What the backup left behind is gone before the restore.
  ASSERT_TRUE(DeleteFileW(u"\\Flash Disk\\odd.txt"));
  ASSERT_TRUE(CreateDirectoryW(u"\\Flash Disk\\Later", nullptr));
  ASSERT_EQ(UnloadAndRestore(), FWL_OK);
  EXPECT_EQ(testing_support::BinFilePosition(), size);
  (void)FWLCloseBinFile();
  ExpectTreesBack();

  // Both partitions are back with their sizes (the last one with all that was left), type and
  // attributes.
  HANDLE store = OpenStore(FileSystemStoreName);
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  PARTINFO part{};
  part.cbSize = sizeof(part);
  HANDLE search = FindFirstPartition(store, &part);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(part.szPartitionName), u"Part00");
  EXPECT_EQ(part.snNumSectors, 12000u);
  EXPECT_EQ(part.bPartType, 0x0C);
  EXPECT_EQ(part.dwAttributes & ~PARTITION_ATTRIBUTE_MOUNTED, PARTITION_ATTRIBUTE_ACTIVE);
  part.cbSize = sizeof(part);
  ASSERT_TRUE(FindNextPartition(search, &part));
  EXPECT_EQ(std::u16string(part.szPartitionName), u"Data");
  EXPECT_EQ(part.bPartType, 0x0B);
  STOREINFO storeInfo{};
  storeInfo.cbSize = sizeof(storeInfo);
  ASSERT_TRUE(GetStoreInfo(store, &storeInfo));
  EXPECT_EQ(storeInfo.snBiggestPartCreatable, 0u);
  EXPECT_TRUE(FindClosePartition(search));
  EXPECT_TRUE(CloseHandle(store));
}

// Partition records travel in sections made on modules: a mounted partition's record carries the
// platform's MOUNTED bit (0x10) beside its own attributes. A restore gives the partition its own
// attributes back, and MOUNTED stays what the storage manager reports about the mount.
TEST_F(FileRoundTripTest, PartitionRecords_CarryThePlatformsMountedBit) {
  constexpr DWORD kMounted = 0x10;
  constexpr DWORD kActive = 0x08;
  ASSERT_TRUE(testing_support::CreateBinFile());
  ASSERT_EQ(BackupFileSystem(FS_SECTION_FILES), FWL_OK);
  testing_support::CloseBinFile();
  const std::vector<std::uint8_t> file = testing_support::ReadModuleFile(testing_support::kBinPath);
  for (const std::u16string name : {u"Part00", u"Data"}) {
    // A record is cbSize, then the name in UTF-16; dwAttributes sits at offset 288.
    std::vector<std::uint8_t> needle;
    for (const char16_t unit : name + u'\0') {
      needle.push_back(static_cast<std::uint8_t>(unit));
      needle.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    const auto at = std::search(file.begin(), file.end(), needle.begin(), needle.end());
    ASSERT_NE(at, file.end()) << "no partition record for this name";
    const std::size_t record = static_cast<std::size_t>(at - file.begin()) - 4;
    ASSERT_LE(record + 292, file.size());
    const DWORD attributes = file[record + 288] | file[record + 289] << 8 |
                             file[record + 290] << 16 |
                             static_cast<DWORD>(file[record + 291]) << 24;
    EXPECT_EQ(attributes, kActive | kMounted);
  }

  ASSERT_TRUE(testing_support::OpenBinFile());
  ASSERT_EQ(UnloadAndRestore(), FWL_OK);
  testing_support::CloseBinFile();
  HANDLE store = OpenStore(FileSystemStoreName);
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  auto firstAttributes = [&] {
    PARTINFO part{};
    part.cbSize = sizeof(part);
    HANDLE search = FindFirstPartition(store, &part);
    EXPECT_NE(search, INVALID_HANDLE_VALUE);
    (void)FindClosePartition(search);
    return part.dwAttributes;
  };
  EXPECT_EQ(firstAttributes(), kActive | kMounted);
  ASSERT_TRUE(DismountStore(store));
  EXPECT_EQ(firstAttributes(), kActive) << "the mount was stored as an attribute";
  EXPECT_TRUE(CloseHandle(store));
}

TEST_F(FileRoundTripTest, TwoSectionsInOneFile_EachGetsItsOwnDriverAndFormat) {
  ASSERT_TRUE(testing_support::CreateBinFile());
  ASSERT_EQ(BackupFileSystem(FS_SECTION_FILES), FWL_OK);
  ASSERT_EQ(BackupFileSystem(FS_SECTION_SECTORS), FWL_OK);
  const DWORD size = BinFileSize();
  const StoreImage before = ReadStore(FileSystemStoreName);
  ASSERT_TRUE(CreateDirectoryW(u"\\Flash Disk\\Later", nullptr));

  Machine().Calls().Enable(true);
  ASSERT_EQ(UnloadAndRestore(), FWL_OK);
  Machine().Calls().Enable(false);
  EXPECT_EQ(testing_support::BinFilePosition(), size);
  EXPECT_EQ(Machine().Calls().Entries("ActivateDeviceEx").size(), 2u);
  EXPECT_EQ(Machine().Calls().Entries("FormatStore").size(), 2u);
  // The second section, of sectors, had the last word.
  const StoreImage after = ReadStore(FileSystemStoreName);
  EXPECT_EQ(after.inUse, before.inUse);
  EXPECT_TRUE(after.data == before.data) << "sector contents differ";
  testing_support::CloseBinFile();
  PowerCycle();
  ExpectTreesBack();
}

// A header longer than the fixed fields: the restore skips what it does not know.
TEST_F(FileRoundTripTest, LongerHeader_IsSkippedAndTheSectionRestored) {
  ASSERT_TRUE(testing_support::CreateBinFile(u"\\USB HD\\plain.bin"));
  ASSERT_EQ(BackupFileSystem(FS_SECTION_FILES), FWL_OK);
  const DWORD size = BinFileSize();
  ASSERT_EQ(SetFilePointer(BinFileHandle, 0, nullptr, FILE_BEGIN), 0u);
  std::vector<std::uint8_t> plain(size);
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(BinFileHandle, plain.data(), size, &got, nullptr));
  ASSERT_EQ(got, size);
  testing_support::CloseBinFile();
  // 352 bytes: four more bytes in front of the checksum, which covers them.
  std::vector<std::uint8_t> longer(plain.begin(), plain.begin() + 344);
  longer.insert(longer.end(), {0xA5, 0x5A, 0xA5, 0x5A});
  longer[8] = 352 & 0xFF;
  longer[9] = 352 >> 8;
  longer.insert(longer.end(), 4, 0);
  const std::uint32_t checksum =
      sample_content::Fletcher32(std::vector<std::uint8_t>(longer.begin(), longer.begin() + 348));
  for (int i = 0; i < 4; ++i) {
    longer[348 + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
  }
  longer.insert(longer.end(), plain.begin() + 348, plain.end());
  ASSERT_TRUE(testing_support::WriteModuleFile(testing_support::kBinPath, longer));
  ImageInfo info{};
  ASSERT_EQ(FWLSetBinFile(testing_support::kBinPath, &info, nullptr, 1), FWL_OK);

  ASSERT_EQ(UnloadAndRestore(), FWL_OK);
  EXPECT_EQ(testing_support::BinFilePosition(), size + 4);
  (void)FWLCloseBinFile();
  ExpectTreesBack();
}

}  // namespace
