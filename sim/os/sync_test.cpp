// Mutexes, events, threads, waits and named shared memory of the module's OS.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/kernel.h"
#include "sim/hw/cpu.h"
#include "sim/os/shared_memory.h"
#include "tests/support/module_fixture.h"

namespace {

using SyncTest = testing_support::ModuleTest;

// Runs routine(parameter) on a module thread and waits for it; returns its exit code.
DWORD RunThread(LPTHREAD_START_ROUTINE routine, HANDLE parameter) {
  HANDLE thread = CreateThread(nullptr, 0, routine, parameter, 0, nullptr);
  EXPECT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  CloseHandle(thread);
  return code;
}

TEST_F(SyncTest, NamedMutex_SecondCreateOpensTheSameMutex) {
  HANDLE first = CreateMutexW(nullptr, TRUE, u"Test Lock");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  HANDLE second = CreateMutexW(nullptr, FALSE, u"Test Lock");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_NE(first, second);
  // Held through the first handle, so another thread cannot take it through the second.
  EXPECT_EQ(
      RunThread([](void* handle) { return WaitForSingleObject(static_cast<HANDLE>(handle), 0); },
                second),
      WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(second));  // same mutex, same owner thread
  EXPECT_EQ(RunThread(
                [](void* handle) {
                  const DWORD result = WaitForSingleObject(static_cast<HANDLE>(handle), 0);
                  ReleaseMutex(static_cast<HANDLE>(handle));
                  return result;
                },
                first),
            WAIT_OBJECT_0);
  // Names are case-sensitive and kinds do not share one.
  HANDLE other = CreateMutexW(nullptr, FALSE, u"test lock");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, u"Test Lock"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(other);
  CloseHandle(second);
  CloseHandle(first);
}

TEST_F(SyncTest, Mutex_IsRecursiveForItsOwnerAndReleasedOnlyByIt) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_EQ(RunThread(
                [](void* handle) -> DWORD {
                  return ReleaseMutex(static_cast<HANDLE>(handle)) ? ERROR_SUCCESS : GetLastError();
                },
                mutex),
            static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(
      RunThread([](void* handle) { return WaitForSingleObject(static_cast<HANDLE>(handle), 0); },
                mutex),
      WAIT_TIMEOUT);  // still held once
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  CloseHandle(mutex);
}

TEST_F(SyncTest, MutexOfAnEndedThread_IsAbandonedToTheNextOwner) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Abandoned");
  EXPECT_EQ(
      RunThread([](void* handle) { return WaitForSingleObject(static_cast<HANDLE>(handle), 0); },
                mutex),
      WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // released properly this time
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST_F(SyncTest, NamedMutex_OwnershipIsSeenThroughTheFilesOfTheModule) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, u"Test/Lock");
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  // Another process on the module cannot take an exclusive lock on the owner file.
  // A name is one safe host file name whatever it holds.
  const auto ownerFile = Machine().RamDirectory() / "mutexes" / "Test%2FLock.own";
  ASSERT_TRUE(std::filesystem::exists(ownerFile));
  std::string content;
  ASSERT_TRUE(sim::ReadWholeFile(ownerFile, &content));
  EXPECT_FALSE(content.empty());
  EXPECT_TRUE(ReleaseMutex(mutex));
  ASSERT_TRUE(sim::ReadWholeFile(ownerFile, &content));
  EXPECT_TRUE(content.empty());
  CloseHandle(mutex);
}

