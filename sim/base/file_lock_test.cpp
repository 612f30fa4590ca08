#include "sim/base/file_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <optional>
#include <thread>

#include "tests/support/module_fixture.h"

namespace {

using testing_support::TemporaryDirectory;

// A second open of the file: flock locks belong to the open file, so this one contends with the
// guards of the same process as another process's would.
class OtherOpen {
 public:
  explicit OtherOpen(const sim::fs::path& file)
      : fd_(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {}
  ~OtherOpen() { ::close(fd_); }
  OtherOpen(const OtherOpen&) = delete;
  OtherOpen& operator=(const OtherOpen&) = delete;
  [[nodiscard]] int Fd() const { return fd_; }

 private:
  int fd_;
};

TEST(FileLock, Guards_ExcludeEachOtherAndReleaseWhenGone) {
  TemporaryDirectory folder;
  const sim::fs::path file = folder.Path() / "job.lock";
  OtherOpen other(file);
  ASSERT_GE(other.Fd(), 0);
  {
    const sim::LockFileGuard guard(file);
    ASSERT_TRUE(guard.Held());
    EXPECT_FALSE(sim::TryLockFile(other.Fd(), sim::LockMode::kShared));
    EXPECT_EQ(errno, EWOULDBLOCK);
  }
  ASSERT_TRUE(sim::TryLockFile(other.Fd(), sim::LockMode::kExclusive)) << "released on exit";
  sim::UnlockFile(other.Fd());

  OtherOpen reader(file);
  {
    const sim::FileLockGuard shared(other.Fd(), sim::LockMode::kShared);
    ASSERT_TRUE(shared.Held());
    EXPECT_TRUE(sim::TryLockFile(reader.Fd(), sim::LockMode::kShared)) << "readers share";
    sim::UnlockFile(reader.Fd());
    EXPECT_FALSE(sim::TryLockFile(reader.Fd(), sim::LockMode::kExclusive));
  }
  EXPECT_TRUE(sim::TryLockFile(reader.Fd(), sim::LockMode::kExclusive));
}

TEST(FileLock, UnopenableFileOrDescriptor_HoldsNothing) {
  TemporaryDirectory folder;
  const sim::LockFileGuard guard(folder.Path() / "missing folder" / "job.lock");
  EXPECT_FALSE(guard.Held());
  const sim::FileLockGuard none(-1, sim::LockMode::kExclusive);
  EXPECT_FALSE(none.Held());
  EXPECT_FALSE(sim::LockFile(-1, sim::LockMode::kExclusive));
  EXPECT_EQ(errno, EBADF);
}

void IgnoreSignal(int /*signal*/) {}

// A signal that reaches a waiting process (a timer, a debugger, a terminal resize) must not end
// the wait as if the lock were taken or refused.
TEST(FileLock, LockFile_WaitsThroughSignals) {
  TemporaryDirectory folder;
  const sim::fs::path file = folder.Path() / "job.lock";
  std::optional<sim::LockFileGuard> holder(std::in_place, file);
  ASSERT_TRUE(holder->Held());

  struct sigaction action {};
  action.sa_handler = IgnoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the waiting flock sees EINTR
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  std::atomic<bool> done = false;
  bool held = false;
  std::thread waiter([&] {
    const sim::LockFileGuard guard(file);
    held = guard.Held();
    done = true;
  });
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::pthread_kill(waiter.native_handle(), SIGUSR1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done) << "the wait ended while the lock was held elsewhere";
  holder.reset();
  waiter.join();
  EXPECT_TRUE(held);
  ::sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
