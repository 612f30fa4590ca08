// The module's file namespace, and how models extend it.
//
// "\" is the folder files/ of the module directory. Names are matched ignoring the case of
// ASCII and Latin-1 letters, as the module's file systems do; each name on a path is looked up
// among the names that exist, and a new file takes the caller's spelling. '\' and '/' both
// separate names. No path leaves files/: "." and ".." are refused as names (ERROR_INVALID_NAME),
// a symbolic link met on the way is refused (ERROR_ACCESS_DENIED), and a host path such as
// "/etc/passwd" is just the module path \etc\passwd inside files/. Host entries whose names the
// module could not hold (control characters, ':*?"<>|', a trailing dot or blank, bytes that are
// not UTF-8) and symbolic links are not shown.
//
// Volumes: "\USB HD" is the host folder given at attach when there is one, else files/USB HD;
// its free space is the host's. A model (the storage manager) mounts further volumes as folders
// of the root, each with its own size; everything else under files/ is the OS's object store,
// whose size is module.json "os.objectStoreBytes" (32 MiB when absent). Writes that would pass
// a volume's free space fail with ERROR_DISK_FULL and write nothing.
//
// Attributes and times: a file's last write time is its host modification time, which the
// personality sets whenever the module writes a file or sets its times. Attributes, creation
// and last access times that differ from what the host shows are kept in files.meta in the
// module directory (text, one line per file or folder, keyed by its module path), so they
// survive the process and module resets. A line counts only while its file is the one it was
// written for (same host modification time for a file, same inode for a folder); a file that
// was changed on the host behind the module's back shows its host time for all three times and
// the archive attribute. Files are archive when written, as on the module.
//
// Share modes are honoured between the open handles of one process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "platform/kernel.h"
#include "sim/os/handles.h"

namespace sim {

// The file in the module directory that keeps the records of attributes and times (above).
inline constexpr const char* kFileRecordsFile = "files.meta";

// ---------------------------------------------------------------------------------------------
// Volumes
// ---------------------------------------------------------------------------------------------
struct VolumeSpace {
  std::uint64_t totalBytes = 0;
  std::uint64_t freeBytes = 0;
};

struct VolumeMount {
  // The folder of the root the volume appears as ("Flash Disk"); its files are files/<name>/.
  std::u16string name;
  // The volume's size; free space is what its files leave of it.
  std::uint64_t capacityBytes = 0;
  // When set, the model's own figures replace the size (a store that counts its sectors).
  std::function<VolumeSpace()> space;
};

// Mounts a volume for this process (a model mounts at attach or boot), creating its folder when
// missing. False with a message when the name is not a valid folder name of the root or is
// already mounted.
bool MountVolume(const VolumeMount& volume, std::string* error);
// Dismounts; its folder and files stay. False when it was not mounted.
bool DismountVolume(std::u16string_view name);
[[nodiscard]] bool IsVolumeMounted(std::u16string_view name);

// ---------------------------------------------------------------------------------------------
// Names answered by models
// ---------------------------------------------------------------------------------------------
// A model that answers some names itself instead of files (the storage manager's "\StoreMgr",
// device names such as "DSK1:"). It is asked before the file system for every path; when it
// claims a path, its answer (result and last error) is the call's.
class NameHandler {
 public:
  virtual ~NameHandler() = default;
  [[nodiscard]] virtual bool Claims(std::u16string_view path) const = 0;
  virtual HANDLE CreateFile(std::u16string_view /*path*/, DWORD /*desiredAccess*/,
                            DWORD /*shareMode*/, DWORD /*creationDisposition*/,
                            DWORD /*flagsAndAttributes*/) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  virtual HANDLE FindFirst(std::u16string_view /*path*/, WIN32_FIND_DATAW* /*data*/) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  virtual DWORD Attributes(std::u16string_view /*path*/) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
};

// Registers a handler for the life of the process (or until unregistered).
void RegisterNameHandler(NameHandler* handler);
void UnregisterNameHandler(NameHandler* handler);

// A search handle. FindNextFileW and FindClose accept any handle whose object derives from
// this, so a handler's searches work with them.
class FindSearch : public KernelObject {
 public:
  const char* KindName() const override { return "search"; }
  // Fills the next entry and returns true; false at the end.
  virtual bool Next(WIN32_FIND_DATAW* data) = 0;
};

// ---------------------------------------------------------------------------------------------
// For models and tests
// ---------------------------------------------------------------------------------------------
// The host path that a module path names now, resolved as the module resolves it. False when
// the path is not allowed or a folder on the way does not exist (the last name need not).
bool ResolveModulePath(std::u16string_view path, std::filesystem::path* host);
// Sets the three times of a folder, a mounted volume's own folder included (a model that
// writes a volume's folders back). False when the path does not name a folder.
bool SetFolderTimes(std::u16string_view path, std::uint64_t creation, std::uint64_t access,
                    std::uint64_t write);

}  // namespace sim
