// The registry tree and its REGEDIT4 reader and writer.
#include "sim/os/regedit.h"

#include <algorithm>
#include <cstdio>

#include "sim/base/hex.h"
#include "sim/base/utf.h"

namespace sim {
namespace {

constexpr std::uint32_t kTypeString = 1;  // REG_SZ
constexpr std::uint32_t kTypeBinary = 3;  // REG_BINARY
constexpr std::uint32_t kTypeDword = 4;   // REG_DWORD
constexpr std::size_t kMaxKeyName = 255;  // the registry's limit for one key name

bool HasControlCharacter(std::u16string_view name) {
  return std::any_of(name.begin(), name.end(), [](char16_t unit) { return unit < 0x20; });
}

std::u16string_view Ascii16(const char* text, std::u16string* storage) {
  storage->clear();
  for (; *text != '\0'; ++text) {
    storage->push_back(static_cast<char16_t>(*text));
  }
  return *storage;
}

// ---------------------------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------------------------
class Reader {
 public:
  Reader(std::string_view text, const std::string& fileName) : text_(text), fileName_(fileName) {}

  bool Parse(RegistryTree* tree, std::string* error) {
    RegistryTree result;
    RegistryKey* current = nullptr;
    bool sawSignature = false;
    std::string_view line;
    while (NextLine(&line)) {
      line = Trim(line);
      if (lineNumber_ == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") {
        line = Trim(line.substr(3));  // a byte order mark from a text editor
      }
      if (line.empty() || line.front() == ';') {
        continue;
      }
      if (!sawSignature) {
        if (line != "REGEDIT4") {
          return Fail(error, "expected the signature REGEDIT4");
        }
        sawSignature = true;
        continue;
      }
      if (line.front() == '[') {
        if (!ParseKeyLine(line, &result, &current, error)) {
          return false;
        }
      } else if (line.front() == '"' || line.front() == '@') {
        if (current == nullptr) {
          return Fail(error, "value before the first [key] line");
        }
        if (!ParseValueLine(line, current, error)) {
          return false;
        }
      } else {
        return Fail(error, "expected a [key] line or a \"name\"=value line");
      }
    }
    if (!sawSignature) {
      return Fail(error, "empty file: expected the signature REGEDIT4");
    }
    *tree = std::move(result);
    return true;
  }

 private:
  bool NextLine(std::string_view* line) {
    if (position_ >= text_.size()) {
      return false;
    }
    const std::size_t end = text_.find('\n', position_);
    const std::size_t stop = end == std::string_view::npos ? text_.size() : end;
    *line = text_.substr(position_, stop - position_);
    position_ = end == std::string_view::npos ? text_.size() : end + 1;
    ++lineNumber_;
    return true;
  }

  static std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
      text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
      text.remove_suffix(1);
    }
    return text;
  }

  bool Fail(std::string* error, const std::string& what) const {
    *error = fileName_ + ": line " + std::to_string(lineNumber_) + ": " + what;
    return false;
  }

  bool ParseKeyLine(std::string_view line, RegistryTree* tree, RegistryKey** current,
                    std::string* error) {
    if (line.back() != ']') {
      return Fail(error, "key line without a closing ]");
    }
    const std::string_view path = line.substr(1, line.size() - 2);
    if (!path.empty() && path.front() == '-') {
      return Fail(error, "key deletions ([-...]) do not belong in a stored registry");
    }
    std::u16string wide;
    if (!FromUtf8Strict(path, &wide)) {
      return Fail(error, "key name is not valid UTF-8");
    }
    const std::size_t separator = wide.find(u'\\');
    if (tree->Root(std::u16string_view(wide).substr(0, separator)) == nullptr) {
      return Fail(error, "unknown root key in [" + std::string(path) + "]");
    }
    if (separator != std::u16string::npos) {
      std::u16string_view rest = std::u16string_view(wide).substr(separator + 1);
      while (true) {
        const std::size_t next = rest.find(u'\\');
        if (!IsValidKeyName(rest.substr(0, next))) {
          return Fail(error,
                      "key name empty, longer than 255 characters or holding control "
                      "characters in [" +
                          std::string(path) + "]");
        }
        if (next == std::u16string_view::npos) {
          break;
        }
        rest.remove_prefix(next + 1);
      }
    }
    *current = tree->CreatePath(wide);
    if (*current == nullptr) {
      return Fail(error, "cannot create key [" + std::string(path) + "]");
    }
    return true;
  }

