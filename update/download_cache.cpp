#include "update/download_cache.h"

#include <cwchar>
#include <cwctype>

#include "common/file_system.h"
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
    const std::wstring rootPath = knownFolder_.Get();
    knownFolder_.Reset();
    if (!PrepareFolder(rootPath)) {
        heldFolders_.clear();
        return;
    }
    folder = rootPath + L"\\" + kCompanyFolder + kCacheSubfolder;
}

bool DownloadCache::PrepareFolder(const std::wstring& root) {
    static const wchar_t* const kLevels[] = {kCompanyFolder, L"Client", L"AutoUpdate"};
    std::wstring path = root;
    bool existed = false;
    for (const wchar_t* level : kLevels) {
        path += L"\\";
        path += level;
        const DWORD created = Common::Files().CreateFolder(path, kFolderSddl);
        existed = created == ERROR_ALREADY_EXISTS;
        if (created != ERROR_SUCCESS && !existed) {
            Log::Error(L"Failed to create directory: [%s], with error: [%lu]", path.c_str(),
                       created);
            return false;
        }
        if (!existed) {
            Log::Info(L"Created directory with protected access rules: [%s]", path.c_str());
        }
        // Held without delete sharing: nobody renames or replaces it while
        // the cache is in use.
        Common::KernelHandle handle = Common::Files().Open(
            path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
            FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
        if (!handle) {
            Log::Error(L"Failed to open directory: [%s], with error: [%lu]", path.c_str(),
                       ::GetLastError());
            return false;
        }
        Common::FileFacts facts;
        const DWORD inspected = Common::Files().Inspect(handle.Get(), facts);
        if (inspected != ERROR_SUCCESS) {
            Log::Error(L"Failed to examine directory: [%s], with error: [%lu]", path.c_str(),
                       inspected);
            return false;
        }
        if ((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            Log::Error(L"Refusing the cache folder: [%s] is a reparse point or not a directory "
                       L"(attributes [0x%lx]); nothing is written, run or deleted there",
                       path.c_str(), facts.attributes);
            return false;
        }
        heldFolders_.push_back(std::move(handle));
    }
    if (existed) {
        const DWORD applied =
            Common::Files().ApplySecurity(heldFolders_.back().Get(), kFolderSddl);
        if (applied != ERROR_SUCCESS) {
            Log::Error(L"Failed to apply the protected access rules to: [%s], with error: [%lu]",
                       path.c_str(), applied);
            return false;
        }
        Log::Info(L"Applied the protected access rules to the existing directory: [%s]",
                  path.c_str());
        RemoveUntrustedEntries(path);
    }
    return true;
}

void DownloadCache::RemoveUntrustedEntries(const std::wstring& path) const {
    TraceScope trace;
    WIN32_FIND_DATAW entry;
    Common::FindHandle search(::FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (!search.IsValid()) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring entryPath = path + L"\\" + name;
        const Common::KernelHandle handle = Common::Files().Open(
            entryPath, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
        Common::FileFacts facts;
        DWORD error = handle ? Common::Files().Inspect(handle.Get(), facts) : ::GetLastError();
        if (error != ERROR_SUCCESS) {
            Log::Error(L"Failed to examine cache entry: [%s], with error: [%lu]", name.c_str(),
                       error);
            continue;
        }
        if (Common::IsTrustedOwner(facts.ownerSid)) {
            continue;
        }
        Log::Warning(L"Deleting cache entry: [%s], its owner [%s] is not trusted", name.c_str(),
                     facts.ownerSid.c_str());
        if (!Common::DeleteThroughHandle(handle.Get())) {
            Log::Error(L"Failed to delete cache entry: [%s], with error: [%lu]", name.c_str(),
                       ::GetLastError());
        }
    } while (::FindNextFileW(search.Get(), &entry));
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
    (void)Common::DeleteWithoutFollowing(path);  // a file in use stays
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
