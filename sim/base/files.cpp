#include "sim/base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace sim {

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------
namespace {

// Writes all of `content` to `fd`, going on after a signal or a short write.
bool WriteAll(int fd, std::string_view content) {
  const char* at = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    const ssize_t done = ::write(fd, at, left);
    if (done < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    at += done;
    left -= static_cast<std::size_t>(done);
  }
  return true;
}

template <typename Container>
bool ReadInto(const fs::path& file, Container* content) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    ::close(fd);
    return false;
  }
  // The size is a hint: the file may grow or shrink while it is read.
  Container result;
  result.resize(static_cast<std::size_t>(status.st_size) + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == result.size()) {
      result.resize(result.size() * 2);
    }
    const ssize_t done = ::read(fd, result.data() + filled, result.size() - filled);
    if (done < 0) {
      if (errno == EINTR) {
        continue;
      }
      ::close(fd);
      return false;
    }
    if (done == 0) {
      break;
    }
    filled += static_cast<std::size_t>(done);
  }
  ::close(fd);
  result.resize(filled);
  *content = std::move(result);
  return true;
}

}  // namespace

bool ReadWholeFile(const fs::path& file, std::string* content) { return ReadInto(file, content); }

bool ReadWholeFile(const fs::path& file, std::vector<std::uint8_t>* content) {
  return ReadInto(file, content);
}

bool WriteWholeFile(const fs::path& file, std::string_view content, std::string* error) {
  const fs::path temporary = file.string() + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  const bool written = fd >= 0 && WriteAll(fd, content);
  const int saved = fd < 0 || !written ? errno : 0;
  if (fd >= 0 && ::close(fd) != 0 && written) {
    // A write the file system takes back at close (a full disk on some) is a failed write.
    if (error != nullptr) {
      *error = temporary.string() + ": cannot write: " + std::strerror(errno);
    }
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return false;
  }
  if (!written) {
    if (error != nullptr) {
      *error = temporary.string() + ": cannot write: " + std::strerror(saved);
    }
    std::error_code ignored;
    fs::remove(temporary, ignored);  // the old file stays as it was
    return false;
  }
  std::error_code code;
  fs::rename(temporary, file, code);
  if (code) {
    if (error != nullptr) {
      *error = file.string() + ": cannot replace: " + code.message();
    }
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return false;
  }
  return true;
}

bool WriteWholeFile(const fs::path& file, std::span<const std::uint8_t> content,
                    std::string* error) {
  return WriteWholeFile(
      file, std::string_view(reinterpret_cast<const char*>(content.data()), content.size()), error);
}

// ---------------------------------------------------------------------------------------------
// Holes
// ---------------------------------------------------------------------------------------------
std::vector<FileExtent> FileDataExtents(int fd, std::uint64_t size) {
  std::vector<FileExtent> extents;
  std::uint64_t at = 0;
  while (at < size) {
    const off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) {
        break;  // nothing but a hole from here to the end of the file
      }
      return {{0, size}};  // the file system cannot say
    }
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0) {
      return {{0, size}};
    }
    const auto begin = static_cast<std::uint64_t>(data);
    const auto end = std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), size);
    if (begin >= size || end <= begin) {
      break;
    }
    extents.push_back({begin, end});
    at = end;
  }
  return extents;
}

}  // namespace sim