  // A quoted string at the start of *text (which starts with '"'); consumes it.
  bool ParseQuoted(std::string_view* text, std::string* out, std::string* error) {
    out->clear();
    std::size_t i = 1;
    while (true) {
      if (i >= text->size()) {
        return Fail(error, "string without a closing quote");
      }
      const char c = (*text)[i];
      if (c == '"') {
        break;
      }
      if (c == '\\') {
        if (i + 1 >= text->size() || ((*text)[i + 1] != '\\' && (*text)[i + 1] != '"')) {
          return Fail(error, "unknown escape in a string (only \\\\ and \\\" are allowed)");
        }
        out->push_back((*text)[i + 1]);
        i += 2;
        continue;
      }
      out->push_back(c);
      ++i;
    }
    text->remove_prefix(i + 1);
    return true;
  }

  // 1 to 8 hex digits, the whole of text.
  static bool ParseHexWord(std::string_view text, std::uint32_t* value) {
    std::uint64_t result = 0;
    if (text.size() > 8 || !ParseHexDigits(text, 0xFFFFFFFF, &result)) {
      return false;
    }
    *value = static_cast<std::uint32_t>(result);
    return true;
  }

  // The byte list of a hex value, joining continuation lines (a trailing backslash).
  bool ParseHexList(std::string_view first, std::vector<std::uint8_t>* bytes, std::string* error) {
    bytes->clear();
    std::string joined;
    std::string_view piece = Trim(first);
    while (!piece.empty() && piece.back() == '\\') {
      joined.append(piece.substr(0, piece.size() - 1));
      std::string_view next;
      if (!NextLine(&next)) {
        return Fail(error, "hex list continues past the end of the file");
      }
      piece = Trim(next);
    }
    joined.append(piece);
    std::string_view rest = joined;
    if (Trim(rest).empty()) {
      return true;
    }
    while (true) {
      std::size_t comma = rest.find(',');
      const std::string_view item = Trim(rest.substr(0, comma));
      std::uint64_t byte = 0;
      if (item.size() != 2 || !ParseHexDigits(item, 0xFF, &byte)) {
        return Fail(error, "hex list item \"" + std::string(item.substr(0, 16)) +
                               "\" is not two hex digits");
      }
      bytes->push_back(static_cast<std::uint8_t>(byte));
      if (comma == std::string_view::npos) {
        return true;
      }
      rest.remove_prefix(comma + 1);
      if (Trim(rest).empty()) {
        return true;  // a trailing comma, as before a continuation
      }
    }
  }

  bool ParseValueLine(std::string_view line, RegistryKey* key, std::string* error) {
    RegistryValue value;
    std::string_view rest = line;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else {
      std::string name;
      if (!ParseQuoted(&rest, &name, error)) {
        return false;
      }
      if (!FromUtf8Strict(name, &value.name)) {
        return Fail(error, "value name is not valid UTF-8");
      }
      if (!IsValidValueName(value.name)) {
        return Fail(error, "value name holds control characters");
      }
    }
    rest = Trim(rest);
    if (rest.empty() || rest.front() != '=') {
      return Fail(error, "expected = after the value name");
    }
    rest = Trim(rest.substr(1));
    if (!rest.empty() && rest.front() == '"') {
      std::string text;
      if (!ParseQuoted(&rest, &text, error)) {
        return false;
      }
      if (!Trim(rest).empty()) {
        return Fail(error, "unexpected text after a string value");
      }
      std::u16string wide;
      if (!FromUtf8Strict(text, &wide)) {
        return Fail(error, "string value is not valid UTF-8");
      }
      wide.push_back(u'\0');
      value.type = kTypeString;
      value.data.resize(wide.size() * 2);
      for (std::size_t i = 0; i < wide.size(); ++i) {
        value.data[2 * i] = static_cast<std::uint8_t>(wide[i] & 0xFF);
        value.data[2 * i + 1] = static_cast<std::uint8_t>(wide[i] >> 8);
      }
    } else if (rest.substr(0, 6) == "dword:") {
      std::uint32_t word = 0;
      if (!ParseHexWord(Trim(rest.substr(6)), &word)) {
        return Fail(error, "dword: needs 1 to 8 hex digits");
      }
      value.type = kTypeDword;
      value.data = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
                    static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)};
    } else if (rest.substr(0, 4) == "hex:") {
      value.type = kTypeBinary;
      if (!ParseHexList(rest.substr(4), &value.data, error)) {
        return false;
      }
    } else if (rest.substr(0, 4) == "hex(") {
      const std::size_t close = rest.find("):");
      if (close == std::string_view::npos ||
          !ParseHexWord(rest.substr(4, close - 4), &value.type)) {
        return Fail(error, "hex(N): needs a type of 1 to 8 hex digits");
      }
      if (!ParseHexList(rest.substr(close + 2), &value.data, error)) {
        return false;
      }
    } else if (rest == "-") {
      return Fail(error, "value deletions (=-) do not belong in a stored registry");
    } else {
      return Fail(error, "value is not a \"string\", dword:, hex: or hex(N): form");
    }
    key->SetValue(std::move(value));
    return true;
  }

  std::string_view text_;
  const std::string& fileName_;
  std::size_t position_ = 0;
  std::size_t lineNumber_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------------------------
