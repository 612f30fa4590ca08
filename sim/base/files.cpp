#include "sim/base/files.h"

#include <fstream>
#include <sstream>

namespace sim {

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------
bool ReadWholeFile(const fs::path& file, std::string* content) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  *content = text.str();
  return !in.bad();
}

bool WriteWholeFile(const fs::path& file, std::string_view content, std::string* error) {
  const fs::path temporary = file.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) {
      if (error != nullptr) {
        *error = temporary.string() + ": cannot write";
      }
      return false;
    }
  }
  std::error_code code;
  fs::rename(temporary, file, code);
  if (code) {
    if (error != nullptr) {
      *error = file.string() + ": cannot replace: " + code.message();
    }
    return false;
  }
  return true;
}

}  // namespace sim
