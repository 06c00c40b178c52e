#include "common/console_text.h"

#include <vector>

namespace {

// WC_NO_BEST_FIT_CHARS is refused (ERROR_INVALID_FLAGS) by UTF-8, UTF-7 and the
// stateful code pages; those have no best-fit mapping to switch off.
DWORD ConversionFlags(UINT codePage) {
    switch (codePage) {
        case CP_UTF8:
        case CP_UTF7:
        case 42:  // Symbol
        case 50220:
        case 50221:
        case 50222:
        case 50225:
        case 50227:
        case 50229:
            return 0;
        default:
            return (codePage >= 57002 && codePage <= 57011) ? 0 : WC_NO_BEST_FIT_CHARS;
    }
}

}  // namespace

std::string ToNarrow(const std::wstring& text, UINT codePage) {
    const DWORD flags = ConversionFlags(codePage);
    const int size =
        ::WideCharToMultiByte(codePage, flags, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, flags, text.c_str(), -1, buffer.data(), size, nullptr, nullptr);
    return std::string(buffer.data());
}

std::string ToConsoleNarrow(const std::wstring& text) {
    return ToNarrow(text, ::GetConsoleCP());
}

size_t ToConsoleNarrowInto(const wchar_t* text, char* buffer, size_t capacity) {
    const UINT codePage = ::GetConsoleCP();
    const int written = ::WideCharToMultiByte(codePage, ConversionFlags(codePage), text, -1, buffer,
                                              static_cast<int>(capacity), nullptr, nullptr);
    return written > 0 ? static_cast<size_t>(written - 1) : 0;
}
