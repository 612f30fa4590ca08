// The resource-script reader over any text: it reports a fault or gives templates, never
// crashes, and what it gives is inside its dialogs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/ui/resources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The script may include a header and name an icon; both are the program's own.
  auto files = [](const std::string& name, std::string* contents) {
    for (std::size_t i = 0; i < sim::ui::kEmbeddedResourceFileCount; ++i) {
      if (name == sim::ui::kEmbeddedResourceFiles[i].name) {
        contents->assign(reinterpret_cast<const char*>(sim::ui::kEmbeddedResourceFiles[i].data),
                         sim::ui::kEmbeddedResourceFiles[i].size);
        return true;
      }
    }
    return false;
  };
  sim::ui::ResourceScript script;
  std::string error;
  if (!sim::ui::ParseResourceScript("fuzz.rc", text, files, &script, &error)) {
    if (error.empty()) {
      std::abort();  // a refusal always says why
    }
    return 0;
  }
  for (const sim::ui::DialogTemplate& dialog : script.dialogs) {
    for (const sim::ui::ControlTemplate& control : dialog.controls) {
      if (control.x < 0 || control.y < 0 || control.x + control.width > dialog.width ||
          control.y + control.height > dialog.height) {
        std::abort();
      }
    }
  }
  return 0;
}
