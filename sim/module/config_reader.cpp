#include "sim/module/config_reader.h"

#include <cstdlib>
#include <cstring>

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
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::uint64_t v = 0;
  for (std::size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    const unsigned base = hex ? 16 : 10;
    if (v > (UINT64_MAX - digit) / base) {
      return false;
    }
    v = v * base + digit;
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
  for (std::size_t i = 0; i < text.size(); i += 2) {
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') {
        return c - '0';
      }
      if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
      }
      if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
      }
      return -1;
    };
    const int high = nibble(text[i]);
    const int low = nibble(text[i + 1]);
    if (high < 0 || low < 0) {
      Error(path, "not a hex string");
      return {};
    }
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  *present = true;
  return bytes;
}

}  // namespace sim
