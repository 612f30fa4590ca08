#include "sim/base/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/falloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include "tests/support/module_fixture.h"

namespace {

TEST(Files, WholeFile_RoundTripsTextAndBytes) {
  testing_support::TemporaryDirectory folder;
  const sim::fs::path file = folder.Path() / "state.json";
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(file, std::string("a\0b\n", 4), &error)) << error;
  std::string text;
  ASSERT_TRUE(sim::ReadWholeFile(file, &text));
  EXPECT_EQ(text, std::string("a\0b\n", 4));

  std::vector<std::uint8_t> bytes(200000);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7);
  }
  ASSERT_TRUE(sim::WriteWholeFile(file, bytes, &error)) << error;
  std::vector<std::uint8_t> read;
  ASSERT_TRUE(sim::ReadWholeFile(file, &read));
  EXPECT_EQ(read, bytes);
  ASSERT_TRUE(sim::WriteWholeFile(file, "", &error)) << error;
  ASSERT_TRUE(sim::ReadWholeFile(file, &read));
  EXPECT_TRUE(read.empty());
}

TEST(Files, ReadWholeFile_MissingOrFolder_FailsAndLeavesTheContent) {
  testing_support::TemporaryDirectory folder;
  std::string text = "kept";
  EXPECT_FALSE(sim::ReadWholeFile(folder.Path() / "missing", &text));
  EXPECT_FALSE(sim::ReadWholeFile(folder.Path(), &text));
  EXPECT_EQ(text, "kept");
}

TEST(Files, WriteWholeFile_Failure_NamesTheFileAndLeavesNoTemporary) {
  testing_support::TemporaryDirectory folder;
  std::string error;
  EXPECT_FALSE(sim::WriteWholeFile(folder.Path() / "no folder" / "x.json", "x", &error));
  EXPECT_NE(error.find("x.json"), std::string::npos) << error;

  // A folder of that name cannot be replaced by a file: the rename fails.
  const sim::fs::path taken = folder.Path() / "taken";
  sim::fs::create_directories(taken / "inside");
  error.clear();
  EXPECT_FALSE(sim::WriteWholeFile(taken, "x", &error));
  EXPECT_NE(error.find("taken"), std::string::npos) << error;
  EXPECT_TRUE(sim::fs::is_directory(taken / "inside"));
  EXPECT_FALSE(sim::fs::exists(folder.Path() / "taken.tmp"));
}

// Every byte that was written, through a write or through a shared mapping and not yet on disk,
// lies in a stretch; a punched hole leaves it. The stretches are conservative: a file system
// that cannot tell may give more, never less.
TEST(Files, DataExtents_CoverEveryWrittenByte) {
  testing_support::TemporaryDirectory folder;
  const sim::fs::path file = folder.Path() / "flash.img";
  constexpr std::uint64_t kSize = 64u << 20;
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, kSize), 0);
  const auto covered = [&](std::uint64_t at) {
    for (const sim::FileExtent& extent : sim::FileDataExtents(fd, kSize)) {
      if (extent.begin <= at && at < extent.end) {
        return true;
      }
    }
    return false;
  };
  const std::vector<sim::FileExtent> empty = sim::FileDataExtents(fd, kSize);
  EXPECT_TRUE(empty.empty() || (empty.size() == 1 && empty[0].begin == 0));
  const char byte = 1;
  ASSERT_EQ(::pwrite(fd, &byte, 1, 5u << 20), 1);
  auto* mapped =
      static_cast<std::uint8_t*>(::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  ASSERT_NE(mapped, MAP_FAILED);
  mapped[kSize - 1] = 1;
  mapped[(33u << 20) + 77] = 1;
  EXPECT_TRUE(covered(5u << 20));
  EXPECT_TRUE(covered(kSize - 1));
  EXPECT_TRUE(covered((33u << 20) + 77));
  const std::vector<sim::FileExtent> extents = sim::FileDataExtents(fd, kSize);
  for (std::size_t i = 0; i < extents.size(); ++i) {
    EXPECT_LT(extents[i].begin, extents[i].end);
    EXPECT_LE(extents[i].end, kSize);
    if (i > 0) {
      EXPECT_LT(extents[i - 1].end, extents[i].begin + 1);
    }
  }
  ASSERT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 33 << 20, 1 << 20), 0);
  EXPECT_EQ(mapped[(33u << 20) + 77], 0);
  EXPECT_TRUE(covered(kSize - 1));
  // On a file system that knows its holes (as the module's usually is), the untouched middle
  // and the punched stretch are holes.
  if (empty.empty()) {
    EXPECT_FALSE(covered(20u << 20));
    EXPECT_FALSE(covered((33u << 20) + 77));
  }
  ::munmap(mapped, kSize);
  ::close(fd);
}

}  // namespace
