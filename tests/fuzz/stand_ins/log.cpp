// A stand-in for the logging facility (common/log.cpp) and the wide
// formatter (common/wide_format.cpp) in the native fuzz build: every call
// formats its message, so that a format that does not fit its arguments
// shows under the sanitizers, and the text goes nowhere.

#include "common/log.h"

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/wide_format.h"

uint32_t Log::destinations = 0;
int32_t Log::threshold = 0;
const wchar_t* Log::moduleName = L"fuzz";

namespace {

// The format with the Windows convention ("%s" wide, "%S" narrow, "%c" wide,
// "%C" narrow) in the C library's ("%ls", "%s", "%lc", "%c").
std::wstring ToLibraryConvention(const wchar_t* format) {
    std::wstring converted;
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        converted.push_back(*p);
        if (*p != L'%') {
            continue;
        }
        ++p;
        if (*p == L'%') {
            converted.push_back(*p);
            continue;
        }
        while (*p != L'\0' && std::wcschr(L"-+ #0123456789.*", *p) != nullptr) {
            converted.push_back(*p++);
        }
        bool sized = false;
        while (*p != L'\0' && std::wcschr(L"hlLqjzt", *p) != nullptr) {
            sized = true;
            converted.push_back(*p++);
        }
        if (*p == L'\0') {
            break;
        }
        if (!sized && (*p == L's' || *p == L'c')) {
            converted.push_back(L'l');
            converted.push_back(*p);
        } else if (!sized && (*p == L'S' || *p == L'C')) {
            converted.push_back(static_cast<wchar_t>(*p - L'A' + L'a'));
        } else {
            converted.push_back(*p);
        }
    }
    return converted;
}

void Discard(const wchar_t* format, va_list args) {
    (void)Common::FormatWideText(format, args);
}

}  // namespace

namespace Common {

void FormatWide(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
    if (buffer == nullptr || capacity == 0) {
        return;
    }
    std::wmemset(buffer, L'\0', capacity);
    if (format == nullptr) {
        return;
    }
    const std::wstring text = FormatWideText(format, args);
    text.copy(buffer, text.size() < capacity - 1 ? text.size() : capacity - 1);
}

std::wstring FormatWideText(const wchar_t* format, va_list args) {
    if (format == nullptr) {
        return std::wstring();
    }
    const std::wstring converted = ToLibraryConvention(format);
    std::wstring text(4096, L'\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int length = std::vswprintf(&text[0], text.size(), converted.c_str(), copy);
        va_end(copy);
        if (length >= 0) {
            text.resize(static_cast<size_t>(length));
            return text;
        }
        if (text.size() >= (size_t{1} << 18)) {
            return std::wstring();
        }
        text.resize(text.size() * 2);
    }
}

}  // namespace Common

#define KG_STAND_IN_LEVEL(name)                   \
    void Log::name(const wchar_t* format, ...) {  \
        va_list args;                             \
        va_start(args, format);                   \
        Discard(format, args);                    \
        va_end(args);                             \
    }
KG_STAND_IN_LEVEL(Error)
KG_STAND_IN_LEVEL(Warning)
KG_STAND_IN_LEVEL(Info)
KG_STAND_IN_LEVEL(Verbose)
KG_STAND_IN_LEVEL(Enter)
KG_STAND_IN_LEVEL(Exit)
#undef KG_STAND_IN_LEVEL

void Log::Initialize() {}

bool Log::IsWanted(LogLevel) {
    return true;
}

void Log::EnterCrashMode() {}
