#include "sim/hw/clock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace sim {

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
  wallAnchor_ = std::chrono::steady_clock::now();
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

void VirtualClock::AdvanceTo(std::uint64_t nanoseconds) {
  std::uint64_t now = Now();
  while (now < nanoseconds &&
         !counter_->compare_exchange_weak(now, nanoseconds, std::memory_order_relaxed)) {
  }
  if (pace_ == Pace::kReal) {
    HoldToWallTime();
  }
}

void VirtualClock::HoldToWallTime() {
  const std::uint64_t virtualElapsed = Now() - virtualAnchor_;
  const auto wallElapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now() - wallAnchor_)
                               .count();
  if (static_cast<std::int64_t>(virtualElapsed) > wallElapsed) {
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(static_cast<std::int64_t>(virtualElapsed) - wallElapsed));
  }
}

}  // namespace sim
