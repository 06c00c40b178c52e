#include "common/wide_format.h"

#include <cstdio>
#include <cwchar>

namespace Common {

void FormatWide(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
    if (buffer == nullptr || capacity == 0) {
        return;
    }
    std::wmemset(buffer, L'\0', capacity);
    if (format == nullptr) {
        return;
    }
    // _vsnwprintf is the C run time's formatter (Microsoft's convention under
    // both mingw and Visual C++). On truncation it writes `capacity - 1`
    // characters and no NUL; the zero-filled last element terminates the text.
    va_list copy;
    va_copy(copy, args);
    (void)_vsnwprintf(buffer, capacity - 1, format, copy);
    va_end(copy);
}

std::wstring FormatWideText(const wchar_t* format, va_list args) {
    if (format == nullptr) {
        return std::wstring();
    }
    va_list counting;
    va_copy(counting, args);
    const int length = _vscwprintf(format, counting);
    va_end(counting);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    va_list copy;
    va_copy(copy, args);
    (void)_vsnwprintf(&text[0], text.size(), format, copy);
    va_end(copy);
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace Common
