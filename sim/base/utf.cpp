#include "sim/base/utf.h"

#include <cstdint>

namespace sim {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

bool IsSurrogate(std::uint32_t code) { return code >= 0xD800 && code < 0xE000; }

// The code point at text[*i], advancing *i past it; false (and one unit passed) for a lone
// surrogate.
bool NextUtf16(std::u16string_view text, std::size_t* i, std::uint32_t* code) {
  *code = text[*i];
  ++*i;
  if (*code >= 0xD800 && *code < 0xDC00 && *i < text.size() && text[*i] >= 0xDC00 &&
      text[*i] < 0xE000) {
    *code = 0x10000 + ((*code - 0xD800) << 10) + (text[*i] - 0xDC00);
    ++*i;
    return true;
  }
  return !IsSurrogate(*code);
}

void AppendUtf8(std::uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The code point at text[*i], advancing *i past it. False for a malformed, overlong, surrogate or
// out-of-range sequence: *i then passes its first byte only (a truncated sequence at the end: all
// of it), so that a reader that goes on resynchronises at the next byte.
bool NextUtf8(std::string_view text, std::size_t* i, std::uint32_t* code) {
  const auto byte = static_cast<unsigned char>(text[*i]);
  std::size_t length = 0;
  if (byte < 0x80) {
    *code = byte;
    ++*i;
    return true;
  }
  if ((byte & 0xE0) == 0xC0) {
    length = 2;
  } else if ((byte & 0xF0) == 0xE0) {
    length = 3;
  } else if ((byte & 0xF8) == 0xF0) {
    length = 4;
  } else {
    ++*i;
    return false;
  }
  if (*i + length > text.size()) {
    *i = text.size();
    return false;
  }
  std::uint32_t value = byte & (0x7F >> length);
  bool valid = true;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[*i + k]);
    valid = valid && (next & 0xC0) == 0x80;
    value = (value << 6) | (next & 0x3F);
  }
  static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (!valid || value < kSmallest[length] || value > 0x10FFFF || IsSurrogate(value)) {
    ++*i;
    return false;
  }
  *code = value;
  *i += length;
  return true;
}

void AppendUtf16(std::uint32_t code, std::u16string* out) {
  if (code >= 0x10000) {
    code -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
  } else {
    out->push_back(static_cast<char16_t>(code));
  }
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::uint32_t code = 0;
    AppendUtf8(NextUtf16(text, &i, &code) ? code : kReplacement, &out);
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::uint32_t code = 0;
    AppendUtf16(NextUtf8(text, &i, &code) ? code : kReplacement, &out);
  }
  return out;
}

bool ToUtf8Strict(std::u16string_view text, std::string* out) {
  out->clear();
  std::size_t i = 0;
  while (i < text.size()) {
    std::uint32_t code = 0;
    if (!NextUtf16(text, &i, &code)) {
      return false;
    }
    AppendUtf8(code, out);
  }
  return true;
}

bool FromUtf8Strict(std::string_view text, std::u16string* out) {
  out->clear();
  std::size_t i = 0;
  while (i < text.size()) {
    std::uint32_t code = 0;
    if (!NextUtf8(text, &i, &code)) {
      return false;
    }
    AppendUtf16(code, out);
  }
  return true;
}

}  // namespace sim
