// The module's registry, for device and OS models, presets and tests.
//
// The running OS keeps its registry in ram/registry.live (REGEDIT4 text) that every process of
// the module shares under a file lock; each process reloads it when another one changed it.
// RegFlushKey stores it in the flash registry region (registry_store.h). At boot the registry is
// loaded from there, or from default.reg (the image's own registry) when the region holds none
// or the registry-clear control left its marker; that boot also erases the stored copy, since a
// cleared registry stays cleared until the next flush. registry.reg in the module directory is a
// readable copy of what the flash holds, written at every flush and boot, never read.
//
// Key paths here are UTF-8 with '\' separators and a root spelled in full or short:
// "HKEY_LOCAL_MACHINE\Drivers\BuiltIn\StrataFMD" or "HKLM\Drivers\BuiltIn\StrataFMD". Value
// names are UTF-8; "" is the key's default value.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/os/regedit.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// The attached module's live registry
// ---------------------------------------------------------------------------------------------
// These change the live registry as the OS does at boot (call them from a component's Boot or
// Populate). While a new module is being populated, the registry as it stands when population
// ends becomes both default.reg and the registry stored in flash. Missing keys are created. False
// when no module is attached or a name is not allowed.
bool RegistrySetValue(std::string_view keyPath, std::string_view name, std::uint32_t type,
                      std::span<const std::uint8_t> data);
bool RegistrySetString(std::string_view keyPath, std::string_view name, std::string_view text);
bool RegistrySetDword(std::string_view keyPath, std::string_view name, std::uint32_t value);
bool RegistrySetMultiString(std::string_view keyPath, std::string_view name,
                            const std::vector<std::string>& strings);
bool RegistryCreateKey(std::string_view keyPath);
// Removes a key with all its subkeys; false when it did not exist.
bool RegistryDeleteKey(std::string_view keyPath);

bool RegistryGetValue(std::string_view keyPath, std::string_view name, std::uint32_t* type,
                      std::vector<std::uint8_t>* data);
// REG_SZ or REG_EXPAND_SZ text without its terminator; false when absent or of another type.
bool RegistryGetString(std::string_view keyPath, std::string_view name, std::string* text);
bool RegistryGetDword(std::string_view keyPath, std::string_view name, std::uint32_t* value);
bool RegistryKeyExists(std::string_view keyPath);
// A copy of the whole live registry.
bool RegistrySnapshot(RegistryTree* tree);

// Ends the filling of a new module: the live registry becomes the image's registry (default.reg)
// and the one stored in flash.
class Machine;
bool FinishPopulatingRegistry(Machine& machine, std::string* error);

// ---------------------------------------------------------------------------------------------
// Registry files
// ---------------------------------------------------------------------------------------------
// Reads a REGEDIT4 file; on failure one line naming the file (and the line) in *error.
bool LoadRegistryFile(const std::filesystem::path& file, RegistryTree* tree, std::string* error);
bool SaveRegistryFile(const std::filesystem::path& file, const RegistryTree& tree,
                      std::string* error);

}  // namespace sim
