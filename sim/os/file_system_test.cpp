// The module's files: names, the boundary of files/, dispositions, share modes, searches,
// attributes and times, volumes and free space.
#include "sim/os/file_system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/base/files.h"
#include "sim/base/utf.h"
#include "sim/os/real_time_clock.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;

class FilesTest : public testing_support::ModuleTest {
 protected:
  // Creates a file with the given bytes; returns false when any call fails.
  static bool MakeFile(const char16_t* path, const std::string& content,
                       DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return false;
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    return CloseHandle(file) && ok && written == content.size();
  }

  static std::string ReadAll(const char16_t* path) {
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return "<cannot open>";
    }
    std::string content(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr);
    CloseHandle(file);
    return content.substr(0, read);
  }

  // Names of a search, in order.
  static std::vector<std::u16string> Find(const char16_t* pattern) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW data{};
    HANDLE search = FindFirstFileW(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) {
      return names;
    }
    do {
      names.emplace_back(data.cFileName);
    } while (FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(search));
    return names;
  }

  fs::path Files() { return ModuleDirectory() / "files"; }
};

// ---------------------------------------------------------------------------------------------
// The boundary of files/
// ---------------------------------------------------------------------------------------------
TEST_F(FilesTest, HostilePaths_NeverReachOutsideFiles) {
  // A folder beside the module's files and a link inside files/ that points at it.
  const fs::path outside = ModuleDirectory().parent_path() / "outside";
  fs::create_directories(outside);
  ASSERT_TRUE(sim::WriteWholeFile(outside / "secret.txt", "secret", nullptr));
  fs::create_directories(Files() / "Data");
  fs::create_symlink(outside, Files() / "Data" / "link");
  fs::create_symlink(outside / "secret.txt", Files() / "secret-link.txt");

  struct Case {
    const char16_t* path;
    DWORD error;  // 0: allowed, and must land inside files/
  };
  const Case cases[] = {
      {u"..\\outside\\x.txt", ERROR_INVALID_NAME},
      {u"\\..\\..\\outside\\x.txt", ERROR_INVALID_NAME},
      {u"\\Data\\..\\..\\outside\\x.txt", ERROR_INVALID_NAME},
      {u"/../outside/x.txt", ERROR_INVALID_NAME},
      {u"\\.\\x.txt", ERROR_INVALID_NAME},
      {u"\\Data\\link\\x.txt", ERROR_ACCESS_DENIED},
      {u"\\Data\\LINK\\secret.txt", ERROR_ACCESS_DENIED},
      {u"\\secret-link.txt", ERROR_ACCESS_DENIED},
      {u"C:\\outside\\x.txt", ERROR_INVALID_NAME},
      {u"\\Data\\a\x01"
       u"b.txt",
       ERROR_INVALID_NAME},
      {u"\\Data\\x.txt.", ERROR_INVALID_NAME},
      {u"/tmp/x.txt", ERROR_PATH_NOT_FOUND},  // \tmp does not exist inside files/
      {u"//Data//inside.txt", 0},
      {u"Data\\relative.txt", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::ToUtf8(c.path));
    HANDLE file =
        CreateFileW(c.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (c.error != 0) {
      EXPECT_EQ(file, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_FALSE(DeleteFileW(c.path));
      EXPECT_FALSE(CreateDirectoryW(c.path, nullptr));
      EXPECT_EQ(GetFileAttributesW(c.path), INVALID_FILE_ATTRIBUTES);
      WIN32_FIND_DATAW data{};
      EXPECT_EQ(FindFirstFileW(c.path, &data), INVALID_HANDLE_VALUE);
    } else {
      ASSERT_NE(file, INVALID_HANDLE_VALUE);
      EXPECT_TRUE(CloseHandle(file));
    }
  }
  EXPECT_FALSE(MoveFileW(u"\\Data\\inside.txt", u"\\..\\outside\\moved.txt"));
  EXPECT_FALSE(MoveFileW(u"\\Data\\inside.txt", u"\\Data\\link\\moved.txt"));
  // Outside holds exactly what it held; inside holds the two allowed files.
  std::set<std::string> outsideNow;
  for (const auto& entry : fs::directory_iterator(outside)) {
    outsideNow.insert(entry.path().filename().string());
  }
  EXPECT_EQ(outsideNow, std::set<std::string>{"secret.txt"});
  EXPECT_TRUE(fs::exists(Files() / "Data" / "inside.txt"));
  EXPECT_TRUE(fs::exists(Files() / "Data" / "relative.txt"));
  // Links are not shown by searches either.
  const auto names = Find(u"\\Data\\*");
  EXPECT_EQ(std::count(names.begin(), names.end(), u"link"), 0);
  fs::remove_all(outside);
}

TEST_F(FilesTest, Names_AreMatchedIgnoringCaseAndKeepTheirSpelling) {
  ASSERT_TRUE(CreateDirectoryW(u"\\Images", nullptr));
  ASSERT_TRUE(MakeFile(u"\\images\\Update.BIN", "data"));
  EXPECT_EQ(ReadAll(u"\\IMAGES\\update.bin"), "data");
  EXPECT_TRUE(fs::exists(Files() / "Images" / "Update.BIN"));
  EXPECT_EQ(Find(u"\\iMaGeS\\*.bin"), std::vector<std::u16string>{u"Update.BIN"});
  EXPECT_FALSE(CreateDirectoryW(u"\\IMAGES", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  // A rename that only changes the case takes the new spelling.
  ASSERT_TRUE(MoveFileW(u"\\Images\\update.bin", u"\\Images\\UPDATE.bin"));
  EXPECT_EQ(Find(u"\\Images\\*"), std::vector<std::u16string>{u"UPDATE.bin"});
}

// ---------------------------------------------------------------------------------------------
// Opening files
// ---------------------------------------------------------------------------------------------
struct DispositionCase {
  DWORD disposition;
  bool exists;
  bool opens;
  DWORD lastError;
  DWORD sizeAfter;  // of a file that held 5 bytes before
};

TEST_F(FilesTest, Dispositions_OpenCreateAndTruncateAsThePlatformDoes) {
  const DispositionCase cases[] = {
      {CREATE_NEW, false, true, ERROR_SUCCESS, 0},
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS, 5},
      {CREATE_ALWAYS, false, true, ERROR_SUCCESS, 0},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, 0},
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, 0},
      {OPEN_EXISTING, true, true, ERROR_SUCCESS, 5},
      {OPEN_ALWAYS, false, true, ERROR_SUCCESS, 0},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, 5},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, 0},
      {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, 0},
  };
  for (const DispositionCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << " exists " << c.exists);
    DeleteFileW(u"\\probe.txt");
    if (c.exists) {
      ASSERT_TRUE(MakeFile(u"\\probe.txt", "12345"));
    }
    SetLastError(12345);
    HANDLE file = CreateFileW(u"\\probe.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              c.disposition, 0, nullptr);
    EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.opens);
    EXPECT_EQ(GetLastError(), c.lastError);
    if (file != INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetFileSize(file, nullptr), c.sizeAfter);
      CloseHandle(file);
    }
  }
  EXPECT_EQ(
      CreateFileW(u"\\nofolder\\probe.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateFileW(u"\\probe.txt", GENERIC_READ, 0, nullptr, 0, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ASSERT_TRUE(CreateDirectoryW(u"\\Folder", nullptr));
  EXPECT_EQ(CreateFileW(u"\\folder", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

struct ShareCase {
  DWORD firstAccess;
  DWORD firstShare;
  DWORD secondAccess;
  DWORD secondShare;
  bool secondOpens;
};

TEST_F(FilesTest, ShareModes_AreHonouredBetweenOpenHandles) {
  constexpr DWORD R = GENERIC_READ;
  constexpr DWORD W = GENERIC_WRITE;
  constexpr DWORD SR = FILE_SHARE_READ;
  constexpr DWORD SW = FILE_SHARE_WRITE;
  const ShareCase cases[] = {
      {R, 0, R, SR, false},        // the first shares nothing
      {R, SR, R, SR, true},        // two readers sharing reading
      {R, SR, R, 0, false},        // the second would keep the first reader out
      {R, SR, W, SR | SW, false},  // the first does not share writing
      {R, SR | SW, W, SR, true},   // reader shares writing; writer shares reading
      {W, SR, R, SR | SW, true},   // writer shares reading; reader lets the writer be
      {W, SR, R, SR, false},       // the reader would not share the first's writing
      {W, SR | SW, W, SR | SW, true},
      {0, 0, R | W, 0, true},  // a handle without access conflicts with nothing
  };
  ASSERT_TRUE(MakeFile(u"\\shared.txt", "x"));
  for (const ShareCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.firstAccess << "/" << c.firstShare << " then "
                                    << c.secondAccess << "/" << c.secondShare);
    HANDLE first = CreateFileW(u"\\shared.txt", c.firstAccess, c.firstShare, nullptr, OPEN_EXISTING,
                               0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = CreateFileW(u"\\SHARED.TXT", c.secondAccess, c.secondShare, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens);
    if (second == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    } else {
      CloseHandle(second);
    }
    CloseHandle(first);
  }
  // An open file cannot be deleted, replaced or moved; once closed it can.
  HANDLE open = CreateFileW(u"\\shared.txt", R, SR | SW, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileW(u"\\shared.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(MoveFileW(u"\\shared.txt", u"\\moved.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(open);
  EXPECT_TRUE(DeleteFileW(u"\\shared.txt"));
}

TEST_F(FilesTest, ReadWriteSeek_FollowTheHandlesAccessAndPosition) {
  HANDLE file =
      CreateFileW(u"\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, "abcdef", 6, &done, nullptr));
  EXPECT_EQ(SetFilePointer(file, -2, nullptr, FILE_CURRENT), 4u);
  char buffer[8] = {};
  ASSERT_TRUE(ReadFile(file, buffer, 8, &done, nullptr));
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(std::string(buffer, 2), "ef");
  ASSERT_TRUE(ReadFile(file, buffer, 8, &done, nullptr));  // at the end: success, nothing read
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(SetFilePointer(file, -7, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 6u);  // unchanged by the failure
  EXPECT_EQ(SetFilePointer(file, 3, nullptr, FILE_BEGIN), 3u);
  ASSERT_TRUE(SetEndOfFile(file));
  EXPECT_EQ(GetFileSize(file, nullptr), 3u);
  EXPECT_FALSE(ReadFile(file, buffer, 1, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(file);
  file =
      CreateFileW(u"\\data.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(WriteFile(file, "x", 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(SetEndOfFile(file));
  CloseHandle(file);
  EXPECT_FALSE(CloseHandle(file));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(ReadFile(file, buffer, 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---------------------------------------------------------------------------------------------
// Searches
// ---------------------------------------------------------------------------------------------
TEST_F(FilesTest, Searches_NeverReturnDotEntriesAndMatchWildcards) {
  ASSERT_TRUE(CreateDirectoryW(u"\\Dir", nullptr));
  ASSERT_TRUE(CreateDirectoryW(u"\\Dir\\Sub", nullptr));
  ASSERT_TRUE(MakeFile(u"\\Dir\\a.txt", "1"));
  ASSERT_TRUE(MakeFile(u"\\Dir\\b.bin", "22"));
  ASSERT_TRUE(MakeFile(u"\\Dir\\noext", "333"));
  // Host entries the module could not hold are not shown.
  ASSERT_TRUE(sim::WriteWholeFile(Files() / "Dir" / "bad:name", "x", nullptr));
  for (const char16_t* pattern : {u"\\Dir\\*", u"\\Dir\\*.*", u"\\Dir\\*.", u"\\*"}) {
    SCOPED_TRACE(sim::ToUtf8(pattern));
    for (const std::u16string& name : Find(pattern)) {
      EXPECT_NE(name, u".");
      EXPECT_NE(name, u"..");
      EXPECT_NE(name, u"bad:name");
    }
  }
  EXPECT_EQ(Find(u"\\Dir\\*"), (std::vector<std::u16string>{u"a.txt", u"b.bin", u"noext", u"Sub"}));
  EXPECT_EQ(Find(u"\\Dir\\*.*"), Find(u"\\Dir\\*"));
  EXPECT_EQ(Find(u"\\Dir\\?.txt"), std::vector<std::u16string>{u"a.txt"});
  EXPECT_EQ(Find(u"\\Dir\\*.BIN"), std::vector<std::u16string>{u"b.bin"});
  EXPECT_TRUE(Find(u"\\Dir\\Sub\\*").empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // A name without wildcards finds the entry itself, a folder included.
  WIN32_FIND_DATAW data{};
  HANDLE search = FindFirstFileW(u"\\dir", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u"Dir");
  EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_FALSE(FindNextFileW(search, &data));
  EXPECT_TRUE(FindClose(search));
  EXPECT_FALSE(FindClose(search));
  EXPECT_EQ(FindFirstFileW(u"\\Missing\\*", &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// ---------------------------------------------------------------------------------------------
// Attributes and times
// ---------------------------------------------------------------------------------------------
TEST_F(FilesTest, AttributesAndTimes_SurviveANewProcessAndAModuleReset) {
  ASSERT_TRUE(MakeFile(u"\\kept.txt", "content", FILE_ATTRIBUTE_HIDDEN));
  const FILETIME creation{0x11111100, 0x01C9A000};
  const FILETIME access{0x22222200, 0x01C9A100};
  const FILETIME write{0x33333300, 0x01C9A200};
  HANDLE file = CreateFileW(u"\\kept.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileTime(file, &creation, &access, &write));
  CloseHandle(file);
  ASSERT_TRUE(SetFileAttributesW(u"\\kept.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
  Reattach();
  std::string error;
  sim::Detach();
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_EQ(GetFileAttributesW(u"\\KEPT.TXT"),
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
  WIN32_FIND_DATAW data{};
  HANDLE search = FindFirstFileW(u"\\kept.txt", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  EXPECT_EQ(sim::FromFileTime(data.ftCreationTime), sim::FromFileTime(creation));
  EXPECT_EQ(sim::FromFileTime(data.ftLastAccessTime), sim::FromFileTime(access));
  EXPECT_EQ(sim::FromFileTime(data.ftLastWriteTime), sim::FromFileTime(write));
  EXPECT_EQ(data.nFileSizeLow, 7u);
  // Read-only keeps writers and deleters out.
  EXPECT_EQ(CreateFileW(u"\\kept.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(u"\\kept.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // Moving takes the attributes and times along.
  ASSERT_TRUE(CreateDirectoryW(u"\\Moved", nullptr));
  ASSERT_TRUE(MoveFileW(u"\\kept.txt", u"\\Moved\\kept.txt"));
  EXPECT_EQ(GetFileAttributesW(u"\\Moved\\kept.txt"),
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(GetFileAttributesW(u"\\kept.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FilesTest, WrittenFile_TakesTheModulesTimeAndTheArchiveAttribute) {
  ASSERT_TRUE(MakeFile(u"\\fresh.txt", "a"));
  ASSERT_TRUE(SetFileAttributesW(u"\\fresh.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesW(u"\\fresh.txt"), 0u);
  Sleep(5000);  // the module's clock moves on five seconds
  const std::uint64_t before = sim::ModuleTimeNow();
  HANDLE file = CreateFileW(u"\\fresh.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, "b", 1, &done, nullptr));
  CloseHandle(file);
  EXPECT_EQ(GetFileAttributesW(u"\\fresh.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  file = CreateFileW(u"\\fresh.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  FILETIME creation{};
  FILETIME write{};
  ASSERT_TRUE(GetFileTime(file, &creation, nullptr, &write));
  CloseHandle(file);
  EXPECT_GE(sim::FromFileTime(write), before);
  EXPECT_LE(sim::FromFileTime(creation) + 5000 * 10000ull, sim::FromFileTime(write));
}

// ---------------------------------------------------------------------------------------------
// Folders, volumes and space
// ---------------------------------------------------------------------------------------------
TEST_F(FilesTest, Folders_CreateAndRemoveWithThePlatformsErrors) {
  EXPECT_FALSE(CreateDirectoryW(u"\\A\\B", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  ASSERT_TRUE(CreateDirectoryW(u"\\A", nullptr));
  ASSERT_TRUE(CreateDirectoryW(u"\\A\\B\\", nullptr));
  EXPECT_FALSE(RemoveDirectoryW(u"\\A"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  ASSERT_TRUE(MakeFile(u"\\A\\file", "x"));
  EXPECT_FALSE(RemoveDirectoryW(u"\\A\\file"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(DeleteFileW(u"\\A\\B"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(MoveFileW(u"\\A", u"\\A\\B\\C"));
  EXPECT_TRUE(MoveFileW(u"\\A\\file", u"\\A\\B\\file"));
  EXPECT_FALSE(MoveFileW(u"\\A\\B\\file", u"\\A\\B"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(DeleteFileW(u"\\A\\B\\file"));
  EXPECT_TRUE(RemoveDirectoryW(u"\\A\\B"));
  EXPECT_TRUE(RemoveDirectoryW(u"\\A"));
  EXPECT_FALSE(RemoveDirectoryW(u"\\"));
  EXPECT_EQ(GetFileAttributesW(u"\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FilesTest, MountedVolume_HasItsOwnSpaceAndRefusesWritesBeyondIt) {
  std::string error;
  ASSERT_TRUE(sim::MountVolume({u"Test Volume", 8192, nullptr}, &error)) << error;
  EXPECT_EQ(GetFileAttributesW(u"\\test volume"),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY));
  ASSERT_TRUE(MakeFile(u"\\Test Volume\\one.bin", std::string(3000, 'a')));
  ULARGE_INTEGER available{};
  ULARGE_INTEGER total{};
  ULARGE_INTEGER free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"\\Test Volume", &available, &total, &free));
  EXPECT_EQ(total.QuadPart, 8192u);
  EXPECT_EQ(free.QuadPart, 8192u - 3000u);
  EXPECT_EQ(available.QuadPart, free.QuadPart);
  // The root's store is another volume.
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"\\", nullptr, &total, nullptr));
  EXPECT_EQ(total.QuadPart, 32u << 20);
  // A write that does not fit fails and leaves the file as it was.
  HANDLE file =
      CreateFileW(u"\\Test Volume\\two.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const std::string big(6000, 'b');
  DWORD written = 1;
  EXPECT_FALSE(WriteFile(file, big.data(), static_cast<DWORD>(big.size()), &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(GetFileSize(file, nullptr), 0u);
  ASSERT_TRUE(WriteFile(file, big.data(), 5000, &written, nullptr));
  CloseHandle(file);
  ASSERT_TRUE(MakeFile(u"\\big.bin", big));
  EXPECT_FALSE(MoveFileW(u"\\big.bin", u"\\Test Volume\\big.bin"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_FALSE(RemoveDirectoryW(u"\\Test Volume"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(FilesTest, UsbDrive_IsTheHostFolderGivenAtAttach) {
  testing_support::TemporaryDirectory drive;
  fs::create_directories(drive.Path() / "IMAGES");
  ASSERT_TRUE(sim::WriteWholeFile(drive.Path() / "IMAGES" / "os.bin", "image", nullptr));
  sim::Detach();
  sim::AttachOptions options;
  options.usbFolder = drive.Path();
  std::string error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), options, &error)) << error;
  EXPECT_EQ(ReadAll(u"\\usb hd\\images\\OS.BIN"), "image");
  EXPECT_EQ(GetFileAttributesW(u"\\USB HD"),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY));
  ASSERT_TRUE(MakeFile(u"\\USB HD\\backup.bin", "saved"));
  EXPECT_TRUE(fs::exists(drive.Path() / "backup.bin"));
  const auto root = Find(u"\\*");
  EXPECT_EQ(std::count(root.begin(), root.end(), u"USB HD"), 1);
  // A folder that is not there cannot be the drive.
  sim::Detach();
  options.usbFolder = drive.Path() / "missing";
  EXPECT_FALSE(sim::Attach(ModuleDirectory(), options, &error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
}

TEST_F(FilesTest, FaultPlan_MakesAChosenFileCallFail) {
  Machine().Faults().Add(faults::Call{.name = "CreateFileW", .skip = 1, .error = 5});
  ASSERT_TRUE(MakeFile(u"\\first.txt", "1"));
  EXPECT_FALSE(MakeFile(u"\\second.txt", "2"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(fs::exists(Files() / "second.txt"));
  EXPECT_TRUE(MakeFile(u"\\third.txt", "3"));
}

}  // namespace
