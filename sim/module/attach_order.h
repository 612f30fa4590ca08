// The order in which the module's components run: creation, validation, attach, population and
// boot go down the list, detach comes back up it. One list, so that no two components share a
// place and a new component has to be given one.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Component;

// Every component, by ComponentName(), first to last.
inline constexpr std::string_view kAttachOrder[] = {
    // Writes the layout that the flash, storage and registry models read when they create theirs.
    "content",
    "rtc",
    "registry",
    "nand",
    "nor",
    "files",
    "gpio",
    // After the GPIO block its JTAG port is wired to.
    "cpld",
    "modules",
    // After the handles close (the kernel objects detach before it), before the models detach.
    "shared-memory",
    // The process's handles close first at detach, before the models behind them.
    "kernel-objects",
    // Boots on the flash, the registry, the file system and the kernel objects, and writes its
    // volumes back before they go.
    "storage",
};

// The registered components in the order of the list. False with one line naming the component
// when one is registered but not listed, listed twice, or listed but not registered.
[[nodiscard]] bool OrderComponents(const std::vector<Component*>& registered,
                                   std::span<const std::string_view> order,
                                   std::vector<Component*>* ordered, std::string* error);

}  // namespace sim
