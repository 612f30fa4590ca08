// Synchronisation and threads of the module's OS: mutexes (named ones shared by the module's
// processes), events, threads and WaitForSingleObject.
//
// A named mutex is two host files in ram/mutexes/ of the module:
//   <name>.ref  every process that has the mutex open holds a shared flock on it, so a creator
//               that cannot take it exclusively knows the name exists in another process;
//   <name>.own  the process whose thread owns the mutex holds an exclusive flock on it and
//               writes its identity into it; a release empties it first. A holder that ends
//               without releasing leaves it non-empty, and the next owner is told WAIT_ABANDONED,
//               as the module tells the next owner of a mutex whose owner thread died.
// Within a process, ownership and recursion are per thread, as on the module.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "sim/base/file_lock.h"
#include "sim/os/objects.h"
#include "sim/os/os_call.h"
#include "sim/os/real_time_clock.h"

namespace sim {
namespace {

// ---------------------------------------------------------------------------------------------
// Thread identities
// ---------------------------------------------------------------------------------------------
std::atomic<DWORD>& NextThreadIdentity() {
  // Identities differ between processes of a module (the process id is in the upper half) and
  // are multiples of 4 as handle-like values are on the module.
  static std::atomic<DWORD> next{(static_cast<DWORD>(::getpid() & 0x3FFF) << 16) | 0x100};
  return next;
}

thread_local DWORD threadIdentity = 0;

// ---------------------------------------------------------------------------------------------
// Named objects of this process
// ---------------------------------------------------------------------------------------------
struct NamedEntry {
  NamedKind kind;
  std::weak_ptr<KernelObject> object;
};

struct NamedTable {
  std::mutex mutex;
  std::map<std::u16string, NamedEntry, std::less<>> entries;
};

NamedTable& Named() {
  static NamedTable* table = new NamedTable();
  return *table;
}

// ---------------------------------------------------------------------------------------------
// Mutex
// ---------------------------------------------------------------------------------------------
class MutexObject;
thread_local std::vector<std::weak_ptr<MutexObject>> ownedMutexes;

class MutexObject final : public KernelObject, public std::enable_shared_from_this<MutexObject> {
 public:
  // The module limits recursive acquisition; beyond it a wait fails.
  static constexpr std::uint32_t kMaxRecursion = 0x7FFFFFFF;

  MutexObject() = default;
  MutexObject(std::u16string name, int referenceFd, int ownerFd)
      : name_(std::move(name)), referenceFd_(referenceFd), ownerFd_(ownerFd) {}
  ~MutexObject() override { CloseFiles(); }

  const char* KindName() const override { return "mutex"; }

  DWORD Wait(DWORD milliseconds) override {
    const DWORD me = CurrentThreadIdentity();
    const WaitDeadline deadline(milliseconds);
    std::unique_lock lock(mutex_);
    if (owner_ == me) {
      if (recursion_ == kMaxRecursion) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
      }
      ++recursion_;
      return WAIT_OBJECT_0;
    }
    if (!deadline.WaitFor(lock, changed_, [&] { return owner_ == 0 && !acquiring_; })) {
      lock.unlock();
      deadline.SettleTimeout();
      return WAIT_TIMEOUT;
    }
    bool abandoned = abandoned_;
    if (ownerFd_ >= 0) {
      acquiring_ = true;
      lock.unlock();
      bool abandonedElsewhere = false;
      const bool acquired = AcquireHostLock(deadline, &abandonedElsewhere);
      lock.lock();
      acquiring_ = false;
      if (!acquired) {
        changed_.notify_all();
        lock.unlock();
        deadline.SettleTimeout();
        return WAIT_TIMEOUT;
      }
      abandoned = abandoned || abandonedElsewhere;
    }
    abandoned_ = false;
    TakeOwnership(me);
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  }

