#include "update/download_cache.h"

// The names of the cache folder's entries: what the service names a download, and
// which names it accepts as its own.

#include <cwchar>
#include <cwctype>
#include <string>

#include "common/log.h"
#include "common/trace_scope.h"
#include "update/sha256.h"

namespace {

constexpr size_t kMaxComponentChars = 255;

bool IsReservedDeviceName(const std::wstring& name) {
    // Windows maps these names to devices whatever extension follows them.
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') {
        base.pop_back();
    }
    for (auto& c : base) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    static const wchar_t* const kDevices[] = {L"CON", L"PRN",    L"AUX",
                                              L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices) {
        if (base == device) {
            return true;
        }
    }
    // COM1-COM9, LPT1-LPT9, also with the superscript digits 1, 2 and 3.
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
        const wchar_t digit = base[3];
        return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
               digit == L'\u00B3';
    }
    return false;
}

}  // namespace

bool DownloadCache::IsCacheFileName(const std::wstring& name) {
    constexpr size_t kDigestChars = 64;
    const size_t extensionChars = sizeof(kEntryExtension) / sizeof(wchar_t) - 1;
    if (_wcsicmp(name.c_str(), kWorkerFileName) == 0) {
        return true;
    }
    if (name.size() != kDigestChars + extensionChars ||
        _wcsicmp(name.c_str() + kDigestChars, kEntryExtension) != 0) {
        return false;
    }
    for (size_t i = 0; i < kDigestChars; ++i) {
        if (!std::iswxdigit(name[i])) {
            return false;
        }
    }
    return true;
}

bool DownloadCache::IsPlainFileName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L".." ||
        name.size() + (sizeof(kEntryExtension) / sizeof(wchar_t) - 1) > kMaxComponentChars) {
        return false;
    }
    for (const wchar_t c : name) {
        if (c < 0x20 || c == 0x7F || std::wcschr(L"\\/:*?\"<>|", c) != nullptr) {
            return false;
        }
    }
    return !IsReservedDeviceName(name);
}

std::wstring DownloadCache::DownloadName(const std::wstring& hash, const std::wstring& url) {
    TraceScope naming;
    if (!hash.empty()) {
        Log::Info(L"A hash has been provided from policy.  Using this as the filename");
        return hash;
    }
    // The doubled "as" is the line's established text: log searches rely on it.
    Log::Info(L"No hash provided from policy.  Using hash of url as as the filename");
    return Sha256().HashText(url);
}

std::wstring DownloadCache::GetFullPath(const std::wstring& name) const {
    TraceScope trace;
    if (!IsUsable()) {
        Log::Error(L"The cache folder is unknown; no path is formed for: [%s]", name.c_str());
        return std::wstring();
    }
    if (!IsPlainFileName(name)) {
        Log::Error(L"Refusing cache entry name: [%s], it is not a plain file name", name.c_str());
        return std::wstring();
    }
    std::wstring path = folder_ + name + kEntryExtension;
    Log::Info(L"Full path to resource is: [%s]", path.c_str());
    return path;
}
