// UTF-16 text helpers and the bounded, type-checked formatter for the program's printf-style
// texts.
//
// The formatter understands exactly the conversions the program's texts use: %s (UTF-16
// string), %d, %u, %x and %X with optional '0' flag, width and precision (%.8x), %f with a
// precision (%.2f), %c and %%. It never writes past the buffer: the output is cut and always
// terminated. An argument whose type does not fit its conversion, a missing argument or an
// unknown conversion makes the call return -1 after writing what came before it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

// ---------------------------------------------------------------------------------------------
// String helpers (the module's wcslen, wcsncpy, wcsicmp ... under full names)
// ---------------------------------------------------------------------------------------------

// Number of code units before the terminator.
size_t WideLength(const WCHAR* text);
// Number of code units before the terminator, looking at no more than limit units.
size_t WideLengthBounded(const WCHAR* text, size_t limit);
// Copies source into destination (capacity code units, terminator included), cutting it to fit.
// Returns FALSE when it had to cut.
BOOL WideCopy(WCHAR* destination, size_t capacity, const WCHAR* source);
// Appends source to the string in destination, cutting it to fit. Returns FALSE when cut.
BOOL WideAppend(WCHAR* destination, size_t capacity, const WCHAR* source);
int WideCompare(const WCHAR* left, const WCHAR* right);
// Compares ignoring the case of ASCII and Latin-1 letters, as the module's file system does.
int WideCompareNoCase(const WCHAR* left, const WCHAR* right);
int WideCompareNoCaseCount(const WCHAR* left, const WCHAR* right, size_t count);
// Last occurrence of a code unit, or null.
const WCHAR* WideFindLast(const WCHAR* text, WCHAR unit);
WCHAR WideToUpper(WCHAR unit);

// ---------------------------------------------------------------------------------------------
// Formatter
// ---------------------------------------------------------------------------------------------
struct FormatArg {
  enum class Kind { kSigned, kUnsigned, kString, kReal };
  Kind kind;
  std::int64_t signedValue;
  std::uint64_t unsignedValue;
  const WCHAR* text;
  double real;
};

inline FormatArg MakeFormatArg(int value) {
  return {FormatArg::Kind::kSigned, value, 0, nullptr, 0};
}
inline FormatArg MakeFormatArg(long value) {
  return {FormatArg::Kind::kSigned, value, 0, nullptr, 0};
}
inline FormatArg MakeFormatArg(long long value) {
  return {FormatArg::Kind::kSigned, value, 0, nullptr, 0};
}
inline FormatArg MakeFormatArg(unsigned value) {
  return {FormatArg::Kind::kUnsigned, 0, value, nullptr, 0};
}
inline FormatArg MakeFormatArg(unsigned long value) {
  return {FormatArg::Kind::kUnsigned, 0, value, nullptr, 0};
}
inline FormatArg MakeFormatArg(unsigned long long value) {
  return {FormatArg::Kind::kUnsigned, 0, value, nullptr, 0};
}
inline FormatArg MakeFormatArg(unsigned short value) {
  return {FormatArg::Kind::kUnsigned, 0, value, nullptr, 0};
}
inline FormatArg MakeFormatArg(WCHAR value) {
  return {FormatArg::Kind::kUnsigned, 0, value, nullptr, 0};
}
inline FormatArg MakeFormatArg(double value) {
  return {FormatArg::Kind::kReal, 0, 0, nullptr, value};
}
inline FormatArg MakeFormatArg(const WCHAR* value) {
  return {FormatArg::Kind::kString, 0, 0, value, 0};
}
inline FormatArg MakeFormatArg(WCHAR* value) { return {FormatArg::Kind::kString, 0, 0, value, 0}; }

// Formats into output (capacity code units, terminator included). Returns the number of code
// units written before the terminator, or -1 on a format/argument mismatch.
int FormatTextArgs(WCHAR* output, size_t capacity, const WCHAR* format, const FormatArg* args,
                   size_t argCount);

template <typename... Args>
int FormatText(WCHAR* output, size_t capacity, const WCHAR* format, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return FormatTextArgs(output, capacity, format, nullptr, 0);
  } else {
    const FormatArg packed[] = {MakeFormatArg(args)...};
    return FormatTextArgs(output, capacity, format, packed, sizeof...(Args));
  }
}

// The module's wsprintfW over the same formatter, for a buffer of known size.
template <size_t N, typename... Args>
int FormatText(WCHAR (&output)[N], const WCHAR* format, const Args&... args) {
  return FormatText(output, N, format, args...);
}
