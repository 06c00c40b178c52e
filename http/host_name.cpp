#include "http/host_name.h"

#include <windows.h>

#include "common/system_library.h"

namespace {

using IdnToAsciiCall = int(WINAPI*)(DWORD, LPCWSTR, int, LPWSTR, int);

// IdnToAscii: in kernel32 since Windows 8, in normaliz.dll (from the system
// folder) before.
IdnToAsciiCall FindIdnToAscii() {
    if (HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll")) {
        if (FARPROC found = ::GetProcAddress(kernel, "IdnToAscii")) {
            return reinterpret_cast<IdnToAsciiCall>(reinterpret_cast<void*>(found));
        }
    }
    if (HMODULE normaliz = Common::LoadSystemLibrary(L"normaliz.dll")) {
        if (FARPROC found = ::GetProcAddress(normaliz, "IdnToAscii")) {
            return reinterpret_cast<IdnToAsciiCall>(reinterpret_cast<void*>(found));
        }
    }
    return nullptr;
}

bool IsAscii(const std::wstring& text) {
    for (const wchar_t c : text) {
        if (c == 0 || c > 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::wstring FoldAsciiHostName(const std::wstring& asciiHost) {
    if (!IsAscii(asciiHost)) {
        return std::wstring();
    }
    std::wstring folded = asciiHost;
    // The port aside: ":<digits>" at the end of a name or of a bracketed
    // IPv6 address (a bare IPv6 address holds colons of its own).
    const size_t colon = folded.rfind(L':');
    if (colon != std::wstring::npos && colon + 1 < folded.size() &&
        folded.find_first_not_of(L"0123456789", colon + 1) == std::wstring::npos &&
        (folded.find(L':') == colon || (colon > 0 && folded[colon - 1] == L']'))) {
        folded.erase(colon);
    }
    if (!folded.empty() && folded.back() == L'.') {
        folded.pop_back();
    }
    for (wchar_t& c : folded) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return folded;
}

std::wstring ComparableHostName(const std::wstring& host) {
    if (host.empty() || IsAscii(host)) {
        return FoldAsciiHostName(host);
    }
    const IdnToAsciiCall idnToAscii = FindIdnToAscii();  // rare: looked up at each use
    if (idnToAscii == nullptr) {
        return std::wstring();
    }
    wchar_t ascii[256] = {};
    const int length = idnToAscii(0, host.c_str(), static_cast<int>(host.size()), ascii, 255);
    if (length <= 0) {
        return std::wstring();
    }
    return FoldAsciiHostName(std::wstring(ascii, static_cast<size_t>(length)));
}
