#include "sim/base/file_stamp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "sim/base/files.h"
#include "tests/support/module_fixture.h"

namespace {

// Sets the file's modification time, so that a change within the file system's clock
// granularity still shows.
void SetModified(const sim::fs::path& file, std::int64_t seconds, long nanoseconds) {
  const timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

TEST(FileStamp, StampOf_ChangesWithEveryKindOfChange) {
  testing_support::TemporaryDirectory folder;
  const sim::fs::path file = folder.Path() / "state.json";
  EXPECT_FALSE(sim::StampOf(file).present);

  ASSERT_TRUE(sim::WriteWholeFile(file, "one", nullptr));
  SetModified(file, 1000, 0);
  const sim::FileStamp first = sim::StampOf(file);
  EXPECT_TRUE(first.present);
  EXPECT_EQ(first.size, 3u);
  EXPECT_EQ(sim::StampOf(file), first) << "nothing changed";

  SetModified(file, 1000, 1);
  EXPECT_NE(sim::StampOf(file), first) << "a nanosecond later";

  ASSERT_TRUE(sim::WriteWholeFile(file, "one", nullptr));  // replaced through a rename
  SetModified(file, 1000, 0);
  const sim::FileStamp replaced = sim::StampOf(file);
  EXPECT_NE(replaced.inode, first.inode);
  EXPECT_NE(replaced, first) << "same size and time, another file";

  ASSERT_TRUE(sim::WriteWholeFile(file, "four", nullptr));
  SetModified(file, 1000, 0);
  EXPECT_NE(sim::StampOf(file), replaced) << "another size";

  sim::fs::remove(file);
  EXPECT_FALSE(sim::StampOf(file).present);
}

}  // namespace
