// Shared pieces of the personality's kernel objects: thread identities, named objects, waits
// with time-outs, and the host files behind objects that processes of one module share.
//
// Waits and the virtual clock: a wait that is satisfied at once costs no module time. A wait
// that must block waits for the other side (a thread of this process or another process) in
// wall time; blocking does not move the virtual clock by itself, because the other side's work
// does. A time-out ends the wait as soon as the given time has passed either on the virtual
// clock (another thread's modelled work) or in wall time (a holder in another process), and the
// virtual clock then stands at least at the wait's start plus the time-out, so the caller sees
// on GetTickCount the time it waited. A time-out of 0 only tests the object; INFINITE waits
// until the object is signalled.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/types.h"
#include "sim/module/machine.h"
#include "sim/os/handles.h"

namespace sim {

// The module's identity of the calling thread (what GetCurrentThreadId returns).
DWORD CurrentThreadIdentity();

// The end of a wait with a time-out (see above).
class WaitDeadline {
 public:
  explicit WaitDeadline(DWORD milliseconds);
  [[nodiscard]] bool Infinite() const { return infinite_; }
  [[nodiscard]] bool Expired() const;
  // Moves the virtual clock to the end of the time-out (call without holding object locks:
  // in real pace the clock may hold the thread to wall time).
  void SettleTimeout() const;
  // Waits on cv until ready() holds or the deadline passes; true when ready() held.
  template <typename Ready>
  bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Ready ready) const {
    while (!ready()) {
      if (infinite_) {
        cv.wait(lock);
        continue;
      }
      if (Expired()) {
        return false;
      }
      // The virtual clock is moved by other threads without notifying us: look again soon.
      cv.wait_for(lock, Slice());
    }
    return true;
  }
  [[nodiscard]] std::chrono::nanoseconds Slice() const;

 private:
  bool infinite_ = false;
  std::uint64_t virtualEnd_ = 0;
  std::chrono::steady_clock::time_point wallEnd_{};
};

// Named kernel objects of this process share one namespace (a name used for a mutex cannot be
// used for an event). Names are case-sensitive.
enum class NamedKind { kMutex, kEvent, kMapping };
// The live object of that name, or null. *otherKind is set when the name belongs to an object
// of another kind.
std::shared_ptr<KernelObject> FindNamedObject(std::u16string_view name, NamedKind kind,
                                              bool* otherKind);
void AddNamedObject(std::u16string_view name, NamedKind kind,
                    const std::shared_ptr<KernelObject>& object);
void RemoveNamedObject(std::u16string_view name, const KernelObject* object);
void ClearNamedObjects();

// A kernel object name written so that it is one safe host file name: letters, digits and
// "-_. " stay, everything else (and a leading '.') becomes %XX of its UTF-8 bytes.
std::string EncodeObjectName(std::string_view utf8Name);

}  // namespace sim
