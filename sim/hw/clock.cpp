#include "sim/hw/clock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace sim {

namespace {
// Words of the clock's page: the module time, and the wall time with the module time of the
// last stamp.
constexpr std::size_t kStampWall = 1;
constexpr std::size_t kStampModule = 2;

std::int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::uint64_t WallNanoseconds() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}
}  // namespace

VirtualClock::~VirtualClock() { Close(); }

bool VirtualClock::Open(const std::filesystem::path& file, Pace pace, std::string* error) {
  Close();
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd < 0) {
    *error = file.string() + ": cannot open: " + std::strerror(errno);
    return false;
  }
  if (::ftruncate(fd, 4096) != 0) {
    *error = file.string() + ": cannot size: " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  void* map = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) {
    *error = file.string() + ": cannot map: " + std::strerror(errno);
    return false;
  }
  static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
  mapping_ = map;
  counter_ = static_cast<std::atomic<std::uint64_t>*>(map);
  pace_ = pace;
  virtualAnchor_ = Now();
  wallAnchor_ = SteadyNanoseconds();
  return true;
}

void VirtualClock::Close() {
  if (mapping_ != nullptr) {
    localCounter_.store(counter_->load());
    ::munmap(mapping_, 4096);
    mapping_ = nullptr;
    counter_ = &localCounter_;
  }
}

void VirtualClock::Stamp() {
  if (mapping_ == nullptr) {
    return;
  }
  counter_[kStampModule].store(Now(), std::memory_order_relaxed);
  counter_[kStampWall].store(WallNanoseconds(), std::memory_order_relaxed);
}

void VirtualClock::PassIdleTime() {
  if (mapping_ == nullptr) {
    return;
  }
  const std::uint64_t wall = counter_[kStampWall].load(std::memory_order_relaxed);
  const std::uint64_t now = WallNanoseconds();
  if (wall == 0 || now <= wall) {
    return;  // never stamped (a new module), or the host's clock went back
  }
  PassTo(counter_[kStampModule].load(std::memory_order_relaxed) + (now - wall));
}

void VirtualClock::PassTo(std::uint64_t nanoseconds) {
  std::uint64_t now = Now();
  while (now < nanoseconds &&
         !counter_->compare_exchange_weak(now, nanoseconds, std::memory_order_relaxed)) {
  }
  // Nobody waited for this time: real pace counts from here.
  virtualAnchor_ = Now();
  wallAnchor_ = SteadyNanoseconds();
}

void VirtualClock::AdvanceTo(std::uint64_t nanoseconds) {
  if (pace_ == Pace::kReal) {
    ForgiveIdleTime();
  }
  std::uint64_t now = Now();
  while (now < nanoseconds &&
         !counter_->compare_exchange_weak(now, nanoseconds, std::memory_order_relaxed)) {
  }
  if (pace_ == Pace::kReal) {
    HoldToWallTime();
  }
}

std::int64_t VirtualClock::WallElapsed() const {
  return SteadyNanoseconds() - wallAnchor_.load(std::memory_order_relaxed);
}

void VirtualClock::ForgiveIdleTime() {
  const auto virtualElapsed = static_cast<std::int64_t>(Now() - virtualAnchor_);
  const std::int64_t excess =
      WallElapsed() - virtualElapsed - static_cast<std::int64_t>(kRealPaceSlack);
  if (excess > 0) {
    wallAnchor_.fetch_add(excess, std::memory_order_relaxed);
  }
}

void VirtualClock::HoldToWallTime() {
  const std::uint64_t virtualElapsed = Now() - virtualAnchor_;
  const std::int64_t wallElapsed = WallElapsed();
  if (static_cast<std::int64_t>(virtualElapsed) > wallElapsed) {
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(static_cast<std::int64_t>(virtualElapsed) - wallElapsed));
  }
}

}  // namespace sim
