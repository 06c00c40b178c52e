#include "update/download_cache.h"

#include <cwchar>
#include <cwctype>

#include "common/log.h"
#include "common/trace_scope.h"

namespace {

constexpr wchar_t kCompanyFolder[] = L"kestrelGATE";
constexpr wchar_t kCacheSubfolder[] = L"\\Client\\AutoUpdate\\";
constexpr wchar_t kEntryExtension[] = L".exe";
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

DownloadCache::DownloadCache(const KNOWNFOLDERID& root) {
    TraceScope trace;
    const HRESULT result = ::SHGetKnownFolderPath(root, 0, nullptr, knownFolder_.Receive());
    if (result != S_OK) {
        Log::Error(L"Call to SHGetKnownFolderPath failed with error code: [%ld]",
                   static_cast<long>(result));
        return;
    }
    Log::Info(L"SHGetKnownFolderPath returned: [%s]", knownFolder_.Get());

    std::wstring path = knownFolder_.Get();
    path += L"\\";
    path += kCompanyFolder;
    path += kCacheSubfolder;
    const int created = ::SHCreateDirectory(nullptr, path.c_str());
    if (created != ERROR_SUCCESS && created != ERROR_FILE_EXISTS &&
        created != ERROR_ALREADY_EXISTS) {
        Log::Error(L"Failed to create directory: [%s], with error: [%lu]", path.c_str(),
                   ::GetLastError());
    }
    folder = std::move(path);
    knownFolder_.Reset();
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
    std::wstring path = folder + name + kEntryExtension;
    Log::Info(L"Full path to resource is: [%s]", path.c_str());
    return path;
}

void DownloadCache::DeleteFoundFile(const WIN32_FIND_DATAW& entry) const {
    TraceScope trace;
    if (!IsUsable() || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return;
    }
    const std::wstring path = folder + entry.cFileName;
    Log::Info(L"Deleting file: [%s]", entry.cFileName);
    (void)::DeleteFileW(path.c_str());
}

void DownloadCache::CleanBinaries() const {
    TraceScope trace;
    Log::Info(L"Cleaning cache of all binary files");
    if (!IsUsable()) {
        Log::Error(L"The cache folder is unknown; nothing is cleaned");
        return;
    }
    const std::wstring pattern = folder + L"*" + kEntryExtension;
    WIN32_FIND_DATAW entry;
    Common::FindHandle search(::FindFirstFileW(pattern.c_str(), &entry));
    if (!search.IsValid()) {
        Log::Error(L"Failed to enumerate files in cache, pattern [%s], error [%lu]",
                   pattern.c_str(), ::GetLastError());
        return;
    }
    do {
        DeleteFoundFile(entry);
    } while (::FindNextFileW(search.Get(), &entry));
}