void AppendQuoted(std::string* out, std::string_view text) {
  out->push_back('"');
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out->push_back('\\');
    }
    out->push_back(c);
  }
  out->push_back('"');
}

// The text of a REG_SZ when the quoted form carries it exactly.
bool QuotableString(const std::vector<std::uint8_t>& data, std::string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) {
    return false;
  }
  std::u16string wide;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  if (wide.back() != u'\0') {
    return false;
  }
  wide.pop_back();
  if (HasControlCharacter(wide)) {
    return false;  // also refuses embedded terminators
  }
  return ToUtf8Strict(wide, text);
}

void AppendValue(std::string* out, const RegistryValue& value) {
  if (value.name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(out, ToUtf8(value.name));  // names were checked when they were given
  }
  out->push_back('=');
  std::string text;
  if (value.type == kTypeString && QuotableString(value.data, &text)) {
    AppendQuoted(out, text);
  } else if (value.type == kTypeDword && value.data.size() == 4) {
    char digits[16];
    std::snprintf(
        digits, sizeof(digits), "dword:%08x",
        static_cast<unsigned>(value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                              (static_cast<std::uint32_t>(value.data[3]) << 24)));
    out->append(digits);
  } else {
    char prefix[24];
    if (value.type == kTypeBinary) {
      std::snprintf(prefix, sizeof(prefix), "hex:");
    } else {
      std::snprintf(prefix, sizeof(prefix), "hex(%x):", static_cast<unsigned>(value.type));
    }
    out->append(prefix);
    // Lines are wrapped before 80 columns, as the registry editor writes them.
    std::size_t column = out->size() - out->rfind('\n') - 1;
    for (std::size_t i = 0; i < value.data.size(); ++i) {
      static constexpr char kDigits[] = "0123456789abcdef";
      const bool last = i + 1 == value.data.size();
      if (column + 3 > 77 && !last) {
        out->append("\\\n  ");
        column = 2;
      }
      out->push_back(kDigits[value.data[i] >> 4]);
      out->push_back(kDigits[value.data[i] & 0xF]);
      column += 2;
      if (!last) {
        out->push_back(',');
        ++column;
      }
    }
  }
  out->push_back('\n');
}

