// Cheap copies of a module directory and comparisons of stretches of its files.
//
// A module's flash files are large and mostly holes (erased flash is stored as zero bytes that
// the file system never allocates). A copy shares the source's blocks where the file system can
// clone a file (FICLONE); elsewhere it copies only the stretches that hold data and leaves the
// holes as holes, so a copy costs what the module holds, not what its chip could hold.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace sim {

namespace fs = std::filesystem;

// How CopyFileCheaply made its copy.
enum class CopyMethod : std::uint8_t {
  kClone,   // the file system shares the source's blocks until either side changes
  kSparse,  // the data stretches were copied; holes stayed holes
};

// Copies a regular file to target (created, or emptied when it exists) with the source's size and
// permission bits. False with one line in *error naming the file; a partial target is removed.
bool CopyFileCheaply(const fs::path& source, const fs::path& target, CopyMethod* method,
                     std::string* error);

// Copies the folder source to target (which must not exist yet): folders and regular files, each
// file by CopyFileCheaply. Entries whose path relative to source is in skip (e.g. "ram/processes")
// are left out with everything under them; other kinds of entry (links, devices) are refused.
// On failure target is removed and *error names what failed. *bytesCopied (when not null) gets
// the bytes that were copied rather than cloned or left as holes.
bool CopyTreeCheaply(const fs::path& source, const fs::path& target,
                     const std::vector<fs::path>& skip, std::uint64_t* bytesCopied,
                     std::string* error);

// Whether [begin, end) of two open files holds the same bytes (bytes past a file's end count as
// zero, as in a hole). Stretches where both files have holes are not read. False also when a
// read fails.
bool SameBytes(int first, int second, std::uint64_t begin, std::uint64_t end);

}  // namespace sim