  // Takes ownership for a creator that asked for it; the mutex is new, so nothing holds it.
  void TakeInitialOwnership() {
    std::lock_guard lock(mutex_);
    if (ownerFd_ >= 0) {
      bool abandoned = false;
      AcquireHostLock(WaitDeadline(0), &abandoned);
    }
    TakeOwnership(CurrentThreadIdentity());
  }

  bool Release() {
    std::lock_guard lock(mutex_);
    if (owner_ != CurrentThreadIdentity()) {
      SetLastError(ERROR_NOT_OWNER);
      return false;
    }
    if (--recursion_ == 0) {
      owner_ = 0;
      std::erase_if(ownedMutexes, [this](const std::weak_ptr<MutexObject>& owned) {
        const auto mutex = owned.lock();
        return !mutex || mutex.get() == this;
      });
      if (ownerFd_ >= 0) {
        // Emptied first: a non-empty file tells the next owner that we never released.
        if (::ftruncate(ownerFd_, 0) != 0) {
          Fault("cannot release a named mutex: " + std::string(std::strerror(errno)));
        }
        UnlockFile(ownerFd_);
      }
      changed_.notify_all();
    }
    return true;
  }

  // The owning thread ended without releasing: the next owner is told WAIT_ABANDONED.
  void Abandon(DWORD thread) {
    std::lock_guard lock(mutex_);
    if (owner_ != thread) {
      return;
    }
    owner_ = 0;
    recursion_ = 0;
    abandoned_ = true;
    if (ownerFd_ >= 0) {
      UnlockFile(ownerFd_);  // the identity stays in the file
    }
    changed_.notify_all();
  }

  void OnClose() override {
    if (!name_.empty()) {
      RemoveNamedObject(name_, this);
    }
    std::lock_guard lock(mutex_);
    // The last handle went while a thread owned it: other processes see it abandoned.
    CloseFiles();
  }

 private:
  void TakeOwnership(DWORD me) {
    owner_ = me;
    recursion_ = 1;
    ownedMutexes.push_back(weak_from_this());
  }

  bool AcquireHostLock(const WaitDeadline& deadline, bool* abandoned) {
    while (!TryLockFile(ownerFd_, LockMode::kExclusive)) {
      if (errno != EWOULDBLOCK) {
        Fault("cannot lock a named mutex: " + std::string(std::strerror(errno)));
      }
      if (deadline.Expired()) {
        return false;
      }
      // Another process holds it; it tells nobody when it lets go, so look again shortly.
      std::this_thread::sleep_for(
          std::min<std::chrono::nanoseconds>(deadline.Slice(), std::chrono::milliseconds(1)));
    }
    *abandoned = ::lseek(ownerFd_, 0, SEEK_END) > 0;
    const std::string identity =
        std::to_string(::getpid()) + " " + std::to_string(CurrentThreadIdentity()) + "\n";
    if (::ftruncate(ownerFd_, 0) != 0 || ::pwrite(ownerFd_, identity.data(), identity.size(), 0) !=
                                             static_cast<ssize_t>(identity.size())) {
      Fault("cannot mark a named mutex as owned: " + std::string(std::strerror(errno)));
    }
    return true;
  }

  void CloseFiles() {
    if (ownerFd_ >= 0) {
      ::close(ownerFd_);
      ownerFd_ = -1;
    }
    if (referenceFd_ >= 0) {
      ::close(referenceFd_);
      referenceFd_ = -1;
    }
  }