// `path` is the key's full name; subkeys extend it in place and put it back.
void AppendKey(std::string* out, const RegistryKey& key, std::string* path, bool isRoot) {
  // A key is written when it has values, or when it is a leaf (so that empty keys survive);
  // roots always exist and need no line of their own.
  if (!key.Values().empty() || (key.Subkeys().empty() && !isRoot)) {
    out->push_back('[');
    out->append(*path);
    out->append("]\n");
    for (const RegistryValue& value : key.Values()) {
      AppendValue(out, value);
    }
    out->push_back('\n');
  }
  const std::size_t length = path->size();
  for (const auto& subkey : key.Subkeys()) {
    path->push_back('\\');
    path->append(ToUtf8(subkey->Name()));
    AppendKey(out, *subkey, path, false);
    path->resize(length);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tree
// ---------------------------------------------------------------------------------------------
bool IsValidKeyName(std::u16string_view name) {
  return !name.empty() && name.size() <= kMaxKeyName && name.find(u'\\') == std::u16string::npos &&
         IsValidValueName(name);
}

bool IsValidValueName(std::u16string_view name) {
  // A name the registry file cannot carry (a lone surrogate) would come back as another name.
  std::string encoded;
  return !HasControlCharacter(name) && ToUtf8Strict(name, &encoded);
}

RegistryKey::RegistryKey(const RegistryKey& other) : name_(other.name_), values_(other.values_) {
  for (const auto& subkey : other.subkeys_) {
    subkeys_.push_back(std::make_unique<RegistryKey>(*subkey));
  }
}

RegistryKey& RegistryKey::operator=(const RegistryKey& other) {
  if (this != &other) {
    RegistryKey copy(other);
    name_ = std::move(copy.name_);
    subkeys_ = std::move(copy.subkeys_);
    values_ = std::move(copy.values_);
  }
  return *this;
}

RegistryKey* RegistryKey::Find(std::u16string_view name) const {
  for (const auto& subkey : subkeys_) {
    if (SameName(subkey->name_, name)) {
      return subkey.get();
    }
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindOrCreate(std::u16string_view name, bool* created) {
  RegistryKey* found = Find(name);
  if (created != nullptr) {
    *created = found == nullptr;
  }
  if (found != nullptr) {
    return found;
  }
  subkeys_.push_back(std::make_unique<RegistryKey>(std::u16string(name)));
  return subkeys_.back().get();
}

bool RegistryKey::Remove(std::u16string_view name) {
  for (auto it = subkeys_.begin(); it != subkeys_.end(); ++it) {
    if (SameName((*it)->name_, name)) {
      subkeys_.erase(it);
      return true;
    }
  }
  return false;
}

const RegistryValue* RegistryKey::FindValue(std::u16string_view name) const {
  for (const RegistryValue& value : values_) {
    if (SameName(value.name, name)) {
      return &value;
    }
  }
  return nullptr;
}

void RegistryKey::SetValue(RegistryValue value) {
  for (RegistryValue& existing : values_) {
    if (SameName(existing.name, value.name)) {
      // The name keeps the spelling it was created with, as on the module.
      existing.type = value.type;
      existing.data = std::move(value.data);
      return;
    }
  }
  values_.push_back(std::move(value));
}

bool RegistryKey::RemoveValue(std::u16string_view name) {
  for (auto it = values_.begin(); it != values_.end(); ++it) {
    if (SameName(it->name, name)) {
      values_.erase(it);
      return true;
    }
  }
  return false;
}

RegistryTree::RegistryTree() {
  std::u16string name;
  for (std::size_t i = 0; i < 4; ++i) {
    roots_[i] = std::make_unique<RegistryKey>(std::u16string(Ascii16(kRegistryRoots[i], &name)));
  }
}

RegistryTree::RegistryTree(const RegistryTree& other) {
  for (std::size_t i = 0; i < 4; ++i) {
    roots_[i] = std::make_unique<RegistryKey>(*other.roots_[i]);
  }
}

RegistryTree& RegistryTree::operator=(const RegistryTree& other) {
  if (this != &other) {
    for (std::size_t i = 0; i < 4; ++i) {
      roots_[i] = std::make_unique<RegistryKey>(*other.roots_[i]);
    }
  }
  return *this;
}

RegistryKey* RegistryTree::Root(std::u16string_view name) const {
  static constexpr const char* kShort[] = {"HKCR", "HKCU", "HKLM", "HKU"};
  std::u16string storage;
  for (std::size_t i = 0; i < 4; ++i) {
    if (SameName(name, Ascii16(kRegistryRoots[i], &storage)) ||
        SameName(name, Ascii16(kShort[i], &storage))) {
      return roots_[i].get();
    }
  }
  return nullptr;
}

RegistryKey* RegistryTree::FindPath(std::u16string_view path) const {
  std::size_t separator = path.find(u'\\');
  RegistryKey* key = Root(path.substr(0, separator));
  while (key != nullptr && separator != std::u16string_view::npos) {
    path.remove_prefix(separator + 1);
    separator = path.find(u'\\');
    key = key->Find(path.substr(0, separator));
  }
  return key;
}

RegistryKey* RegistryTree::CreatePath(std::u16string_view path) {
  std::size_t separator = path.find(u'\\');
  RegistryKey* key = Root(path.substr(0, separator));
  while (key != nullptr && separator != std::u16string_view::npos) {
    path.remove_prefix(separator + 1);
    separator = path.find(u'\\');
    const std::u16string_view name = path.substr(0, separator);
    if (!IsValidKeyName(name)) {
      return nullptr;
    }
    key = key->FindOrCreate(name);
  }
  return key;
}

bool ParseRegistryText(std::string_view text, const std::string& fileName, RegistryTree* tree,
                       std::string* error) {
  Reader reader(text, fileName);
  return reader.Parse(tree, error);
}

std::string WriteRegistryText(const RegistryTree& tree) {
  std::string out = "REGEDIT4\n\n";
  out.reserve(16384);
  std::string path;
  for (std::size_t i = 0; i < 4; ++i) {
    path = kRegistryRoots[i];
    AppendKey(&out, *tree.Root(i), &path, true);
  }
  return out;
}

}  // namespace sim
