// Reading module.json: every field through one reader whose errors name the file and the field.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Json = nlohmann::json;

// ---------------------------------------------------------------------------------------------
// Reading module.json fields with errors that name the file and the field
// ---------------------------------------------------------------------------------------------
class ConfigReader {
 public:
  ConfigReader(const Json& document, std::string fileName)
      : document_(document), fileName_(std::move(fileName)) {}
  // A number, or a string "0x..." / decimal, at a dotted path ("processor.identity").
  // Missing: fallback when given, else an error.
  std::uint64_t Unsigned(std::string_view path, std::uint64_t maximum,
                         const std::uint64_t* fallback = nullptr);
  std::uint64_t UnsignedOr(std::string_view path, std::uint64_t maximum, std::uint64_t fallback) {
    return Unsigned(path, maximum, &fallback);
  }
  std::string String(std::string_view path, const std::string* fallback = nullptr);
  bool Boolean(std::string_view path, bool fallback);
  // Bytes given as a hex string ("0a0b..."); missing: empty with present = false.
  std::vector<std::uint8_t> HexBytes(std::string_view path, bool* present);
  const Json* Find(std::string_view path) const;
  [[nodiscard]] const Json& Document() const { return document_; }
  void Error(std::string_view path, const std::string& message);
  [[nodiscard]] const std::vector<std::string>& Errors() const { return errors_; }
  [[nodiscard]] bool Ok() const { return errors_.empty(); }

 private:
  const Json& document_;
  std::string fileName_;
  std::vector<std::string> errors_;
};

// Parses a number given as JSON number or as "0x..."/decimal text.
bool ParseUnsigned(const Json& value, std::uint64_t* result);

}  // namespace sim
