#include "sim/base/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace sim {
namespace {

int Operation(LockMode mode) { return mode == LockMode::kShared ? LOCK_SH : LOCK_EX; }

}  // namespace

bool LockFile(int fd, LockMode mode) {
  while (::flock(fd, Operation(mode)) != 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool TryLockFile(int fd, LockMode mode) {
  while (::flock(fd, Operation(mode) | LOCK_NB) != 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

void UnlockFile(int fd) { ::flock(fd, LOCK_UN); }

FileLockGuard::FileLockGuard(int fd, LockMode mode) {
  if (fd >= 0 && LockFile(fd, mode)) {
    fd_ = fd;
  }
}

FileLockGuard::~FileLockGuard() {
  if (fd_ >= 0) {
    UnlockFile(fd_);
  }
}

LockFileGuard::LockFileGuard(const fs::path& file) {
  // Not inherited by a child the process starts: the child must not keep the job locked.
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ >= 0 && !LockFile(fd_, LockMode::kExclusive)) {
    ::close(fd_);
    fd_ = -1;
  }
}

LockFileGuard::~LockFileGuard() {
  if (fd_ >= 0) {
    UnlockFile(fd_);
    ::close(fd_);
  }
}

}  // namespace sim
