// Advisory locks on host files, shared by the module's processes (flock: released by the kernel
// when a process dies, so a killed process never leaves a module locked).
#pragma once

#include <filesystem>

namespace sim {

namespace fs = std::filesystem;

enum class LockMode { kShared, kExclusive };

// Waits for the lock on fd; a signal does not end the wait. False (errno set) on any other error.
[[nodiscard]] bool LockFile(int fd, LockMode mode);
// Takes the lock on fd when nobody holds a conflicting one. False when it is held elsewhere
// (errno EWOULDBLOCK) or on an error (errno says which).
[[nodiscard]] bool TryLockFile(int fd, LockMode mode);
void UnlockFile(int fd);

// Holds the lock on a descriptor that someone else owns and closes; released on every path.
// A negative descriptor holds nothing.
class FileLockGuard {
 public:
  FileLockGuard(int fd, LockMode mode);
  ~FileLockGuard();
  FileLockGuard(const FileLockGuard&) = delete;
  FileLockGuard& operator=(const FileLockGuard&) = delete;
  [[nodiscard]] bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Opens (creating when missing) a lock file and holds an exclusive lock on it until destroyed:
// serialises one job between the module's processes. Held() is false when the file cannot be
// opened or locked; the caller then goes on unserialised or refuses, as its job demands.
class LockFileGuard {
 public:
  explicit LockFileGuard(const fs::path& file);
  ~LockFileGuard();
  LockFileGuard(const LockFileGuard&) = delete;
  LockFileGuard& operator=(const LockFileGuard&) = delete;
  [[nodiscard]] bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace sim
