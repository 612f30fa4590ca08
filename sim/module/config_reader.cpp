#include "sim/module/config_reader.h"

#include <cstdlib>
#include <cstring>

#include "sim/base/hex.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// ConfigReader
// ---------------------------------------------------------------------------------------------
bool ParseUnsigned(const Json& value, std::uint64_t* result) {
  if (value.is_number_unsigned()) {
    *result = value.get<std::uint64_t>();
    return true;
  }
  if (value.is_number_integer()) {
    const std::int64_t v = value.get<std::int64_t>();
    if (v < 0) {
      return false;
    }
    *result = static_cast<std::uint64_t>(v);
    return true;
  }
  if (!value.is_string()) {
    return false;
  }
  const std::string& text = value.get_ref<const std::string&>();
  if (text.empty() || text.size() > 20) {
    return false;
  }
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return ParseHexDigits(std::string_view(text).substr(2), UINT64_MAX, result);
  }
  std::uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    const auto digit = static_cast<unsigned>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) {
      return false;
    }
    v = v * 10 + digit;
  }
  *result = v;
  return true;
}

const Json* ConfigReader::Find(std::string_view path) const {
  const Json* node = &document_;
  while (!path.empty()) {
    const std::size_t dot = path.find('.');
    const std::string key(path.substr(0, dot));
    if (!node->is_object()) {
      return nullptr;
    }
    auto it = node->find(key);
    if (it == node->end()) {
      return nullptr;
    }
    node = &*it;
    path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
  }
  return node;
}

void ConfigReader::Error(std::string_view path, const std::string& message) {
  errors_.push_back(fileName_ + ": field \"" + std::string(path) + "\": " + message);
}

std::uint64_t ConfigReader::Unsigned(std::string_view path, std::uint64_t maximum,
                                     const std::uint64_t* fallback) {
  const Json* value = Find(path);
  if (value == nullptr) {
    if (fallback != nullptr) {
      return *fallback;
    }
    Error(path, "missing");
    return 0;
  }
  std::uint64_t result = 0;
  if (!ParseUnsigned(*value, &result)) {
    Error(path, "not an unsigned number (" + value->dump() + ")");
    return 0;
  }
  if (result > maximum) {
    Error(path, "value " + std::to_string(result) + " is larger than " + std::to_string(maximum));
    return 0;
  }
  return result;
}

std::string ConfigReader::String(std::string_view path, const std::string* fallback) {
  const Json* value = Find(path);
  if (value == nullptr) {
    if (fallback != nullptr) {
      return *fallback;
    }
    Error(path, "missing");
    return {};
  }
  if (!value->is_string()) {
    Error(path, "not a string");
    return {};
  }
  return value->get<std::string>();
}

bool ConfigReader::Boolean(std::string_view path, bool fallback) {
  const Json* value = Find(path);
  if (value == nullptr) {
    return fallback;
  }
  if (!value->is_boolean()) {
    Error(path, "not true or false");
    return fallback;
  }
  return value->get<bool>();
}

std::vector<std::uint8_t> ConfigReader::HexBytes(std::string_view path, bool* present) {
  *present = false;
  const Json* value = Find(path);
  if (value == nullptr) {
    return {};
  }
  if (!value->is_string()) {
    Error(path, "not a hex string");
    return {};
  }
  const std::string& text = value->get_ref<const std::string&>();
  if (text.size() % 2 != 0) {
    Error(path, "hex string of odd length");
    return {};
  }
  std::vector<std::uint8_t> bytes;
  if (!ParseHexBytes(text, &bytes)) {
    Error(path, "not a hex string");
    return {};
  }
  *present = true;
  return bytes;
}

}  // namespace sim
