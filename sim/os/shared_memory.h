// Named shared memory of the module's OS.
//
// A named file mapping (CreateFileMappingW with INVALID_HANDLE_VALUE and a name) is memory that
// every process of the module sees. Here each one is the file ram/mappings/<name> of the module
// directory, mapped shared into each process that opens it, so it lives until the module is
// reset, as a section that the OS's own drivers keep open would. Names are case-sensitive, as
// kernel object names are on the module; in the file name every character other than letters,
// digits, '-', '_', '.' and blank (and a leading '.') is written as %XX of its UTF-8 bytes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace sim {

// Host address of the named shared memory `name` (UTF-8) of the attached module, at least
// `size` bytes long: created zero-filled when missing, grown (zero-filled) when shorter. For
// device and OS models that share memory with the program (the NAND model fills
// "NAND_FLASH_BBMT" at boot). The memory stays mapped until the module is detached. Returns
// null when no module is attached, the name is empty or the file cannot be used.
void* OpenNamedMemory(std::string_view name, std::size_t size);

// The file behind a named shared memory of the attached module.
std::filesystem::path NamedMemoryFile(std::string_view name);

}  // namespace sim
