// A record of the platform calls a process made, for tests that check call sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// ---------------------------------------------------------------------------------------------
// Record of platform calls, for tests that check call sequences
// ---------------------------------------------------------------------------------------------
struct CallEntry {
  std::string name;
  std::vector<std::uint64_t> args;
  std::vector<std::uint8_t> input;  // request block, where the call has one
};

class CallRecord {
 public:
  void Enable(bool on) { enabled_ = on; }
  [[nodiscard]] bool Enabled() const { return enabled_; }
  void Add(std::string name, std::vector<std::uint64_t> args, const void* input = nullptr,
           std::size_t inputSize = 0);
  std::vector<CallEntry> Entries() const;
  std::vector<CallEntry> Entries(std::string_view name) const;
  void Clear();

 private:
  bool enabled_ = false;
  mutable std::mutex mutex_;
  std::vector<CallEntry> entries_;
};

}  // namespace sim
