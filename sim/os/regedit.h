// The registry as a tree, and its REGEDIT4 text form.
//
// registry.reg, default.reg and the live registry in ram/ are all REGEDIT4 text:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Drivers\BuiltIn\StrataFMD]
//   "Profile"="FlashDisk"
//   "MemBase"=dword:00000000
//   "Table"=hex:01,02,03
//   "Paths"=hex(7):41,00,00,00,00,00
//   @="the key's default value"
//
// Strings are UTF-8 in the file and UTF-16 in the registry; inside quotes only \\ and \" are
// escapes. A value of another type, or a REG_SZ that the quoted form cannot carry exactly (no
// single terminator, embedded zeros or control characters), is written as hex(N): with its
// bytes as stored, so that every value reads back byte for byte. Long hex lists continue on the
// next line after a trailing backslash. Lines starting with ';' are comments. Key names are at
// most 255 characters and hold no control characters; value names hold no control characters.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/base/names.h"

namespace sim {

struct RegistryValue {
  std::u16string name;  // "" is the key's default value
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

class RegistryKey {
 public:
  explicit RegistryKey(std::u16string name = {}) : name_(std::move(name)) {}
  RegistryKey(const RegistryKey& other);
  RegistryKey& operator=(const RegistryKey& other);

  [[nodiscard]] const std::u16string& Name() const { return name_; }
  // Subkey by name, ignoring case as the module does; null when absent.
  [[nodiscard]] RegistryKey* Find(std::u16string_view name) const;
  // The subkey, created (at the end of the list) when absent; *created tells which.
  RegistryKey* FindOrCreate(std::u16string_view name, bool* created = nullptr);
  bool Remove(std::u16string_view name);
  [[nodiscard]] const std::vector<std::unique_ptr<RegistryKey>>& Subkeys() const {
    return subkeys_;
  }

  [[nodiscard]] const RegistryValue* FindValue(std::u16string_view name) const;
  // Sets (replacing in place, or appending) a value.
  void SetValue(RegistryValue value);
  bool RemoveValue(std::u16string_view name);
  [[nodiscard]] const std::vector<RegistryValue>& Values() const { return values_; }

 private:
  std::u16string name_;
  std::vector<std::unique_ptr<RegistryKey>> subkeys_;
  std::vector<RegistryValue> values_;
};

// The four predefined roots, spelled as in REGEDIT4 files.
inline constexpr const char* kRegistryRoots[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                                 "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

// The whole registry: one key per predefined root, in the order of kRegistryRoots.
class RegistryTree {
 public:
  RegistryTree();
  RegistryTree(const RegistryTree& other);
  RegistryTree& operator=(const RegistryTree& other);
  RegistryTree(RegistryTree&&) noexcept = default;
  RegistryTree& operator=(RegistryTree&&) noexcept = default;
  // The root key named by a full name or its short form (HKLM, HKCU, HKCR, HKU); null when none.
  [[nodiscard]] RegistryKey* Root(std::u16string_view name) const;
  [[nodiscard]] RegistryKey* Root(std::size_t index) const { return roots_[index].get(); }
  // The key at "HKEY_LOCAL_MACHINE\a\b" (separators '\'); null when absent.
  [[nodiscard]] RegistryKey* FindPath(std::u16string_view path) const;
  // The key at a path, creating missing keys; null when the root is unknown or a name is not
  // allowed.
  RegistryKey* CreatePath(std::u16string_view path);

 private:
  std::unique_ptr<RegistryKey> roots_[4];
};

// A key name as the registry accepts it: 1 to 255 characters, no '\', no control characters
// and no lone surrogate.
bool IsValidKeyName(std::u16string_view name);
// A value name: no control characters and no lone surrogate.
bool IsValidValueName(std::u16string_view name);

// Parses REGEDIT4 text. On failure returns false with one line in *error:
// "<fileName>: line N: what is wrong"; *tree is then unchanged.
bool ParseRegistryText(std::string_view text, const std::string& fileName, RegistryTree* tree,
                       std::string* error);
// The REGEDIT4 text of a whole tree (every key, in tree order).
std::string WriteRegistryText(const RegistryTree& tree);

}  // namespace sim
