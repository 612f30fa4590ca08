// Restoring the file system from the sections of a bin file: what it refuses, where it leaves
// the file position, what every failure reports, and that nothing is ever written outside the
// volume it restores.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/sample_content.h"
#include "sim/os/registry.h"
#include "tests/support/faults.h"
#include "tests/support/file_system_fixture.h"
#include "tests/support/test_names.h"

namespace {

using sample_content::Bytes;
using testing_support::FileSystemTest;

constexpr const char* kOwnKey = "HKLM\\Drivers\\BuiltIn\\FWLFMD";
constexpr const char* kProfile = "HKLM\\System\\StorageManager\\Profiles\\FlashDisk";

void Append(Bytes& bytes, const Bytes& more) {
  bytes.insert(bytes.end(), more.begin(), more.end());
}

// A header as the backup of this module writes it.
FsSectionHeader ModuleHeader(DWORD kind) {
  FsSectionHeader header{};
  EXPECT_TRUE(testing_support::CreateBinFile(u"\\USB HD\\scratch.bin"));
  EXPECT_EQ(BackupFileSystem(FS_SECTION_SECTORS), FWL_OK);
  testing_support::CloseBinFile();
  const Bytes bytes = testing_support::ReadModuleFile(u"\\USB HD\\scratch.bin");
  if (bytes.size() >= kFsHeaderBytes) {
    DecodeFsSectionHeader(bytes.data(), &header);
  }
  header.kind = kind;
  return header;
}

Bytes Section(FsSectionHeader header, const Bytes& payload) {
  header.dataLength = static_cast<DWORD>(payload.size());
  Bytes bytes(kFsHeaderBytes);
  EncodeFsSectionHeader(header, bytes.data());
  const std::uint32_t checksum =
      sample_content::Fletcher32(Bytes(bytes.begin(), bytes.begin() + kFsHeaderBytes - 4));
  for (int i = 0; i < 4; ++i) {
    bytes[kFsHeaderBytes - 4 + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
  }
  Append(bytes, payload);
  return bytes;
}

Bytes PartitionRecord(const std::u16string& volume, DWORD used = 0) {
  PARTINFO info{};
  info.cbSize = used;
  const std::u16string name = u"Part00";
  std::copy(name.begin(), name.end(), info.szPartitionName);
  std::copy(volume.begin(), volume.end(), info.szVolumeName);
  info.snNumSectors = ~ULONGLONG{0};
  info.bPartType = 0x0C;
  Bytes bytes(kPartInfoBytes);
  EncodePartInfo(info, bytes.data());
  return bytes;
}

// An entry record; a path of 260 units or more is stored without its terminator.
Bytes EntryRecord(const std::u16string& path, DWORD attributes, DWORD size) {
  WIN32_FIND_DATAW data{};
  data.dwFileAttributes = attributes;
  data.nFileSizeLow = size;
  data.ftCreationTime = testing_support::FileTimeOf(0x01CA8A755C6E0000ull);
  data.ftLastAccessTime = data.ftLastWriteTime = data.ftCreationTime;
  std::copy_n(path.begin(), std::min<std::size_t>(path.size(), MAX_PATH), data.cFileName);
  Bytes bytes(kFindDataBytes);
  EncodeFindData(data, bytes.data());
  return bytes;
}

Bytes Directory(const std::u16string& path) {
  return EntryRecord(path, FILE_ATTRIBUTE_DIRECTORY, 0);
}

Bytes File(const std::u16string& path, const Bytes& content) {
  Bytes bytes = EntryRecord(path, FILE_ATTRIBUTE_ARCHIVE, static_cast<DWORD>(content.size()));
  Append(bytes, content);
  return bytes;
}

// A files section of one partition mounted at volume with the given entries after its own.
Bytes FilesPayload(const std::u16string& volume, const std::vector<Bytes>& entries) {
  Bytes payload(kFsChunkHeaderBytes, 0);
  Append(payload, PartitionRecord(volume));
  Append(payload, Directory(volume));
  for (const Bytes& entry : entries) {
    Append(payload, entry);
  }
  return payload;
}

class RestoreTest : public FileSystemTest {
 protected:
  // Writes the bin file and restores from its start, as the update does after its unload.
  FwlStatus Restore(const Bytes& file) {
    EXPECT_TRUE(testing_support::WriteModuleFile(testing_support::kBinPath, file));
    EXPECT_EQ(UnloadFlashDriver(), FWL_OK);
    EXPECT_TRUE(testing_support::OpenBinFile());
    Machine().Calls().Enable(true);
    const FwlStatus status = RestoreFileSystem();
    Machine().Calls().Enable(false);
    position_ = testing_support::BinFilePosition();
    testing_support::CloseBinFile();
    return status;
  }
  std::size_t Calls(const char* name) { return Machine().Calls().Entries(name).size(); }
  static bool Exists(const WCHAR* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
  }
  static bool DriverValuesGone() {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    return !sim::RegistryGetValue(kOwnKey, "Dll", &type, &data);
  }
  DWORD position_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Paths from the file
// ---------------------------------------------------------------------------------------------
struct PathCase {
  const char* name;
  std::u16string volume;
  std::vector<Bytes> entries;
  FwlStatus status;
  std::vector<const WCHAR*> created;
  std::vector<const WCHAR*> absent;
};

class RestorePathTest : public RestoreTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(RestorePathTest, NothingIsWrittenOutsideTheVolume) {
  const PathCase& c = GetParam();
  std::vector<Bytes> entries = {File(u"\\Flash Disk\\good.txt", Bytes{'o', 'k'})};
  if (c.volume != u"\\Flash Disk") {
    entries.clear();
  }
  entries.insert(entries.end(), c.entries.begin(), c.entries.end());
  FsSectionHeader header = ModuleHeader(FS_SECTION_FILES);
  header.storeInfo.dwPartitionCount = 1;
  EXPECT_EQ(Restore(Section(header, FilesPayload(c.volume, entries))), c.status);
  for (const WCHAR* path : c.created) {
    EXPECT_TRUE(Exists(path)) << testing_support::ReadTree(u"\\Flash Disk").size();
  }
  for (const WCHAR* path : c.absent) {
    EXPECT_FALSE(Exists(path));
  }
  EXPECT_TRUE(DriverValuesGone());
}

std::u16string Long(std::size_t units) {
  return u"\\Flash Disk\\" + std::u16string(units - 12, u'n');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestorePathTest,
    ::testing::Values(
        PathCase{"Accepted",
                 u"\\Flash Disk",
                 {Directory(u"\\Flash Disk\\Sub"), File(u"\\Flash Disk\\Sub\\x.txt", Bytes(3, 1))},
                 FWL_OK,
                 {u"\\Flash Disk\\good.txt", u"\\Flash Disk\\Sub\\x.txt"},
                 {}},
        PathCase{"DotDotFile",
                 u"\\Flash Disk",
                 {File(u"\\Flash Disk\\..\\Windows\\evil.txt", Bytes(3, 1))},
                 FWL_ERR_BAD_FILE,
                 {u"\\Flash Disk\\good.txt"},
                 {u"\\Windows\\evil.txt"}},
        PathCase{"DotDotDirectory",
                 u"\\Flash Disk",
                 {Directory(u"\\Flash Disk\\Sub\\..\\..\\Evil")},
                 FWL_ERR_BAD_FILE,
                 {},
                 {u"\\Evil", u"\\Flash Disk\\Sub"}},
        PathCase{"Dot",
                 u"\\Flash Disk",
                 {File(u"\\Flash Disk\\.\\evil.txt", Bytes(3, 1))},
                 FWL_ERR_BAD_FILE,
                 {},
                 {u"\\Flash Disk\\evil.txt"}},
        PathCase{"SiblingOfTheVolume",
                 u"\\Flash Disk",
                 {File(u"\\Flash Disk2\\evil.txt", Bytes(3, 1))},
                 FWL_ERR_BAD_FILE,
                 {},
                 {u"\\Flash Disk2\\evil.txt", u"\\Flash Disk2"}},
        PathCase{"Unterminated",
                 u"\\Flash Disk",
                 {File(Long(MAX_PATH), Bytes(3, 1))},
                 FWL_ERR_BAD_FILE,
                 {},
                 {}},
        PathCase{"LongestPath",
                 u"\\Flash Disk",
                 {File(Long(MAX_PATH - 1), Bytes(3, 1))},
                 FWL_OK,
                 {},
                 {}},
        PathCase{
            "ContentPastTheSection",
            u"\\Flash Disk",
            {EntryRecord(u"\\Flash Disk\\cut.txt", FILE_ATTRIBUTE_ARCHIVE, 1000), Bytes(10, 7)},
            FWL_ERR_BAD_FILE,
            {},
            {u"\\Flash Disk\\cut.txt"}},
        // A volume the backup saw mounted elsewhere: its entries go below the folder at which
        // the restored partition is mounted, never below the folder that the file names.
        PathCase{"VolumeNamedElsewhere",
                 u"\\Windows",
                 {File(u"\\Windows\\moved.txt", Bytes(5, 2))},
                 FWL_OK,
                 {u"\\Flash Disk\\moved.txt"},
                 {u"\\Windows\\moved.txt"}}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Sections and what follows them
// ---------------------------------------------------------------------------------------------
struct TailCase {
  const char* name;
  Bytes tail;
};

class RestoreTailTest : public RestoreTest, public ::testing::WithParamInterface<TailCase> {};

TEST_P(RestoreTailTest, WhatFollowsTheLastSection_IsGivenBack) {
  const Bytes section = Section(ModuleHeader(FS_SECTION_SECTORS), {});
  Bytes file = section;
  Append(file, GetParam().tail);
  EXPECT_EQ(Restore(file), FWL_OK);
  EXPECT_EQ(position_, section.size());
  EXPECT_EQ(Calls("FormatStore"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, RestoreTailTest,
                         ::testing::Values(TailCase{"Nothing", {}},
                                           TailCase{"ShortTail", Bytes(100, 0x5A)},
                                           TailCase{"NotASection", Bytes(348, 0x5A)},
                                           TailCase{"LongTail", Bytes(4000, 0x5A)}),
                         testing_support::CaseName());

struct RefusalCase {
  const char* name;
  std::function<Bytes(const FsSectionHeader&)> file;  // from a sectors header of the module
  FwlStatus status;
  bool formatted;
};

class RestoreRefusalTest : public RestoreTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RestoreRefusalTest, RefusedWithItsStatusAndTheKeyCleaned) {
  // Values left in the program's key show that it is cleaned on every path.
  ASSERT_TRUE(sim::RegistrySetString(kOwnKey, "Dll", "left over"));
  EXPECT_EQ(Restore(GetParam().file(ModuleHeader(FS_SECTION_SECTORS))), GetParam().status);
  EXPECT_EQ(Calls("FormatStore"), GetParam().formatted ? 1u : 0u);
  EXPECT_TRUE(DriverValuesGone());
}

Bytes Changed(const FsSectionHeader& header, const std::function<void(FsSectionHeader*)>& change,
              const Bytes& payload = {}) {
  FsSectionHeader copy = header;
  change(&copy);
  return Section(copy, payload);
}

Bytes Cut(Bytes bytes, std::size_t drop) {
  bytes.resize(bytes.size() - drop);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestoreRefusalTest,
    ::testing::Values(
        RefusalCase{"Empty", [](const FsSectionHeader&) { return Bytes{}; }, FWL_ERR_BAD_FILE,
                    false},
        RefusalCase{"ShortHeader",
                    [](const FsSectionHeader& header) { return Cut(Section(header, {}), 1); },
                    FWL_ERR_BAD_FILE, false},
        RefusalCase{"NotASection", [](const FsSectionHeader&) { return Bytes(400, 0x11); },
                    FWL_ERR_BAD_FILE, false},
        RefusalCase{"ForeignFormat",
                    [](const FsSectionHeader& header) {
                      return Changed(header, [](FsSectionHeader* h) { h->magic = 0x46465348; });
                    },
                    FWL_ERR_FILE_VERSION, false},
        RefusalCase{"Version2",
                    [](const FsSectionHeader& header) {
                      return Changed(header, [](FsSectionHeader* h) { h->version = 2; });
                    },
                    FWL_ERR_FILE_VERSION, false},
        RefusalCase{"Kind4AfterTheFormat",
                    [](const FsSectionHeader& header) {
                      return Changed(header, [](FsSectionHeader* h) { h->kind = 4; });
                    },
                    FWL_ERR_FILE_VERSION, true},
        RefusalCase{"ChunkHeaderCut",
                    [](const FsSectionHeader& header) {
                      return Cut(Section(header, sample_content::Chunk(1, Bytes(512, 3))), 516);
                    },
                    FWL_ERR_BAD_FILE, true},
        RefusalCase{"SectorDataCut",
                    [](const FsSectionHeader& header) {
                      return Cut(Section(header, sample_content::Chunk(1, Bytes(1024, 3))), 100);
                    },
                    FWL_ERR_BAD_FILE, true},
        RefusalCase{"PartitionRecordCut",
                    [](const FsSectionHeader& header) {
                      FsSectionHeader files = header;
                      files.kind = FS_SECTION_FILES;
                      files.storeInfo.dwPartitionCount = 1;
                      Bytes payload(kFsChunkHeaderBytes, 0);
                      Append(payload, PartitionRecord(u"\\Flash Disk"));
                      return Cut(Section(files, payload), 10);
                    },
                    FWL_ERR_BAD_FILE, true}),
    testing_support::CaseName());

int RefusePreparing(DWORD done, DWORD /*total*/) { return done == 1 ? 0 : 1; }

TEST_F(RestoreTest, PreparingAnsweredNo_StopsBeforeAnyRegistryChange) {
  ASSERT_TRUE(sim::RegistrySetString(kOwnKey, "Dll", "left over"));
  EraseProgressFn = RefusePreparing;
  EXPECT_EQ(Restore(Section(ModuleHeader(FS_SECTION_SECTORS), {})), FWL_ERR_ABORTED);
  EXPECT_EQ(Calls("ActivateDeviceEx"), 0u);
  std::uint32_t autoMount = 0;
  ASSERT_TRUE(sim::RegistryGetDword(kProfile, "AutoMount", &autoMount));
  EXPECT_EQ(autoMount, 1u);
  EXPECT_TRUE(DriverValuesGone());
}

// ---------------------------------------------------------------------------------------------
// Failures of the platform, each with the status the restore gives it
// ---------------------------------------------------------------------------------------------
struct FaultCase {
  const char* name;
  sim::Json fault;
  DWORD kind;
  FwlStatus status;
};

class RestoreFaultTest : public RestoreTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(RestoreFaultTest, FailureSurfacesAsItsStatus) {
  const FaultCase& c = GetParam();
  FsSectionHeader header = ModuleHeader(c.kind);
  Bytes payload;
  if (c.kind == FS_SECTION_FILES) {
    header.storeInfo.dwPartitionCount = 1;
    payload = FilesPayload(u"\\Flash Disk", {Directory(u"\\Flash Disk\\Sub"),
                                             File(u"\\Flash Disk\\Sub\\x.txt", Bytes(9, 4))});
  } else {
    payload = sample_content::Chunk(100, Bytes(2 * header.storeInfo.dwBytesPerSector, 4));
  }
  Machine().Faults().Add(c.fault);
  EXPECT_EQ(Restore(Section(header, payload)), c.status);
  EXPECT_TRUE(DriverValuesGone());
}

sim::Json Call(const char* name) { return faults::Call{.name = name, .count = 1}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, RestoreFaultTest,
    ::testing::Values(
        FaultCase{"Activation", Call("ActivateDeviceEx"), FS_SECTION_FILES, FWL_ERR_FS_DRIVER},
        FaultCase{"StoreFormat", faults::StorageStore{.fail = "format"}, FS_SECTION_FILES,
                  FWL_ERR_FORMAT_STORE},
        FaultCase{"StoreDismount", faults::StorageStore{.fail = "dismount"}, FS_SECTION_SECTORS,
                  FWL_ERR_FORMAT_STORE},
        FaultCase{"StoreInformation", Call("GetStoreInfo"), FS_SECTION_FILES, FWL_ERR_FORMAT_STORE},
        FaultCase{"CreatePartition", Call("CreatePartitionEx"), FS_SECTION_FILES,
                  FWL_ERR_FORMAT_STORE},
        FaultCase{"OpenPartition", Call("OpenPartition"), FS_SECTION_FILES, FWL_ERR_FORMAT_STORE},
        FaultCase{"FormatPartition", Call("FormatPartition"), FS_SECTION_FILES,
                  FWL_ERR_FORMAT_STORE},
        FaultCase{"MountPartition", Call("MountPartition"), FS_SECTION_FILES, FWL_ERR_FORMAT_STORE},
        FaultCase{"PartitionAttributes", Call("SetPartitionAttributes"), FS_SECTION_FILES,
                  FWL_ERR_FORMAT_STORE},
        FaultCase{"FileCannotBeCreated", faults::StorageFile{.path = "\\Flash Disk\\Sub\\*.txt"},
                  FS_SECTION_FILES, FWL_ERR_FILE_SYSTEM},
        // The first creation is the volume's own folder, which exists.
        FaultCase{"DirectoryCannotBeCreated",
                  faults::Call{.name = "CreateDirectoryW", .skip = 1, .count = 1}, FS_SECTION_FILES,
                  FWL_ERR_FILE_SYSTEM},
        FaultCase{"FileTimes", Call("SetFileTime"), FS_SECTION_FILES, FWL_ERR_FILE_SYSTEM},
        FaultCase{"SectorWrite", faults::StorageSector{.operation = "write"}, FS_SECTION_SECTORS,
                  FWL_ERR_FILE_SYSTEM}),
    testing_support::CaseName());

}  // namespace
