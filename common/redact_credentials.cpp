#include "common/redact_credentials.h"

#include <cwchar>
#include <cwctype>

namespace Common {

namespace {

// Where the authority that starts at `from` ends: at a path, query or
// fragment, at a blank or quote, or at the end of the text.
size_t AuthorityEnd(const std::wstring& text, size_t from) {
    size_t end = from;
    while (end < text.size()) {
        const wchar_t c = text[end];
        if (c == L'/' || c == L'\\' || c == L'?' || c == L'#' || c == L'"' || c == L'\'' ||
            c == L']' || c == L'<' || c == L'>' || std::iswspace(c)) {
            break;
        }
        ++end;
    }
    return end;
}

}  // namespace

bool RedactCredentials(std::wstring& text) {
    static const wchar_t* const kSchemeEnds[] = {L"://", L":\\/\\/"};
    bool replaced = false;
    for (const wchar_t* schemeEnd : kSchemeEnds) {
        const size_t markLength = std::wcslen(schemeEnd);
        size_t at = text.find(schemeEnd);
        while (at != std::wstring::npos) {
            const size_t start = at + markLength;
            const size_t end = AuthorityEnd(text, start);
            // The last '@' of the authority ends the user information.
            const size_t userEnd = text.rfind(L'@', end == 0 ? 0 : end - 1);
            if (userEnd != std::wstring::npos && userEnd >= start && userEnd < end) {
                text.replace(start, userEnd - start, L"***");
                replaced = true;
            }
            at = text.find(schemeEnd, start);
        }
    }
    return replaced;
}

}  // namespace Common
