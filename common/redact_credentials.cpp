#include "common/redact_credentials.h"

#include <algorithm>
#include <cwctype>
#include <utility>
#include <vector>

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

constexpr wchar_t kMask[] = L"***";

// Masking passes until one changes nothing. Masking a value can join what
// followed it to the text before (and so make a URL's user information of
// it), which the next pass masks; real texts settle after the first.
constexpr int kMostPasses = 8;

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

// The text as it reads once one level of JSON escapes is undone, with where
// each character starts in the raw text. "\/", "\\" and "\"" are the
// character, "\uXXXX" the unit it names; a backslash that starts no escape
// stands for itself.
struct DecodedText {
    std::wstring characters;
    std::vector<size_t> rawStart;  // one more than characters: the raw end last

    explicit DecodedText(const std::wstring& raw) {
        characters.reserve(raw.size());
        rawStart.reserve(raw.size() + 1);
        size_t at = 0;
        while (at < raw.size()) {
            rawStart.push_back(at);
            size_t length = 1;
            wchar_t c = raw[at];
            if (c == L'\\' && at + 1 < raw.size()) {
                const wchar_t next = raw[at + 1];
                if (next == L'/' || next == L'\\' || next == L'"') {
                    c = next;
                    length = 2;
                } else if (next == L'u' && at + 6 <= raw.size()) {
                    int value = 0;
                    bool valid = true;
                    for (size_t i = at + 2; i < at + 6 && valid; ++i) {
                        const int digit = HexValue(raw[i]);
                        valid = digit >= 0;
                        value = value * 16 + digit;
                    }
                    if (valid) {
                        c = static_cast<wchar_t>(value);
                        length = 6;
                    }
                }
            }
            characters.push_back(c);
            at += length;
        }
        rawStart.push_back(raw.size());
    }
};

// Whether the character `c` ends a URL's authority.
bool EndsAuthority(wchar_t c) {
    return c == L'/' || c == L'\\' || c == L'?' || c == L'#' || c == L'"' || c == L'\'' ||
           c == L']' || c == L'<' || c == L'>' || std::iswspace(c);
}

// Whether the character `c` ends a parameter's value.
bool EndsValue(wchar_t c) {
    return c == L'&' || c == L'#' || c == L'"' || c == L'\'' || c == L']' || c == L'<' ||
           c == L'>' || c == L',' || c == L';' || std::iswspace(c);
}

// Whether the character `c` may stand right before a parameter name.
bool StartsName(wchar_t c) {
    return c == L'?' || c == L'&' || c == L'/' || c == L'-' || c == L'"' || c == L'\'' ||
           c == L'[' || c == L';' || c == L',' || std::iswspace(c);
}

// A range of decoded characters to mask: [first, end).
using Range = std::pair<size_t, size_t>;

// The user information of a URL whose "://" starts at `colon`: from after
// the slashes to the last '@' of the authority. False when it has none.
bool UserInfo(const std::wstring& text, size_t colon, Range& range) {
    if (colon + 2 >= text.size() || text[colon + 1] != L'/' || text[colon + 2] != L'/') {
        return false;
    }
    const size_t start = colon + 3;
    size_t atSign = start;  // none yet
    for (size_t at = start; at < text.size() && !EndsAuthority(text[at]); ++at) {
        if (text[at] == L'@') {
            atSign = at;
        }
    }
    range = {start, atSign};
    return atSign > start;
}

// Whether a secret's name ends right before the '=' at `equals` and starts
// after a delimiter (or at the start of the text).
bool FollowsSecretName(const std::wstring& text, size_t equals) {
    for (const wchar_t* name : kSecretNames) {
        const size_t length = std::char_traits<wchar_t>::length(name);
        if (length > equals) {
            continue;
        }
        const size_t start = equals - length;
        bool same = true;
        for (size_t i = 0; i < length && same; ++i) {
            same = static_cast<wchar_t>(std::towlower(text[start + i])) == name[i];
        }
        if (same && (start == 0 || StartsName(text[start - 1]))) {
            return true;
        }
    }
    return false;
}

// Where the value that starts at `start` ends.
size_t ValueEnd(const std::wstring& text, size_t start) {
    size_t end = start;
    while (end < text.size() && !EndsValue(text[end])) {
        ++end;
    }
    return end;
}

// Every range of `text` (decoded) that holds a secret, in order and merged
// where they overlap or touch. Every "://" is looked at, also inside a value
// that is masked anyway: the URL's user information may reach beyond it.
std::vector<Range> SecretRanges(const std::wstring& text) {
    std::vector<Range> ranges;
    size_t valueEnd = 0;  // the last value's end: a '=' before it lies in that value
    for (size_t at = 0; at < text.size(); ++at) {
        Range range;
        if (text[at] == L':' && UserInfo(text, at, range)) {
            ranges.push_back(range);
        } else if (text[at] == L'=' && at >= valueEnd && FollowsSecretName(text, at)) {
            valueEnd = ValueEnd(text, at + 1);
            if (valueEnd > at + 1) {
                ranges.emplace_back(at + 1, valueEnd);
            }
        }
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<Range> merged;
    for (const Range& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

// One pass: each secret's raw text replaced by the mask. Whether the text
// changed (a secret that reads "***" already stays as it is).
bool MaskOnce(std::wstring& text) {
    const DecodedText decoded(text);
    const std::vector<Range> ranges = SecretRanges(decoded.characters);
    if (ranges.empty()) {
        return false;
    }
    std::wstring masked;
    masked.reserve(text.size());
    size_t copied = 0;
    bool changed = false;
    for (const Range& range : ranges) {
        const size_t first = decoded.rawStart[range.first];
        const size_t end = decoded.rawStart[range.second];
        masked.append(text, copied, first - copied);
        masked += kMask;
        changed = changed || text.compare(first, end - first, kMask) != 0;
        copied = end;
    }
    if (!changed) {
        return false;
    }
    masked.append(text, copied, std::wstring::npos);
    text.swap(masked);
    return true;
}

}  // namespace

bool RedactCredentials(std::wstring& text) {
    bool changed = false;
    for (int pass = 0; pass < kMostPasses && MaskOnce(text); ++pass) {
        changed = true;
    }
    return changed;
}

}  // namespace Common
