// libFuzzer: arbitrary bytes read as a REGEDIT4 registry file. The reader must accept the text
// or give one error line with the file and line; an accepted registry must write back to text
// that reads to the same registry.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim/os/regedit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  sim::RegistryTree tree;
  std::string error;
  if (!sim::ParseRegistryText(text, "registry.reg", &tree, &error)) {
    if (error.rfind("registry.reg: line ", 0) != 0 || error.find('\n') != std::string::npos) {
      std::fprintf(stderr, "not one line naming file and line: %s\n", error.c_str());
      std::abort();
    }
    return 0;
  }
  const std::string written = sim::WriteRegistryText(tree);
  sim::RegistryTree again;
  if (!sim::ParseRegistryText(written, "written.reg", &again, &error)) {
    std::fprintf(stderr, "written registry does not read back: %s\n", error.c_str());
    std::abort();
  }
  if (sim::WriteRegistryText(again) != written) {
    std::fprintf(stderr, "registry changed on the way through its text\n");
    std::abort();
  }
  return 0;
}
