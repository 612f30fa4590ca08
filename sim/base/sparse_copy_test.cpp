#include "sim/base/sparse_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "sim/base/files.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr off_t kSize = 64 << 20;

// A large file that is a hole but for a few bytes at the start, in the middle and at the end.
void WriteSparse(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
  ASSERT_EQ(::pwrite(fd, "middle", 6, kSize / 2), 6);
  ASSERT_EQ(::pwrite(fd, "tail", 4, kSize - 4), 4);
  ::close(fd);
}

std::uint64_t AllocatedBytes(const fs::path& file) {
  struct stat info {};
  EXPECT_EQ(::stat(file.c_str(), &info), 0);
  return static_cast<std::uint64_t>(info.st_blocks) * 512;
}

TEST(SparseCopy, File_SameBytesWithoutFillingTheHoles) {
  testing_support::TemporaryDirectory folder;
  const fs::path source = folder.Path() / "flash.img";
  const fs::path target = folder.Path() / "copy.img";
  WriteSparse(source);
  std::string error;
  sim::CopyMethod method = sim::CopyMethod::kSparse;
  ASSERT_TRUE(sim::CopyFileCheaply(source, target, &method, &error)) << error;
  EXPECT_EQ(fs::file_size(target), static_cast<std::uintmax_t>(kSize));
  EXPECT_EQ(fs::status(target).permissions(), fs::status(source).permissions());
  // A clone shares the blocks; a sparse copy holds no more than the source's data.
  EXPECT_LT(AllocatedBytes(target), 1u << 20);
  std::string a;
  std::string b;
  ASSERT_TRUE(sim::ReadWholeFile(source, &a));
  ASSERT_TRUE(sim::ReadWholeFile(target, &b));
  EXPECT_TRUE(a == b);
}

TEST(SparseCopy, SameBytes_HolesReadAsZeroAndEveryDataByteCounts) {
  testing_support::TemporaryDirectory folder;
  const fs::path sparse = folder.Path() / "sparse";
  const fs::path dense = folder.Path() / "dense";
  WriteSparse(sparse);
  // The same bytes, with the zeros of the first megabyte written out and the file one byte short.
  std::string bytes;
  ASSERT_TRUE(sim::ReadWholeFile(sparse, &bytes));
  bytes.pop_back();
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(dense, bytes, &error)) << error;
  const int first = ::open(sparse.c_str(), O_RDWR);
  const int second = ::open(dense.c_str(), O_RDWR);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  const std::uint64_t size = kSize;
  struct Case {
    std::uint64_t begin;
    std::uint64_t end;
    bool same;
  };
  const Case cases[] = {
      {0, size - 4, true},  // everything up to the tail
      {0, size, false},     // the tail's last byte is missing in the dense file
      {size / 2 + 6, size - 4, true},
      {size - 4, size - 1, true},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(sim::SameBytes(first, second, test.begin, test.end), test.same)
        << test.begin << ".." << test.end;
  }
  // One changed byte in the middle of a hole of the other file.
  ASSERT_EQ(::pwrite(second, "x", 1, 12345), 1);
  EXPECT_FALSE(sim::SameBytes(first, second, 0, size - 4));
  EXPECT_TRUE(sim::SameBytes(first, second, 12346, size - 4));
  ::close(first);
  ::close(second);
}

TEST(SparseCopy, Tree_SkipsWhatItIsToldAndRefusesWhatItCannotCopy) {
  testing_support::TemporaryDirectory folder;
  const fs::path source = folder.Path() / "module";
  fs::create_directories(source / "ram" / "processes");
  fs::create_directories(source / "files" / "USB HD");
  WriteSparse(source / "flash.img");
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(source / "ram" / "processes" / "42", "42 flashwick\n", &error));
  ASSERT_TRUE(sim::WriteWholeFile(source / "files" / "USB HD" / "a.bin", "abc", &error));
  std::uint64_t copied = 0;
  ASSERT_TRUE(sim::CopyTreeCheaply(source, folder.Path() / "copy", {fs::path("ram") / "processes"},
                                   &copied, &error))
      << error;
  EXPECT_TRUE(fs::is_directory(folder.Path() / "copy" / "ram"));
  EXPECT_FALSE(fs::exists(folder.Path() / "copy" / "ram" / "processes"));
  std::string text;
  ASSERT_TRUE(sim::ReadWholeFile(folder.Path() / "copy" / "files" / "USB HD" / "a.bin", &text));
  EXPECT_EQ(text, "abc");
  EXPECT_LT(copied, 1u << 20);
  // Into a target that exists: refused, the target kept.
  EXPECT_FALSE(sim::CopyTreeCheaply(source, folder.Path() / "copy", {}, nullptr, &error));
  EXPECT_NE(error.find("exists"), std::string::npos) << error;
  EXPECT_TRUE(fs::exists(folder.Path() / "copy" / "flash.img"));
  // A link in the tree: refused, and no half copy is left.
  fs::create_symlink("/etc/passwd", source / "files" / "link");
  EXPECT_FALSE(sim::CopyTreeCheaply(source, folder.Path() / "second", {}, nullptr, &error));
  EXPECT_NE(error.find("link"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(folder.Path() / "second"));
}

}  // namespace