  std::u16string name_;
  int referenceFd_ = -1;
  int ownerFd_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  DWORD owner_ = 0;
  std::uint32_t recursion_ = 0;
  bool abandoned_ = false;
  bool acquiring_ = false;
};

// Opens the host files of a named mutex; *existed tells whether another process has it open.
bool OpenNamedMutexFiles(std::u16string_view name, int* referenceFd, int* ownerFd, bool* existed) {
  const fs::path folder = CurrentMachine().RamDirectory() / "mutexes";
  std::error_code code;
  fs::create_directories(folder, code);
  // Serialises the creation of named mutexes between the module's processes.
  const LockFileGuard guard(folder / ".create.lock");
  if (!guard.Held()) {
    return false;
  }
  const std::string base = EncodeObjectName(ToUtf8(name));
  *referenceFd = ::open((folder / (base + ".ref")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  *ownerFd = ::open((folder / (base + ".own")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (*referenceFd < 0 || *ownerFd < 0) {
    if (*referenceFd >= 0) {
      ::close(*referenceFd);
    }
    if (*ownerFd >= 0) {
      ::close(*ownerFd);
    }
    return false;
  }
  // Nobody else can hold it exclusively while we hold the guard, so a refused exclusive lock
  // means another process holds a shared one: it has the mutex open.
  *existed = !TryLockFile(*referenceFd, LockMode::kExclusive);
  return LockFile(*referenceFd, LockMode::kShared);
}

// ---------------------------------------------------------------------------------------------
// Event
// ---------------------------------------------------------------------------------------------
class EventObject final : public KernelObject {
 public:
  EventObject(bool manualReset, bool signalled, std::u16string name)
      : manualReset_(manualReset), signalled_(signalled), name_(std::move(name)) {}
  const char* KindName() const override { return "event"; }

  DWORD Wait(DWORD milliseconds) override {
    const WaitDeadline deadline(milliseconds);
    std::unique_lock lock(mutex_);
    if (!deadline.WaitFor(lock, changed_, [&] { return signalled_; })) {
      lock.unlock();
      deadline.SettleTimeout();
      return WAIT_TIMEOUT;
    }
    if (!manualReset_) {
      signalled_ = false;  // an auto-reset event lets exactly one waiter through
    }
    return WAIT_OBJECT_0;
  }

  void Set(bool signalled) {
    std::lock_guard lock(mutex_);
    signalled_ = signalled;
    if (signalled) {
      changed_.notify_all();
    }
  }

  void OnClose() override {
    if (!name_.empty()) {
      RemoveNamedObject(name_, this);
    }
  }

 private:
  bool manualReset_;
  bool signalled_;
  std::u16string name_;
  std::mutex mutex_;
  std::condition_variable changed_;
};

// ---------------------------------------------------------------------------------------------
// Thread
// ---------------------------------------------------------------------------------------------
class ThreadObject final : public KernelObject {
 public:
  explicit ThreadObject(DWORD identity) : identity_(identity) {}
  const char* KindName() const override { return "thread"; }
  [[nodiscard]] DWORD Identity() const { return identity_; }

  DWORD Wait(DWORD milliseconds) override {
    const WaitDeadline deadline(milliseconds);
    std::unique_lock lock(mutex_);
    if (!deadline.WaitFor(lock, changed_, [&] { return finished_; })) {
      lock.unlock();
      deadline.SettleTimeout();
      return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
  }

  void Finish(DWORD exitCode) {
    std::lock_guard lock(mutex_);
    exitCode_ = exitCode;
    finished_ = true;
    changed_.notify_all();
  }

  DWORD ExitCode() {
    std::lock_guard lock(mutex_);
    return finished_ ? exitCode_ : STILL_ACTIVE;
  }

 private:
  DWORD identity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool finished_ = false;
  DWORD exitCode_ = 0;
};

// Scheduling priorities of the process's threads by identity (absent: THREAD_PRIORITY_NORMAL).
// The host schedules every thread alike; the priority is kept so that a program sees what it
// set and tests can check it.
struct Priorities {
  std::mutex mutex;
  std::map<DWORD, int> byThread;
};

Priorities& ThreadPriorities() {
  static auto* priorities = new Priorities();
  return *priorities;
}

// The pseudo-handle that GetCurrentThread returns: it names the calling thread wherever used.
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

// The identity of the thread a handle names; false when it names none.
bool ThreadOfHandle(HANDLE thread, DWORD* identity) {
  if (thread == kCurrentThread) {
    *identity = CurrentThreadIdentity();
    return true;
  }
  auto object = LookupHandleAs<ThreadObject>(thread);
  if (!object) {
    return false;
  }
  *identity = object->Identity();
  return true;
}

// Creation flags the module accepts: the stack size may be given as a reservation.
constexpr DWORD kStackSizeIsReservation = 0x00010000;

// ---------------------------------------------------------------------------------------------
// The component: every handle of the process closes when it detaches
// ---------------------------------------------------------------------------------------------
class KernelObjectsComponent final : public Component {
 public:
  KernelObjectsComponent() { RegisterComponent(this); }
  const char* ComponentName() const override { return "kernel-objects"; }
  void Detach(Machine& /*machine*/) override {
    CloseAllHandles();
    ClearNamedObjects();
    std::lock_guard guard(ThreadPriorities().mutex);
    ThreadPriorities().byThread.clear();  // the process's threads end with it
  }
};

KernelObjectsComponent kernelObjectsComponent;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Shared pieces
// ---------------------------------------------------------------------------------------------
DWORD CurrentThreadIdentity() {
  if (threadIdentity == 0) {
    threadIdentity = NextThreadIdentity().fetch_add(4);
  }
  return threadIdentity;
}

WaitDeadline::WaitDeadline(DWORD milliseconds) : infinite_(milliseconds == INFINITE) {
  if (!infinite_) {
    virtualEnd_ = CurrentMachine().Clock().Now() + std::uint64_t{milliseconds} * kMillisecond;
    wallEnd_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  }
}

bool WaitDeadline::Expired() const {
  return !infinite_ && (CurrentMachine().Clock().Now() >= virtualEnd_ ||
                        std::chrono::steady_clock::now() >= wallEnd_);
}

std::chrono::nanoseconds WaitDeadline::Slice() const {
  constexpr std::chrono::nanoseconds kLongest = std::chrono::milliseconds(2);
  if (infinite_) {
    return kLongest;
  }
  const auto left = wallEnd_ - std::chrono::steady_clock::now();
  return std::clamp<std::chrono::nanoseconds>(left, std::chrono::nanoseconds(0), kLongest);
}

void WaitDeadline::SettleTimeout() const {
  if (!infinite_) {
    CurrentMachine().Clock().AdvanceTo(virtualEnd_);
  }
}

std::shared_ptr<KernelObject> FindNamedObject(std::u16string_view name, NamedKind kind,
                                              bool* otherKind) {
  NamedTable& table = Named();
  std::lock_guard guard(table.mutex);
  *otherKind = false;
  const auto found = table.entries.find(name);
  if (found == table.entries.end()) {
    return nullptr;
  }
  std::shared_ptr<KernelObject> object = found->second.object.lock();
  if (!object) {
    return nullptr;
  }
  if (found->second.kind != kind) {
    *otherKind = true;
    return nullptr;
  }
  return object;
}

void AddNamedObject(std::u16string_view name, NamedKind kind,
                    const std::shared_ptr<KernelObject>& object) {
  NamedTable& table = Named();
  std::lock_guard guard(table.mutex);
  table.entries[std::u16string(name)] = NamedEntry{kind, object};
}

void RemoveNamedObject(std::u16string_view name, const KernelObject* object) {
  NamedTable& table = Named();
  std::lock_guard guard(table.mutex);
  const auto found = table.entries.find(name);
  if (found != table.entries.end()) {
    const std::shared_ptr<KernelObject> current = found->second.object.lock();
    if (!current || current.get() == object) {
      table.entries.erase(found);
    }
  }
}

void ClearNamedObjects() {
  NamedTable& table = Named();
  std::lock_guard guard(table.mutex);
  table.entries.clear();
}

std::string EncodeObjectName(std::string_view utf8Name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < utf8Name.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8Name[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == ' ' || (c == '.' && i != 0);
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

}  // namespace sim

// ---------------------------------------------------------------------------------------------
// The platform's calls
// ---------------------------------------------------------------------------------------------
namespace {

// The longest object name the module accepts, in code units.
constexpr std::size_t kMaxObjectName = MAX_PATH;

// Checks a name argument: null or empty means unnamed. False (last error set) when too long.
bool ObjectName(LPCWSTR name, std::u16string* result) {
  result->clear();
  if (name == nullptr) {
    return true;
  }
  const std::size_t length = WideLengthBounded(name, kMaxObjectName + 1);
  if (length > kMaxObjectName) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  result->assign(name, length);
  return true;
}

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES /*mutexAttributes*/, BOOL initialOwner, LPCWSTR name) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("CreateMutexW", {static_cast<std::uint64_t>(initialOwner)}, ERROR_GEN_FAILURE,
                     &error, name)) {
    SetLastError(error);
    return nullptr;
  }
  std::u16string objectName;
  if (!ObjectName(name, &objectName)) {
    return nullptr;
  }
  if (objectName.empty()) {
    auto mutex = std::make_shared<sim::MutexObject>();
    if (initialOwner) {
      mutex->TakeInitialOwnership();
    }
    SetLastError(ERROR_SUCCESS);
    return sim::AddHandle(mutex);
  }
  bool otherKind = false;
  if (auto existing = sim::FindNamedObject(objectName, sim::NamedKind::kMutex, &otherKind)) {
    // Opened again in this process: a new handle to the same mutex; ownership is not given.
    HANDLE handle = sim::AddHandle(existing);
    SetLastError(ERROR_ALREADY_EXISTS);
    return handle;
  }
  if (otherKind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  int referenceFd = -1;
  int ownerFd = -1;
  bool existed = false;
  if (!sim::OpenNamedMutexFiles(objectName, &referenceFd, &ownerFd, &existed)) {
    SetLastError(ERROR_GEN_FAILURE);
    return nullptr;
  }
  auto mutex = std::make_shared<sim::MutexObject>(objectName, referenceFd, ownerFd);
  if (initialOwner && !existed) {
    mutex->TakeInitialOwnership();
  }
  sim::AddNamedObject(objectName, sim::NamedKind::kMutex, mutex);
  HANDLE handle = sim::AddHandle(mutex);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL ReleaseMutex(HANDLE mutex) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("ReleaseMutex", {sim::Word(mutex)}, ERROR_GEN_FAILURE, &error)) {
    SetLastError(error);
    return FALSE;
  }
  auto object = sim::LookupHandleAs<sim::MutexObject>(mutex);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return object->Release() ? TRUE : FALSE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*eventAttributes*/, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails(
          "CreateEventW",
          {static_cast<std::uint64_t>(manualReset), static_cast<std::uint64_t>(initialState)},
          ERROR_GEN_FAILURE, &error, name)) {
    SetLastError(error);
    return nullptr;
  }
  std::u16string objectName;
  if (!ObjectName(name, &objectName)) {
    return nullptr;
  }
  if (!objectName.empty()) {
    bool otherKind = false;
    if (auto existing = sim::FindNamedObject(objectName, sim::NamedKind::kEvent, &otherKind)) {
      HANDLE handle = sim::AddHandle(existing);
      SetLastError(ERROR_ALREADY_EXISTS);
      return handle;
    }
    if (otherKind) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  }
  auto event =
      std::make_shared<sim::EventObject>(manualReset != FALSE, initialState != FALSE, objectName);
  if (!objectName.empty()) {
    sim::AddNamedObject(objectName, sim::NamedKind::kEvent, event);
  }
  SetLastError(ERROR_SUCCESS);
  return sim::AddHandle(event);
}

namespace {

BOOL SetEventState(const char* call, HANDLE event, bool signalled) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails(call, {sim::Word(event)}, ERROR_GEN_FAILURE, &error)) {
    SetLastError(error);
    return FALSE;
  }
  auto object = sim::LookupHandleAs<sim::EventObject>(event);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->Set(signalled);
  return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) { return SetEventState("SetEvent", event, true); }
BOOL ResetEvent(HANDLE event) { return SetEventState("ResetEvent", event, false); }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("WaitForSingleObject", {sim::Word(handle), milliseconds}, ERROR_GEN_FAILURE,
                     &error)) {
    SetLastError(error);
    return WAIT_FAILED;
  }
  auto object = sim::LookupHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  const DWORD result = object->Wait(milliseconds);
  if (result == sim::KernelObject::WAIT_FAILED_VALUE &&
      dynamic_cast<sim::MutexObject*>(object.get()) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);  // files, searches and the like cannot be waited on
  }
  return result;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES /*threadAttributes*/, DWORD stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("CreateThread",
                     {stackSize, sim::Word(reinterpret_cast<const void*>(startAddress)),
                      sim::Word(parameter), creationFlags},
                     ERROR_NOT_ENOUGH_MEMORY, &error)) {
    SetLastError(error);
    return nullptr;
  }
  // Suspended creation would need ResumeThread, which this image's programs do not get.
  if (startAddress == nullptr || (creationFlags & ~sim::kStackSizeIsReservation) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const DWORD identity = sim::NextThreadIdentity().fetch_add(4);
  auto thread = std::make_shared<sim::ThreadObject>(identity);
  if (threadId != nullptr) {
    *threadId = identity;
  }
  HANDLE handle = sim::AddHandle(thread);
  sim::ProgramThreadStarted();
  // The new thread starts in the process's processor mode (a thread-local mode starts unset).
  std::thread([thread, identity, startAddress, parameter] {
    sim::threadIdentity = identity;
    const DWORD exitCode = startAddress(parameter);
    for (const auto& owned : sim::ownedMutexes) {
      if (auto mutex = owned.lock()) {
        mutex->Abandon(identity);
      }
    }
    sim::ownedMutexes.clear();
    {
      std::lock_guard guard(sim::ThreadPriorities().mutex);
      sim::ThreadPriorities().byThread.erase(identity);
    }
    thread->Finish(exitCode);
    sim::ProgramThreadEnded();
  }).detach();
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("GetExitCodeThread", {sim::Word(thread)}, ERROR_GEN_FAILURE, &error)) {
    SetLastError(error);
    return FALSE;
  }
  auto object = sim::LookupHandleAs<sim::ThreadObject>(thread);
  if (!object || exitCode == nullptr) {
    SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exitCode = object->ExitCode();
  return TRUE;
}

