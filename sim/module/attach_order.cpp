#include "sim/module/attach_order.h"

#include <algorithm>

#include "sim/module/machine.h"

namespace sim {

bool OrderComponents(const std::vector<Component*>& registered,
                     std::span<const std::string_view> order, std::vector<Component*>* ordered,
                     std::string* error) {
  std::vector<Component*> result;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::string_view name = order[i];
    if (std::find(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(i), name) !=
        order.begin() + static_cast<std::ptrdiff_t>(i)) {
      *error = "component \"" + std::string(name) + "\" is listed twice in the attach order";
      return false;
    }
    std::vector<Component*> matching;
    std::copy_if(registered.begin(), registered.end(), std::back_inserter(matching),
                 [name](Component* component) { return name == component->ComponentName(); });
    if (matching.empty()) {
      *error = "component \"" + std::string(name) + "\" is in the attach order but not registered";
      return false;
    }
    if (matching.size() > 1) {
      *error = "component \"" + std::string(name) + "\" is registered twice";
      return false;
    }
    result.push_back(matching.front());
  }
  for (Component* component : registered) {
    if (std::find(result.begin(), result.end(), component) == result.end()) {
      *error = "component \"" + std::string(component->ComponentName()) +
               "\" has no place in the attach order (sim/module/attach_order.h)";
      return false;
    }
  }
  *ordered = std::move(result);
  return true;
}

}  // namespace sim
