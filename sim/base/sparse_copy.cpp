#include "sim/base/sparse_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "sim/base/files.h"

namespace sim {
namespace {

constexpr std::size_t kChunkBytes = 1 << 18;

// Closes a descriptor on every path.
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

std::string Reason(const fs::path& file, const char* what) {
  return file.string() + ": " + what + ": " + std::strerror(errno);
}

// Copies [begin, end) of from to the same place in to, in the kernel where it can.
bool CopyStretch(int from, int to, std::uint64_t begin, std::uint64_t end) {
  auto inOffset = static_cast<loff_t>(begin);
  auto outOffset = static_cast<loff_t>(begin);
  while (static_cast<std::uint64_t>(inOffset) < end) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(end - static_cast<std::uint64_t>(inOffset), 1ull << 30));
    const ssize_t done = ::copy_file_range(from, &inOffset, to, &outOffset, want, 0);
    if (done > 0) {
      continue;
    }
    if (done == 0) {
      return false;  // the source ended early: it changed under the copy
    }
    if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
      return false;
    }
    // No in-kernel copy between these files: through a buffer.
    std::vector<char> buffer(kChunkBytes);
    while (static_cast<std::uint64_t>(inOffset) < end) {
      const std::size_t piece = static_cast<std::size_t>(
          std::min<std::uint64_t>(end - static_cast<std::uint64_t>(inOffset), buffer.size()));
      const ssize_t got = ::pread(from, buffer.data(), piece, inOffset);
      if (got <= 0 ||
          ::pwrite(to, buffer.data(), static_cast<std::size_t>(got), outOffset) != got) {
        return false;
      }
      inOffset += got;
      outOffset += got;
    }
  }
  return true;
}

// The stretches of [begin, end) of an open file that may hold data.
std::vector<FileExtent> DataStretches(int fd, std::uint64_t begin, std::uint64_t end) {
  std::vector<FileExtent> stretches;
  std::uint64_t at = begin;
  while (at < end) {
    const off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) {
        break;  // a hole, or the file's end, from here on
      }
      stretches.push_back({at, end});  // the file system cannot say
      break;
    }
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    const auto from = static_cast<std::uint64_t>(data);
    const std::uint64_t to =
        hole < 0 ? end : std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), end);
    if (from >= end || to <= from) {
      break;
    }
    stretches.push_back({from, to});
    at = to;
  }
  return stretches;
}

// Reads [at, at + length) into buffer; bytes past the file's end read as zero.
bool ReadAt(int fd, char* buffer, std::size_t length, std::uint64_t at) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(fd, buffer + done, length - done, static_cast<off_t>(at + done));
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (got == 0) {
      std::memset(buffer + done, 0, length - done);
      return true;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool CopyTreeInto(const fs::path& source, const fs::path& target, const fs::path& relative,
                  const std::vector<fs::path>& skip, std::uint64_t* bytesCopied,
                  std::string* error) {
  std::error_code code;
  fs::create_directory(target, code);
  if (code) {
    *error = target.string() + ": cannot create: " + code.message();
    return false;
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(source, code)) {
    const fs::path name = entry.path().filename();
    const fs::path inside = relative / name;
    if (std::find(skip.begin(), skip.end(), inside) != skip.end()) {
      continue;
    }
    const fs::file_status status = entry.symlink_status(code);
    if (code) {
      *error = entry.path().string() + ": " + code.message();
      return false;
    }
    if (fs::is_directory(status)) {
      if (!CopyTreeInto(entry.path(), target / name, inside, skip, bytesCopied, error)) {
        return false;
      }
    } else if (fs::is_regular_file(status)) {
      CopyMethod method = CopyMethod::kSparse;
      if (!CopyFileCheaply(entry.path(), target / name, &method, error)) {
        return false;
      }
      if (method == CopyMethod::kSparse && bytesCopied != nullptr) {
        const int fd = ::open((target / name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
          struct stat info {};
          if (::fstat(fd, &info) == 0) {
            for (const FileExtent& extent :
                 DataStretches(fd, 0, static_cast<std::uint64_t>(info.st_size))) {
              *bytesCopied += extent.end - extent.begin;
            }
          }
          ::close(fd);
        }
      }
    } else {
      *error = entry.path().string() + ": neither a folder nor a regular file; not copied";
      return false;
    }
  }
  if (code) {
    *error = source.string() + ": cannot list: " + code.message();
    return false;
  }
  return true;
}

}  // namespace

bool CopyFileCheaply(const fs::path& source, const fs::path& target, CopyMethod* method,
                     std::string* error) {
  const Descriptor from(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (from.fd < 0) {
    *error = Reason(source, "cannot open");
    return false;
  }
  struct stat info {};
  if (::fstat(from.fd, &info) != 0) {
    *error = Reason(source, "cannot read its size");
    return false;
  }
  const Descriptor to(
      ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, info.st_mode & 07777));
  if (to.fd < 0) {
    *error = Reason(target, "cannot create");
    return false;
  }
  auto failed = [&](const char* what) {
    *error = Reason(target, what);
    std::error_code ignored;
    fs::remove(target, ignored);
    return false;
  };
  if (::ioctl(to.fd, FICLONE, from.fd) == 0) {
    *method = CopyMethod::kClone;
    return true;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  for (const FileExtent& extent : DataStretches(from.fd, 0, size)) {
    if (!CopyStretch(from.fd, to.fd, extent.begin, extent.end)) {
      return failed("cannot copy");
    }
  }
  // The size last: a hole at the end stays a hole.
  if (::ftruncate(to.fd, static_cast<off_t>(size)) != 0) {
    return failed("cannot set its size");
  }
  *method = CopyMethod::kSparse;
  return true;
}

bool CopyTreeCheaply(const fs::path& source, const fs::path& target,
                     const std::vector<fs::path>& skip, std::uint64_t* bytesCopied,
                     std::string* error) {
  std::error_code code;
  if (!fs::is_directory(source, code)) {
    *error = source.string() + ": not a folder";
    return false;
  }
  if (fs::exists(target, code)) {
    *error = target.string() + ": exists already";
    return false;
  }
  if (bytesCopied != nullptr) {
    *bytesCopied = 0;
  }
  if (!CopyTreeInto(source, target, fs::path(), skip, bytesCopied, error)) {
    fs::remove_all(target, code);
    return false;
  }
  return true;
}

bool SameBytes(int first, int second, std::uint64_t begin, std::uint64_t end) {
  // Where neither file holds data both read as zero: only the union of their data is read.
  std::vector<FileExtent> stretches = DataStretches(first, begin, end);
  const std::vector<FileExtent> others = DataStretches(second, begin, end);
  stretches.insert(stretches.end(), others.begin(), others.end());
  std::sort(stretches.begin(), stretches.end(),
            [](const FileExtent& a, const FileExtent& b) { return a.begin < b.begin; });
  std::vector<char> a(kChunkBytes);
  std::vector<char> b(kChunkBytes);
  std::uint64_t done = begin;  // everything before this has been compared
  for (const FileExtent& stretch : stretches) {
    for (std::uint64_t at = std::max(stretch.begin, done); at < stretch.end;) {
      const std::size_t piece =
          static_cast<std::size_t>(std::min<std::uint64_t>(stretch.end - at, kChunkBytes));
      if (!ReadAt(first, a.data(), piece, at) || !ReadAt(second, b.data(), piece, at) ||
          std::memcmp(a.data(), b.data(), piece) != 0) {
        return false;
      }
      at += piece;
    }
    done = std::max(done, stretch.end);
  }
  return true;
}

}  // namespace sim
