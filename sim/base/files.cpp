#include "sim/base/files.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

namespace sim {

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------
namespace {

template <typename Container>
bool ReadInto(const fs::path& file, Container* content) {
  std::error_code code;
  if (fs::is_directory(file, code)) {
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return false;
  }
  Container result;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
    result.insert(result.end(), buffer, buffer + in.gcount());
  }
  if (in.bad()) {
    return false;
  }
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
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    out.close();
    if (!out) {
      if (error != nullptr) {
        *error = temporary.string() + ": cannot write";
      }
      std::error_code ignored;
      fs::remove(temporary, ignored);  // the old file stays as it was
      return false;
    }
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
