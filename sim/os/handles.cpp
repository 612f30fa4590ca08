// The process's handle table.
//
// Handle values are never reused within a process: a handle closed once stays invalid, so a
// program that uses a handle after closing it gets ERROR_INVALID_HANDLE instead of silently
// reaching whatever object was opened next (the module may reuse slots; the model is stricter).
#include "sim/os/handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/kernel.h"

namespace sim {
namespace {

struct HandleTable {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> entries;
  // How many handles name each object; OnClose runs when the count drops to zero.
  std::unordered_map<const KernelObject*, std::size_t> openCounts;
  // Handle values are multiples of 4 as on the module (the low two bits are free for flags),
  // starting above the range of small integers a program might mistake for a handle.
  std::uintptr_t next = 0x1000;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable();  // Never destroyed: threads may outlive main.
  return *table;
}

}  // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
  if (!object) {
    return nullptr;
  }
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  const std::uintptr_t value = table.next;
  table.next += 4;
  ++table.openCounts[object.get()];
  table.entries.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  const auto found = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == table.entries.end()) {
    return nullptr;
  }
  return found->second;
}

bool RemoveHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> lastReference;
  {
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    const auto found = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == table.entries.end()) {
      return false;
    }
    std::shared_ptr<KernelObject> object = std::move(found->second);
    table.entries.erase(found);
    const auto count = table.openCounts.find(object.get());
    if (count != table.openCounts.end() && --count->second == 0) {
      table.openCounts.erase(count);
      lastReference = std::move(object);
    }
  }
  // Outside the table lock: OnClose may itself add or remove handles.
  if (lastReference) {
    lastReference->OnClose();
  }
  return true;
}

void CloseAllHandles() {
  std::vector<std::shared_ptr<KernelObject>> closing;
  {
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    for (auto& [value, object] : table.entries) {
      const auto count = table.openCounts.find(object.get());
      if (count != table.openCounts.end()) {
        table.openCounts.erase(count);
        closing.push_back(object);
      }
    }
    table.entries.clear();
    table.openCounts.clear();
  }
  for (const auto& object : closing) {
    object->OnClose();
  }
}

std::size_t OpenHandleCount() {
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  return table.entries.size();
}

}  // namespace sim

BOOL CloseHandle(HANDLE object) {
  if (!sim::RemoveHandle(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
