#include "common/redact_credentials.h"

#include <cwctype>

namespace Common {

namespace {

// The names whose values are masked, in lower case.
const wchar_t* const kSecretNames[] = {
    L"sig",           L"signature",          L"token",
    L"access_token",  L"refresh_token",      L"id_token",
    L"key",           L"api_key",            L"apikey",
    L"secret",        L"client_secret",      L"password",
    L"passwd",        L"pwd",                L"x-amz-signature",
    L"x-amz-security-token", L"x-amz-credential", L"x-goog-signature",
    L"x-goog-credential",
};

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// One character of the text as it reads once JSON escapes are undone: the
// character at `at` and how many raw characters it takes. "\/" is '/',
// "\uXXXX" the character it names, "\\" a backslash; a backslash that starts
// no escape stands for itself.
wchar_t Decode(const std::wstring& text, size_t at, size_t* length) {
    *length = 1;
    if (text[at] != L'\\' || at + 1 >= text.size()) {
        return text[at];
    }
    const wchar_t next = text[at + 1];
    if (next == L'/' || next == L'\\' || next == L'"') {
        *length = 2;
        return next;
    }
    if (next == L'u' && at + 6 <= text.size()) {
        int value = 0;
        for (size_t i = at + 2; i < at + 6; ++i) {
            const int digit = HexValue(text[i]);
            if (digit < 0) {
                return text[at];
            }
            value = value * 16 + digit;
        }
        *length = 6;
        return static_cast<wchar_t>(value);
    }
    return text[at];
}

// Whether the decoded character `c` ends a URL's authority.
bool EndsAuthority(wchar_t c) {
    return c == L'/' || c == L'\\' || c == L'?' || c == L'#' || c == L'"' || c == L'\'' ||
           c == L']' || c == L'<' || c == L'>' || std::iswspace(c);
}

// Whether the decoded character `c` ends a parameter's value.
bool EndsValue(wchar_t c) {
    return c == L'&' || c == L'#' || c == L'"' || c == L'\'' || c == L']' || c == L'<' ||
           c == L'>' || c == L',' || c == L';' || std::iswspace(c);
}

// Whether the decoded character `c` may stand right before a parameter name.
bool StartsName(wchar_t c) {
    return c == L'?' || c == L'&' || c == L'/' || c == L'-' || c == L'"' || c == L'\'' ||
           c == L'[' || c == L';' || c == L',' || std::iswspace(c);
}

// Masks the user information of a URL whose scheme's ':' is at `colon`;
// returns where the scan goes on.
size_t MaskUserInfo(std::wstring& text, size_t colon, bool* replaced) {
    size_t at = colon + 1;
    int slashes = 0;
    while (at < text.size() && slashes < 2) {
        size_t length = 0;
        if (Decode(text, at, &length) != L'/') {
            break;
        }
        at += length;
        ++slashes;
    }
    if (slashes < 2) {
        return colon + 1;
    }
    const size_t start = at;
    size_t userEnd = std::wstring::npos;  // after the last '@' of the authority
    size_t atSign = std::wstring::npos;
    while (at < text.size()) {
        size_t length = 0;
        const wchar_t c = Decode(text, at, &length);
        if (EndsAuthority(c)) {
            break;
        }
        if (c == L'@') {
            atSign = at;
            userEnd = at + length;
        }
        at += length;
    }
    if (atSign == std::wstring::npos) {
        return at;
    }
    text.replace(start, atSign - start, L"***");
    *replaced = true;
    return start + 3 + (userEnd - atSign);
}

// Whether a secret's name ends right before `equals` (the raw position of its
// '=' or "\u003d") and starts after a delimiter.
bool FollowsSecretName(const std::wstring& text, size_t equals) {
    for (const wchar_t* name : kSecretNames) {
        const size_t length = std::char_traits<wchar_t>::length(name);
        if (length > equals) {
            continue;
        }
        const size_t start = equals - length;
        bool same = true;
        for (size_t i = 0; i < length && same; ++i) {
            same = std::towlower(text[start + i]) == name[i];
        }
        if (!same) {
            continue;
        }
        if (start == 0 || StartsName(text[start - 1])) {
            return true;
        }
        // "\u0026" and "\u003f" are '&' and '?' in a JSON-escaped text.
        if (start >= 6 && text[start - 6] == L'\\') {
            size_t decoded = 0;
            if (StartsName(Decode(text, start - 6, &decoded)) && decoded == 6) {
                return true;
            }
        }
    }
    return false;
}

// Masks the value that starts at `start`; returns where the scan goes on.
size_t MaskValue(std::wstring& text, size_t start, bool* replaced) {
    size_t end = start;
    while (end < text.size()) {
        size_t length = 0;
        if (EndsValue(Decode(text, end, &length))) {
            break;
        }
        end += length;
    }
    if (end == start || text.compare(start, end - start, L"***") == 0) {
        return end;
    }
    text.replace(start, end - start, L"***");
    *replaced = true;
    return start + 3;
}

}  // namespace

bool RedactCredentials(std::wstring& text) {
    bool replaced = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t length = 0;
        const wchar_t c = Decode(text, at, &length);
        if (c == L':') {
            at = MaskUserInfo(text, at, &replaced);
        } else if (c == L'=' && FollowsSecretName(text, at)) {
            at = MaskValue(text, at + length, &replaced);
        } else {
            at += length;
        }
    }
    return replaced;
}

}  // namespace Common
