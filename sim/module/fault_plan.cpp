#include "sim/module/fault_plan.h"

#include "sim/module/config_reader.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// FaultPlan
// ---------------------------------------------------------------------------------------------
void FaultPlan::Load(const Json& faults) {
  Clear();
  if (!faults.is_object()) {
    return;
  }
  std::uint64_t seed = 1;
  if (faults.contains("seed")) {
    ParseUnsigned(faults["seed"], &seed);
  }
  random_.seed(static_cast<std::uint32_t>(seed));
  if (faults.contains("items") && faults["items"].is_array()) {
    for (const Json& item : faults["items"]) {
      Add(item);
    }
  }
}

void FaultPlan::Add(Json item) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (item.value("kind", "") == "call") {
    CallFault fault{item.value("name", ""), item.value("skip", std::int64_t{0}),
                    item.value("count", std::int64_t{1}), item.value("error", std::uint32_t{31})};
    calls_.push_back(fault);
  }
  items_.push_back(std::move(item));
  generation_.fetch_add(1, std::memory_order_release);
}

void FaultPlan::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  items_.clear();
  calls_.clear();
  generation_.fetch_add(1, std::memory_order_release);
}

bool FaultPlan::FailCall(std::string_view name, std::uint32_t* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (CallFault& fault : calls_) {
    if (fault.name != name) {
      continue;
    }
    if (fault.skip > 0) {
      --fault.skip;
      continue;
    }
    if (fault.count == 0) {
      continue;
    }
    if (fault.count > 0) {
      --fault.count;
    }
    if (error != nullptr) {
      *error = fault.error;
    }
    return true;
  }
  return false;
}

std::vector<Json> FaultPlan::Items(std::string_view kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Json> result;
  for (const Json& item : items_) {
    if (item.value("kind", "") == kind) {
      result.push_back(item);
    }
  }
  return result;
}

}  // namespace sim
