// The command-line parser over any text (the input's bytes taken as little-endian UTF-16 code
// units): it reads nothing beyond the text and fills at most twenty sound entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "shell/shell.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the text and its terminator on the heap, so that a read past it is caught.
  std::vector<WCHAR> text(size / 2 + 1, 0);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text[i / 2] = static_cast<WCHAR>(data[i] | (data[i + 1] << 8));
  }
  std::size_t length = 0;
  while (text[length] != 0) {
    ++length;
  }
  ParseCommandLine(text.data());

  Check(CommandCount <= static_cast<DWORD>(kMaxCommands));
  Check(length > 0 && text[0] == u'/' ? CommandCount >= 1 : CommandCount == 0);
  for (DWORD i = 0; i < CommandCount; ++i) {
    const CommandEntry& entry = CommandTable[i];
    switch (entry.kind) {
      case kCommandUpdate: {
        Check(entry.silent == 1);
        std::size_t name = 0;
        while (name < kPathUnits && entry.argument.fileName[name] != 0) {
          Check(entry.argument.fileName[name] != u'/');  // a slash always ends the name
          ++name;
        }
        Check(name < kPathUnits);
        Check(entry.nameTooLong == 0 || name == kPathUnits - 1);
        break;
      }
      case kCommandSaveRegistry:
      case kCommandClearRegistry:
        Check(entry.silent <= 1);
        break;
      case kCommandReset:
        Check(entry.silent == 0);
        Check(entry.argument.resetValue != INFINITE);  // a wait that never ends
        break;
      default:
        Check(entry.silent == 0);
        break;
    }
  }
  return 0;
}
