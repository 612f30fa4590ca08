// Room sim/base/: small helpers every room shares (host files, text conversion). Nothing here
// knows the module.
//
// Whole-file I/O of the module's host files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

namespace fs = std::filesystem;

// Reads a whole file; false (content untouched) when it is missing, a folder or unreadable.
bool ReadWholeFile(const fs::path& file, std::string* content);
bool ReadWholeFile(const fs::path& file, std::vector<std::uint8_t>* content);
// Writes a file through a temporary and a rename, so that a crash leaves the old one whole.
// error, when not null, gets one line naming the file on failure.
bool WriteWholeFile(const fs::path& file, std::string_view content, std::string* error);
bool WriteWholeFile(const fs::path& file, std::span<const std::uint8_t> content,
                    std::string* error);

// A stretch [begin, end) of a file.
struct FileExtent {
  std::uint64_t begin;
  std::uint64_t end;
};
// The stretches of the first size bytes of an open file that may hold data, in order: every
// byte outside them lies in a hole and reads as zero. Where the file system cannot tell holes
// from data, the whole file is one stretch.
std::vector<FileExtent> FileDataExtents(int fd, std::uint64_t size);

}  // namespace sim
