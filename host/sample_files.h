// Sample update files on a module's USB drive, so that a new module shows the program at work at
// once: "\USB HD\IMAGES" receives an OS image update, a full backup of the module as it is, a
// CPLD update (modules with a CPLD only) and one damaged file.
#pragma once

#include <filesystem>
#include <string>

#include "sim/module/boot_look.h"

namespace sample_files {

inline constexpr const char16_t* kFolder = u"\\USB HD\\IMAGES";
inline constexpr const char16_t* kOsUpdate = u"\\USB HD\\IMAGES\\os-update.bin";
inline constexpr const char16_t* kFullBackup = u"\\USB HD\\IMAGES\\full-backup.bin";
inline constexpr const char16_t* kCpldUpdate = u"\\USB HD\\IMAGES\\cpld-update.bin";
inline constexpr const char16_t* kDamaged = u"\\USB HD\\IMAGES\\damaged.bin";

// The CPLD design version the sample CPLD update programs (1.4; modules leave the factory with
// 1.3).
inline constexpr unsigned kCpldUpdateUserCode = 0x00010004;
// The version the sample OS image reports once it runs (the modules leave the factory with 2.31).
inline constexpr sim::BootImageVersion kOsUpdateVersion{1, 2, 40, 0};
// Windows file time of the sample OS image's build (15 Oct 2009 10:30:00 UTC).
inline constexpr unsigned long long kOsUpdateBuilt = 129000762000000000ull;

// Writes the sample files into the module's USB drive (the module's own files/USB HD, which is
// created: the drive is plugged in). Attaches the module, uses the program's library (the full
// backup is the library's own backup of every region) and detaches again, leaving the module
// freshly reset. Must run in a process that has not used the library before (the library's
// state belongs to one attached module for the life of the process). False with a message when
// a file cannot be made; nothing is left half-written.
bool AddSampleFiles(const std::filesystem::path& module, std::string* error);

}  // namespace sample_files
