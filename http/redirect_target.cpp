#include "http/redirect_target.h"

namespace {

bool IsSchemeChar(wchar_t c, bool first) {
    const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
    return first ? letter : letter || (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.';
}

// The length of "scheme:" at the start of `url`; 0 when it has none.
size_t SchemeLength(const std::wstring& url) {
    for (size_t i = 0; i < url.size(); ++i) {
        if (url[i] == L':') {
            return i > 0 ? i + 1 : 0;
        }
        if (!IsSchemeChar(url[i], i == 0)) {
            return 0;
        }
    }
    return 0;
}

}  // namespace

std::wstring ResolveRedirect(const std::wstring& base, const std::wstring& location) {
    if (SchemeLength(location) != 0) {
        return location;
    }
    const size_t scheme = SchemeLength(base);
    if (location.compare(0, 2, L"//") == 0) {
        return base.substr(0, scheme) + location;
    }
    // Where the base's authority ends and its path begins.
    size_t pathStart = scheme;
    if (base.compare(scheme, 2, L"//") == 0) {
        pathStart = base.find_first_of(L"/?#", scheme + 2);
        if (pathStart == std::wstring::npos) {
            pathStart = base.size();
        }
    }
    const std::wstring origin = base.substr(0, pathStart);
    if (!location.empty() && location[0] == L'/') {
        return origin + location;
    }
    size_t pathEnd = base.find_first_of(L"?#", pathStart);
    if (pathEnd == std::wstring::npos) {
        pathEnd = base.size();
    }
    const std::wstring path = base.substr(pathStart, pathEnd - pathStart);
    if (!location.empty() && location[0] == L'?') {
        return origin + (path.empty() ? L"/" : path) + location;
    }
    const size_t lastSlash = path.rfind(L'/');
    return origin + (lastSlash == std::wstring::npos ? L"/" : path.substr(0, lastSlash + 1)) +
           location;
}
