#include "sim/base/file_stamp.h"

#include <sys/stat.h>

namespace sim {

FileStamp StampOf(const fs::path& file) {
  struct stat status {};
  FileStamp stamp;
  if (::stat(file.c_str(), &status) != 0) {
    return stamp;
  }
  stamp.present = true;
  stamp.device = static_cast<std::uint64_t>(status.st_dev);
  stamp.inode = static_cast<std::uint64_t>(status.st_ino);
  stamp.size = static_cast<std::uint64_t>(status.st_size);
  stamp.modifiedSeconds = status.st_mtim.tv_sec;
  stamp.modifiedNanoseconds = status.st_mtim.tv_nsec;
  return stamp;
}

}  // namespace sim
