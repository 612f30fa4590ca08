// The module's fault plan: what fails, where and when.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Json = nlohmann::json;

// ---------------------------------------------------------------------------------------------
// Fault plan
// ---------------------------------------------------------------------------------------------
// module.json "faults": {"seed": N, "items": [ {"kind": "...", ...}, ... ]}. Items of kind
// "call" make a platform call fail: {"kind": "call", "name": "VirtualCopy", "skip": 0,
// "count": 1, "error": 31}; skip calls pass first, then count calls fail (count -1: all).
// Device models read the items of their own kinds. Tests add items through the testing calls.
class FaultPlan {
 public:
  void Load(const Json& faults);
  // True when this call of the named platform function is to fail; sets *error to its code.
  bool FailCall(std::string_view name, std::uint32_t* error = nullptr);
  // Items of one kind (copied; safe against concurrent additions).
  std::vector<Json> Items(std::string_view kind) const;
  std::mt19937& Random() { return random_; }
  // Changes whenever items are added or cleared, so that a model can cache its own items.
  [[nodiscard]] std::uint64_t Generation() const {
    return generation_.load(std::memory_order_acquire);
  }

  // --- testing calls ---
  void Add(Json item);
  void Clear();

 private:
  struct CallFault {
    std::string name;
    std::int64_t skip;
    std::int64_t count;
    std::uint32_t error;
  };
  mutable std::mutex mutex_;
  std::vector<Json> items_;
  std::vector<CallFault> calls_;
  std::mt19937 random_{1};
  std::atomic<std::uint64_t> generation_{0};
};

}  // namespace sim
