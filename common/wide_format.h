#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace Common {

// Formats into `buffer` with the Windows convention for wide formats: "%s"
// takes a wide string and "%S" a narrow one. (mingw's C99 printf family would
// read "%s" as narrow; this always uses the C run time's own formatter.)
//
// The buffer is zero-filled first; at most `capacity - 1` characters are kept,
// the rest is cut off silently, and the text always ends with a NUL. A null
// format leaves the buffer empty.
void FormatWide(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// The same convention, the whole text however long. Empty for a null format
// or a format the run time refuses.
[[nodiscard]] std::wstring FormatWideText(const wchar_t* format, va_list args);

template <size_t N>
void FormatWide(wchar_t (&buffer)[N], const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FormatWide(buffer, N, format, args);
    va_end(args);
}

}  // namespace Common
