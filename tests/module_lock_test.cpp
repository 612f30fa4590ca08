// "OnModuleFlash" held by another process of the module (flashwick-module hold-lock, standing
// in for the OS's flash driver) is seen by this one.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/kernel.h"
#include "tests/support/module_fixture.h"

namespace {

// A child process running flashwick-module hold-lock; its first line of output says that it
// holds the lock.
class LockHolder {
 public:
  LockHolder(const std::filesystem::path& module, unsigned milliseconds) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    const std::string tool = testing_support::Executable("flashwick-module");
    const std::string directory = module.string();
    const std::string ms = std::to_string(milliseconds);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(pipeFds[1], STDOUT_FILENO);
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
      ::execl(tool.c_str(), tool.c_str(), "hold-lock", directory.c_str(), "--ms", ms.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    output_ = ::fdopen(pipeFds[0], "r");
  }
  ~LockHolder() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (output_ != nullptr) {
      std::fclose(output_);
    }
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  // Waits for the child's first line ("holding ...").
  std::string FirstLine() {
    char line[256] = {};
    if (output_ == nullptr || std::fgets(line, sizeof(line), output_) == nullptr) {
      return {};
    }
    return line;
  }
  // Whether the child says anything within the given wall time.
  bool SpeaksWithin(int milliseconds) {
    pollfd descriptor{::fileno(output_), POLLIN, 0};
    return ::poll(&descriptor, 1, milliseconds) > 0;
  }
  // Waits for the child to end; returns its exit status (-1 when it did not exit normally).
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::FILE* output_ = nullptr;
};

using ModuleLockTest = testing_support::ModuleTest;

TEST_F(ModuleLockTest, LockHeldByAnotherProcess_IsSeenAndThenAcquired) {
  LockHolder holder(ModuleDirectory(), 700);
  ASSERT_EQ(holder.FirstLine().rfind("holding OnModuleFlash", 0), 0u);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"OnModuleFlash");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  // Released by the holder, properly: ours then, and not abandoned.
  EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST_F(ModuleLockTest, HolderThatDies_LeavesTheLockAbandoned) {
  LockHolder holder(ModuleDirectory(), 60000);
  ASSERT_EQ(holder.FirstLine().rfind("holding OnModuleFlash", 0), 0u);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"OnModuleFlash");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  holder.Kill();
  EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST_F(ModuleLockTest, LockHeldHere_KeepsTheOtherProcessWaiting) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"OnModuleFlash");
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  LockHolder holder(ModuleDirectory(), 0);
  EXPECT_FALSE(holder.SpeaksWithin(500));  // still waiting for the lock
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(holder.FirstLine().rfind("holding OnModuleFlash", 0), 0u);
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

}  // namespace
