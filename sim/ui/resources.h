// The program's resources as the window manager sees them: dialog templates and icons read from
// the resource script (resources/flashwick.rc with its header), which the build embeds.
//
// The reader understands the resource-script subset the program uses: #include and #define,
// ICON, DIALOG with STYLE, EXSTYLE, CAPTION and FONT, and the controls LTEXT, RTEXT, CTEXT,
// PUSHBUTTON, DEFPUSHBUTTON, GROUPBOX, LISTBOX and CONTROL (classes Button, Static, ListBox and
// the progress bar). Anything else is an error naming file and line, so a template the module's
// resource compiler would read differently never reaches a dialog.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window.h"

namespace sim::ui {

// Files of resources/ as embedded by the build (generated source).
struct EmbeddedFile {
  const char* name;
  const unsigned char* data;
  std::size_t size;
};
extern const EmbeddedFile kEmbeddedResourceFiles[];
extern const std::size_t kEmbeddedResourceFileCount;

enum class ControlClass { kButton, kStatic, kListBox, kProgressBar };

struct ControlTemplate {
  ControlClass controlClass = ControlClass::kStatic;
  std::u16string text;
  int id = -1;
  // Position and size in dialog units, relative to the dialog's client area.
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  int line = 0;  // in the script, for messages
};

struct DialogTemplate {
  int id = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  std::u16string caption;
  int fontSize = 0;
  std::u16string fontName;
  std::vector<ControlTemplate> controls;
};

struct IconResource {
  int id = 0;
  std::string fileName;
  std::vector<std::uint8_t> image;  // the .ico file
};

struct ResourceScript {
  std::vector<DialogTemplate> dialogs;
  std::vector<IconResource> icons;
  [[nodiscard]] const DialogTemplate* FindDialog(int id) const;
  [[nodiscard]] const IconResource* FindIcon(int id) const;
};

// Gives the contents of a file named in the script (#include "...", ICON "..."); false when
// there is no such file.
using ResourceFileSource = std::function<bool(const std::string& name, std::string* contents)>;

// Reads a resource script. False with "file:line: message" in *error on the first fault.
[[nodiscard]] bool ParseResourceScript(const std::string& fileName, const std::string& text,
                                       const ResourceFileSource& files, ResourceScript* script,
                                       std::string* error);

// True when image is a well-formed .ico file (header, directory and every image inside it).
[[nodiscard]] bool IsIconImage(const std::vector<std::uint8_t>& image);

// The program's own resources, read once from the embedded files. A fault in them is a fault of
// the build and stops the process with the reader's message.
const ResourceScript& ProgramResources();

}  // namespace sim::ui
