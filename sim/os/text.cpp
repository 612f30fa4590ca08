// The module's string helpers and the bounded formatter behind the program's printf-style
// texts.
#include "platform/text.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "sim/base/names.h"

size_t WideLength(const WCHAR* text) {
  size_t length = 0;
  while (text[length] != 0) {
    ++length;
  }
  return length;
}

size_t WideLengthBounded(const WCHAR* text, size_t limit) {
  size_t length = 0;
  while (length < limit && text[length] != 0) {
    ++length;
  }
  return length;
}

BOOL WideCopy(WCHAR* destination, size_t capacity, const WCHAR* source) {
  if (capacity == 0) {
    return FALSE;
  }
  size_t i = 0;
  for (; i + 1 < capacity && source[i] != 0; ++i) {
    destination[i] = source[i];
  }
  destination[i] = 0;
  return source[i] == 0 ? TRUE : FALSE;
}

BOOL WideAppend(WCHAR* destination, size_t capacity, const WCHAR* source) {
  const size_t used = WideLengthBounded(destination, capacity);
  if (used >= capacity) {
    return FALSE;
  }
  return WideCopy(destination + used, capacity - used, source);
}

WCHAR WideToUpper(WCHAR unit) { return sim::FoldCase(unit); }

int WideCompare(const WCHAR* left, const WCHAR* right) {
  while (*left != 0 && *left == *right) {
    ++left;
    ++right;
  }
  return static_cast<int>(*left) - static_cast<int>(*right);
}

int WideCompareNoCaseCount(const WCHAR* left, const WCHAR* right, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const int a = WideToUpper(left[i]);
    const int b = WideToUpper(right[i]);
    if (a != b || a == 0) {
      return a - b;
    }
  }
  return 0;
}

int WideCompareNoCase(const WCHAR* left, const WCHAR* right) {
  return WideCompareNoCaseCount(left, right, static_cast<size_t>(-1));
}

const WCHAR* WideFindLast(const WCHAR* text, WCHAR unit) {
  const WCHAR* found = nullptr;
  for (; *text != 0; ++text) {
    if (*text == unit) {
      found = text;
    }
  }
  return unit == 0 ? text : found;
}