DWORD GetCurrentThreadId() { return sim::CurrentThreadIdentity(); }

HANDLE GetCurrentThread() {
  sim::CurrentMachine().Calls().Add("GetCurrentThread", {});
  return sim::kCurrentThread;
}

int GetThreadPriority(HANDLE thread) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("GetThreadPriority", {sim::Word(thread)}, ERROR_GEN_FAILURE, &error)) {
    SetLastError(error);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  DWORD identity = 0;
  if (!sim::ThreadOfHandle(thread, &identity)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  std::lock_guard guard(sim::ThreadPriorities().mutex);
  const auto found = sim::ThreadPriorities().byThread.find(identity);
  return found == sim::ThreadPriorities().byThread.end() ? THREAD_PRIORITY_NORMAL : found->second;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails(
          "SetThreadPriority",
          {sim::Word(thread), static_cast<std::uint64_t>(static_cast<std::int64_t>(priority))},
          ERROR_GEN_FAILURE, &error)) {
    SetLastError(error);
    return FALSE;
  }
  DWORD identity = 0;
  if (!sim::ThreadOfHandle(thread, &identity)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (priority < THREAD_PRIORITY_TIME_CRITICAL || priority > THREAD_PRIORITY_IDLE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard guard(sim::ThreadPriorities().mutex);
  if (priority == THREAD_PRIORITY_NORMAL) {
    sim::ThreadPriorities().byThread.erase(identity);
  } else {
    sim::ThreadPriorities().byThread[identity] = priority;
  }
  return TRUE;
}
