// UTF-16 (the module's text) to and from UTF-8 (the host's), for the virtual module and tools.
#pragma once

#include <string>
#include <string_view>

namespace sim {

std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);
// A terminated UTF-16 string (null gives "").
inline std::string ToUtf8(const char16_t* text) {
  return text == nullptr ? std::string() : ToUtf8(std::u16string_view(text));
}

}  // namespace sim