namespace {

class Output {
 public:
  Output(WCHAR* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  void Put(WCHAR unit) {
    if (capacity_ > 0 && length_ + 1 < capacity_) {
      buffer_[length_++] = unit;
    }
  }
  void PutAscii(const char* text) {
    for (; *text != 0; ++text) {
      Put(static_cast<WCHAR>(static_cast<unsigned char>(*text)));
    }
  }
  int Finish(bool ok) {
    if (capacity_ > 0) {
      buffer_[length_] = 0;
    }
    return ok ? static_cast<int>(length_) : -1;
  }

 private:
  WCHAR* buffer_;
  size_t capacity_;
  size_t length_ = 0;
};

}  // namespace

int FormatTextArgs(WCHAR* output, size_t capacity, const WCHAR* format, const FormatArg* args,
                   size_t argCount) {
  Output out(output, capacity);
  size_t next = 0;
  for (const WCHAR* p = format; *p != 0; ++p) {
    if (*p != u'%') {
      out.Put(*p);
      continue;
    }
    ++p;
    if (*p == u'%') {
      out.Put(u'%');
      continue;
    }
    bool zeroPad = false;
    bool leftAlign = false;
    for (;; ++p) {
      if (*p == u'0') {
        zeroPad = true;
      } else if (*p == u'-') {
        leftAlign = true;
      } else {
        break;
      }
    }
    int width = 0;
    while (*p >= u'0' && *p <= u'9' && width < 1000) {
      width = width * 10 + (*p++ - u'0');
    }
    int precision = -1;
    if (*p == u'.') {
      ++p;
      precision = 0;
      while (*p >= u'0' && *p <= u'9' && precision < 100) {
        precision = precision * 10 + (*p++ - u'0');
      }
    }
    if (*p == u'l') {
      ++p;  // %ld, %lu: arguments are already 32 or 64 bits wide
    }
    const WCHAR conversion = *p;
    if (conversion == 0 || next >= argCount) {
      return out.Finish(false);
    }
    const FormatArg& arg = args[next++];
    char digits[400];
    const char* body = digits;
    const WCHAR* wide = nullptr;
    size_t bodyLength = 0;
    switch (conversion) {
      case u'd':
      case u'i': {
        if (arg.kind != FormatArg::Kind::kSigned && arg.kind != FormatArg::Kind::kUnsigned) {
          return out.Finish(false);
        }
        const long long value = arg.kind == FormatArg::Kind::kSigned
                                    ? static_cast<long long>(arg.signedValue)
                                    : static_cast<long long>(static_cast<std::int32_t>(
                                          static_cast<std::uint32_t>(arg.unsignedValue)));
        std::snprintf(digits, sizeof(digits), "%lld", value);
        break;
      }
      case u'u':
      case u'x':
      case u'X': {
        if (arg.kind != FormatArg::Kind::kSigned && arg.kind != FormatArg::Kind::kUnsigned) {
          return out.Finish(false);
        }
        // Negative signed values print as their 32-bit pattern, as on the module.
        const unsigned long long value =
            arg.kind == FormatArg::Kind::kUnsigned
                ? arg.unsignedValue
                : static_cast<unsigned long long>(static_cast<std::uint32_t>(arg.signedValue));
        const char* pattern = conversion == u'u' ? "%llu" : conversion == u'x' ? "%llx" : "%llX";
        std::snprintf(digits, sizeof(digits), pattern, value);
        if (precision > 0) {
          const size_t have = std::strlen(digits);
          if (have < static_cast<size_t>(precision)) {
            char padded[400];
            const size_t pad = static_cast<size_t>(precision) - have;
            std::memset(padded, '0', pad);
            std::memcpy(padded + pad, digits, have + 1);
            std::memcpy(digits, padded, pad + have + 1);
          }
        }
        break;
      }
      case u'f': {
        if (arg.kind == FormatArg::Kind::kString) {
          return out.Finish(false);
        }
        const double value = arg.kind == FormatArg::Kind::kReal ? arg.real
                             : arg.kind == FormatArg::Kind::kSigned
                                 ? static_cast<double>(arg.signedValue)
                                 : static_cast<double>(arg.unsignedValue);
        if (!std::isfinite(value) || std::fabs(value) > 1e300) {
          std::snprintf(digits, sizeof(digits), "%s", std::isnan(value) ? "nan" : "inf");
        } else {
          std::snprintf(digits, sizeof(digits), "%.*f", precision < 0 ? 6 : precision, value);
        }
        break;
      }
      case u'c':
        if (arg.kind != FormatArg::Kind::kUnsigned && arg.kind != FormatArg::Kind::kSigned) {
          return out.Finish(false);
        }
        digits[0] = 0;
        break;
      case u's':
        if (arg.kind != FormatArg::Kind::kString) {
          return out.Finish(false);
        }
        wide = arg.text != nullptr ? arg.text : u"(null)";
        bodyLength = WideLength(wide);
        if (precision >= 0 && bodyLength > static_cast<size_t>(precision)) {
          bodyLength = static_cast<size_t>(precision);
        }
        break;
      default:
        return out.Finish(false);
    }
    if (conversion == u'c') {
      bodyLength = 1;
    } else if (wide == nullptr) {
      bodyLength = std::strlen(body);
    }
    const size_t pad = static_cast<size_t>(width) > bodyLength ? width - bodyLength : 0;
    const bool numeric = wide == nullptr && conversion != u'c';
    if (!leftAlign) {
      if (zeroPad && numeric && (body[0] == '-')) {
        out.Put(u'-');
        ++body;
      }
      for (size_t i = 0; i < pad; ++i) {
        out.Put(zeroPad && numeric ? u'0' : u' ');
      }
    }
    if (conversion == u'c') {
      out.Put(static_cast<WCHAR>(arg.kind == FormatArg::Kind::kUnsigned ? arg.unsignedValue
                                                                        : arg.signedValue));
    } else if (wide != nullptr) {
      for (size_t i = 0; i < bodyLength; ++i) {
        out.Put(wide[i]);
      }
    } else {
      out.PutAscii(body);
    }
    if (leftAlign) {
      for (size_t i = 0; i < pad; ++i) {
        out.Put(u' ');
      }
    }
  }
  return out.Finish(true);
}
