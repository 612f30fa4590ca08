#include "sim/base/files.h"

#include <fstream>

namespace sim {

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------
namespace {

template <typename Container>
bool ReadInto(const fs::path& file, Container* content) {
  std::error_code code;
  if (fs::is_directory(file, code)) {
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return false;
  }
  Container result;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
    result.insert(result.end(), buffer, buffer + in.gcount());
  }
  if (in.bad()) {
    return false;
  }
  *content = std::move(result);
  return true;
}

}  // namespace

bool ReadWholeFile(const fs::path& file, std::string* content) { return ReadInto(file, content); }

bool ReadWholeFile(const fs::path& file, std::vector<std::uint8_t>* content) {
  return ReadInto(file, content);
}

bool WriteWholeFile(const fs::path& file, std::string_view content, std::string* error) {
  const fs::path temporary = file.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    out.close();
    if (!out) {
      if (error != nullptr) {
        *error = temporary.string() + ": cannot write";
      }
      std::error_code ignored;
      fs::remove(temporary, ignored);  // the old file stays as it was
      return false;
    }
  }
  std::error_code code;
  fs::rename(temporary, file, code);
  if (code) {
    if (error != nullptr) {
      *error = file.string() + ": cannot replace: " + code.message();
    }
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return false;
  }
  return true;
}

bool WriteWholeFile(const fs::path& file, std::span<const std::uint8_t> content,
                    std::string* error) {
  return WriteWholeFile(
      file, std::string_view(reinterpret_cast<const char*>(content.data()), content.size()), error);
}

}  // namespace sim
