// Room sim/base/: small helpers every room shares (host files, text conversion). Nothing here
// knows the module.
//
// Whole-file I/O of the module's host files.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sim {

namespace fs = std::filesystem;

// Reads a whole file; false when it cannot.
bool ReadWholeFile(const fs::path& file, std::string* content);
// Writes a file through a temporary and a rename, so that a crash leaves the old one whole.
bool WriteWholeFile(const fs::path& file, std::string_view content, std::string* error);

}  // namespace sim
