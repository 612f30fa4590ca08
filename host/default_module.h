// How both host executables make a module: from a preset, with the sample update files on its
// USB drive. The default module (used when no module is named) is made this way on first use,
// and the person is told so.
#pragma once

#include <filesystem>
#include <string>

#include "sim/module/machine.h"

namespace default_module {

// Creates a module from a preset and writes the sample update files onto its USB drive. The
// module is built beside the directory and moved there when it is complete, so that a run that
// fails or is killed half-way leaves no module that lacks its files, and two processes that make
// the same module at once end with one whole module. The sample files are made by a child
// process: the library's state belongs to one attached module for the life of a process, and the
// caller may still want to use the library. Fails with a message when the directory exists and is
// not empty, or when any step fails; nothing is left at the directory then.
bool CreateWithSampleFiles(const std::filesystem::path& directory, const sim::PresetSpec& preset,
                           std::string* error);

// The default module's directory. When it holds no module yet, one is made from the default
// preset with its sample files, and a line on standard error says so ("program: created the
// default module ..."). False with a message when it cannot be made.
bool EnsureDefaultModule(const char* program, std::filesystem::path* directory, std::string* error);

}  // namespace default_module