TEST_F(SyncTest, Events_ManualStaysSignalledAutoLetsOneWaiterThrough) {
  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  // A thread blocked on the event wakes when another sets it.
  HANDLE waiter = CreateThread(
      nullptr, 0,
      [](void* event) { return WaitForSingleObject(static_cast<HANDLE>(event), INFINITE); },
      automatic, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(waiter, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(automatic));
  EXPECT_EQ(WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeThread(waiter, &code));
  EXPECT_EQ(code, WAIT_OBJECT_0);
  EXPECT_FALSE(SetEvent(waiter));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(waiter);
  CloseHandle(manual);
  CloseHandle(automatic);
}

TEST_F(SyncTest, Threads_RunInTheProcessModeWithTheirOwnIdentity) {
  struct Seen {
    std::atomic<std::uint32_t> mode{0};
    std::atomic<DWORD> identity{0};
    HANDLE gate = nullptr;
  } seen;
  seen.gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD identity = 0;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* parameter) -> DWORD {
        auto* seen = static_cast<Seen*>(parameter);
        seen->mode = sim::CurrentMode();
        seen->identity = GetCurrentThreadId();
        WaitForSingleObject(seen->gate, INFINITE);
        return 42;
      },
      &seen, 0, &identity);
  ASSERT_NE(thread, nullptr);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  SetEvent(seen.gate);
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(seen.mode.load(), sim::kModeUser);
  EXPECT_EQ(seen.identity.load(), identity);
  EXPECT_NE(identity, GetCurrentThreadId());
  CloseHandle(thread);
  CloseHandle(seen.gate);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SyncTest, ThreadPriority_IsPerThreadAndChecked) {
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
  ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
  // Another thread has its own; the pseudo-handle names whichever thread uses it.
  EXPECT_EQ(
      RunThread(
          [](void*) -> DWORD { return static_cast<DWORD>(GetThreadPriority(GetCurrentThread())); },
          nullptr),
      static_cast<DWORD>(THREAD_PRIORITY_NORMAL));
  HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* event) -> DWORD {
        WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
        return static_cast<DWORD>(GetThreadPriority(GetCurrentThread()));
      },
      gate, 0, nullptr);
  ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_IDLE));
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_IDLE);
  SetEvent(gate);
  WaitForSingleObject(thread, INFINITE);
  DWORD seen = 0;
  GetExitCodeThread(thread, &seen);
  EXPECT_EQ(seen, static_cast<DWORD>(THREAD_PRIORITY_IDLE));
  EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 8));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(SetThreadPriority(gate, THREAD_PRIORITY_NORMAL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GetThreadPriority(gate), THREAD_PRIORITY_ERROR_RETURN);
  CloseHandle(thread);
  CloseHandle(gate);
}

TEST_F(SyncTest, TimedOutWait_TakesItsTimeOnTheVirtualClockAndNoWallTime) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const DWORD before = GetTickCount();
  const auto wallBefore = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount(), before);  // a time-out of 0 only looks
  // Another thread's modelled work moves the clock past the time-out: the wait ends then.
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop) {
      Sleep(100);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_EQ(WaitForSingleObject(event, 60000), WAIT_TIMEOUT);
  stop = true;
  worker.join();
  EXPECT_GE(GetTickCount() - before, 60000u);
  EXPECT_LT(std::chrono::steady_clock::now() - wallBefore, std::chrono::seconds(30));
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x4), 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(event);
}

// ---------------------------------------------------------------------------------------------
// Named shared memory
// ---------------------------------------------------------------------------------------------
TEST_F(SyncTest, NamedMapping_IsOneMemoryForEveryViewAndEveryProcess) {
  HANDLE section =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16388, u"Shared Table");
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  auto* view = static_cast<std::uint8_t*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  std::memcpy(view, "BBMT", 4);
  view[16387] = 0x5A;
  // The file of the module behind it, and a model's view of it.
  EXPECT_TRUE(std::filesystem::exists(Machine().RamDirectory() / "mappings" / "Shared Table"));
  auto* model = static_cast<std::uint8_t*>(sim::OpenNamedMemory("Shared Table", 16388));
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(std::memcmp(model, "BBMT", 4), 0);
  model[4] = 0x11;
  EXPECT_EQ(view[4], 0x11);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
  CloseHandle(section);
  // The next process of the running module finds it as it was.
  Reattach();
  section =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, u"Shared Table");
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  view = static_cast<std::uint8_t*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::memcmp(view, "BBMT", 4), 0);
  EXPECT_EQ(view[16387], 0x5A);
  UnmapViewOfFile(view);
  CloseHandle(section);
  // A reset clears what the running OS held.
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  section =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16388, u"Shared Table");
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  view = static_cast<std::uint8_t*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 0);
  EXPECT_EQ(view[16387], 0);
  UnmapViewOfFile(view);
  CloseHandle(section);
}

TEST_F(SyncTest, Mappings_RefuseWhatThePlatformRefuses) {
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, u"NoSize"),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HANDLE readOnly =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 4096, u"ReadOnly");
  ASSERT_NE(readOnly, nullptr);
  EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 8192), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // A view outlives the handle of its mapping.
  HANDLE unnamed =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100, nullptr);
  auto* view = static_cast<char*>(MapViewOfFile(unnamed, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  CloseHandle(unnamed);
  view[99] = 'x';
  EXPECT_TRUE(UnmapViewOfFile(view));
  CloseHandle(readOnly);
}

}  // namespace
