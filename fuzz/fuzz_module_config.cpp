// libFuzzer: arbitrary bytes as a module's module.json. Loading must end with a module or with
// one error line that names the file, and must never fault or touch the directory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "sim/module/machine.h"

namespace {

std::filesystem::path directory;

void Remove() {
  std::error_code code;
  std::filesystem::remove_all(directory, code);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "flashwick-fuzz-config-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  directory = pattern;
  std::atexit(Remove);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (!sim::WriteWholeFile(directory / "module.json", text, &error)) {
    std::abort();
  }
  sim::Json config;
  error.clear();
  if (sim::LoadModuleConfig(directory, &config, &error)) {
    if (!config.is_object()) {
      std::abort();  // a loaded module is always an object
    }
  } else if (error.empty() || error.find('\n') != std::string::npos ||
             error.find("module.json") == std::string::npos) {
    std::fprintf(stderr, "not one line naming module.json: %s\n", error.c_str());
    std::abort();
  }
  // Loading only reads: the directory holds exactly the file written above.
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    (void)entry;
    ++entries;
  }
  if (entries != 1) {
    std::abort();
  }
  return 0;
}
