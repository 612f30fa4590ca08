// UTF-16 (the module's text) to and from UTF-8 (the host's), for the virtual module and tools.
#pragma once

#include <string>
#include <string_view>

namespace sim {

// Lenient: a lone surrogate or a malformed, overlong or out-of-range sequence becomes U+FFFD.
// For text the host hands over (file names, messages), where a best reading beats none.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);
// A terminated UTF-16 string (null gives "").
inline std::string ToUtf8(const char16_t* text) {
  return text == nullptr ? std::string() : ToUtf8(std::u16string_view(text));
}

// Strict: false on a lone surrogate or any malformed, overlong or out-of-range sequence. For the
// module's own files, where a bad byte is damage and not a character to guess.
[[nodiscard]] bool ToUtf8Strict(std::u16string_view text, std::string* out);
[[nodiscard]] bool FromUtf8Strict(std::string_view text, std::u16string* out);

}  // namespace sim
