#include "common/system_error_text.h"

#include "common/wide_format.h"

namespace Common {

std::wstring SystemErrorText(DWORD code) {
    wchar_t text[512];
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                         0, text, static_cast<DWORD>(sizeof(text) / sizeof(text[0])), nullptr);
    std::wstring message(text, length);
    while (!message.empty() &&
           (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
            message.back() == L'.')) {
        message.pop_back();
    }
    return message;
}

std::wstring ErrorNumber(DWORD code) {
    wchar_t number[32];
    FormatWide(number, L"error %lu", static_cast<unsigned long>(code));
    return number;
}

std::wstring HresultNumber(LONG code) {
    wchar_t number[32];
    FormatWide(number, L"error 0x%08lX", static_cast<unsigned long>(code));
    return number;
}

std::wstring DescribeSystemError(DWORD code) {
    const std::wstring message = SystemErrorText(code);
    return message.empty() ? ErrorNumber(code) : message + L" (" + ErrorNumber(code) + L")";
}

}  // namespace Common
