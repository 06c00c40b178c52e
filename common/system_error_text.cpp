#include "common/system_error_text.h"

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

}  // namespace Common
