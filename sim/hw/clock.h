// The module's virtual clock.
//
// One clock per module, shared by every process attached to it (it lives in ram/clock, a
// memory-mapped file, so it starts again from zero at a module reset). GetTickCount reads it,
// Sleep advances it, and device models advance it by the time their work takes on the real
// chips. In fast pace time is only virtual; in real pace a process waits whenever virtual time
// would run ahead of the wall time that passed since it attached. Wall time that went by while
// nothing advanced the clock (a user looking at a dialog) is not saved up: an operation started
// afterwards still takes its own duration, give or take kRealPaceSlack. While no process is
// attached the module's time goes on with the wall: the next process to attach moves the clock on
// by the wall time since the last one attached or detached.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace sim {

enum class Pace { kFast, kReal };

class VirtualClock {
 public:
  VirtualClock() = default;
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;
  ~VirtualClock();

  // Maps the shared counter in file (created as zero when missing). Returns false with a message
  // when the file cannot be used.
  bool Open(const std::filesystem::path& file, Pace pace, std::string* error);
  void Close();

  // Nanoseconds of module time since the module's last reset.
  [[nodiscard]] std::uint64_t Now() const { return counter_->load(std::memory_order_relaxed); }
  // Lets nanoseconds of module time pass. In real pace this waits as long as virtual time would
  // otherwise run ahead of wall time.
  void Advance(std::uint64_t nanoseconds) {
    if (pace_ == Pace::kReal) {
      ForgiveIdleTime();
    }
    counter_->fetch_add(nanoseconds, std::memory_order_relaxed);
    if (pace_ == Pace::kReal) {
      HoldToWallTime();
    }
  }
  // Moves the clock forward to at least the given time (a device that is busy until then).
  void AdvanceTo(std::uint64_t nanoseconds);
  [[nodiscard]] Pace CurrentPace() const { return pace_; }
  // Notes the wall time that goes with the module time now (a process attaches or detaches).
  void Stamp();
  // The module ran on while no process was attached: the clock moves to where wall time since
  // the last stamp takes it (never back). Time that passes here is not owed in real pace.
  void PassIdleTime();
  // Lets the module's time run to at least the given time without waiting for the wall, for time
  // that went by while no process looked (a chip that finished its work meanwhile).
  void PassTo(std::uint64_t nanoseconds);
  // Virtual time gone by since this process attached.
  [[nodiscard]] std::uint64_t SinceAttach() const { return Now() - virtualAnchor_; }

 private:
  void HoldToWallTime();
  // Real pace: lets go of wall time beyond kRealPaceSlack that virtual time lags behind.
  void ForgiveIdleTime();
  [[nodiscard]] std::int64_t WallElapsed() const;

  std::atomic<std::uint64_t>* counter_ = &localCounter_;
  std::atomic<std::uint64_t> localCounter_{0};
  void* mapping_ = nullptr;
  Pace pace_ = Pace::kFast;
  std::uint64_t virtualAnchor_ = 0;
  // Steady-clock nanoseconds that go with virtualAnchor_; moved on by ForgiveIdleTime from any
  // thread of the process.
  std::atomic<std::int64_t> wallAnchor_{0};
};

inline constexpr std::uint64_t kMicrosecond = 1000;
inline constexpr std::uint64_t kMillisecond = 1000 * kMicrosecond;
// How far real pace lets the host's own work count against the time the module's devices take.
inline constexpr std::uint64_t kRealPaceSlack = 50 * kMillisecond;

}  // namespace sim
