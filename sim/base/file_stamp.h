// What a process compares to see that another process of the module changed a shared file: the
// file's identity (device, inode: a rename over it gives a new one), its size and its
// modification time to the nanosecond.
#pragma once

#include <cstdint>
#include <filesystem>

namespace sim {

namespace fs = std::filesystem;

struct FileStamp {
  bool present = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of file as it is now (links followed); a missing file gives present == false.
FileStamp StampOf(const fs::path& file);

}  // namespace sim
