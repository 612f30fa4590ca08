#include "sim/module/call_record.h"

#include <cstring>

namespace sim {

// ---------------------------------------------------------------------------------------------
// CallRecord
// ---------------------------------------------------------------------------------------------
void CallRecord::Add(std::string name, std::vector<std::uint64_t> args, const void* input,
                     std::size_t inputSize) {
  if (!enabled_) {
    return;
  }
  CallEntry entry{std::move(name), std::move(args), {}};
  if (input != nullptr && inputSize > 0) {
    const auto* bytes = static_cast<const std::uint8_t*>(input);
    entry.input.assign(bytes, bytes + inputSize);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(std::move(entry));
}

std::vector<CallEntry> CallRecord::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::vector<CallEntry> CallRecord::Entries(std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<CallEntry> result;
  for (const CallEntry& entry : entries_) {
    if (entry.name == name) {
      result.push_back(entry);
    }
  }
  return result;
}

void CallRecord::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

}  // namespace sim
