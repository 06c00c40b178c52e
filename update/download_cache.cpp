#include "update/download_cache.h"

#include <algorithm>

#include <cwchar>
#include <cwctype>
#include <vector>

#include "common/access_list.h"
#include "common/checked_open.h"
#include "common/file_system.h"
#include "common/known_folder.h"
#include "common/log.h"
#include "common/run_log.h"
#include "common/trace_scope.h"
#include "common/wide_format.h"
#include "update/sha256.h"

namespace {

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
    std::wstring rootPath;
    const HRESULT result = Common::KnownFolderPath(root, rootPath);
    if (result != S_OK) {
        Log::Error(L"Call to SHGetKnownFolderPath failed with error code: [%ld]",
                   static_cast<long>(result));
        return;
    }
    Log::Info(L"SHGetKnownFolderPath returned: [%s]", rootPath.c_str());
    if (!PrepareFolder(rootPath)) {
        heldFolders_.clear();
        return;
    }
    folder = CacheFolderBelow(rootPath);
}

namespace {

constexpr ACCESS_MASK kChainChangeRights = Common::kFolderChainChangeRights;
constexpr ACCESS_MASK kCacheChangeRights = Common::kOwnFolderChangeRights;

std::wstring NotOwnFolder(const Common::FileFacts& facts, ACCESS_MASK rights) {
    return Common::WhyNotOwnFolder(facts, rights);
}

// Why a file of one of the service's names is not the service's own; empty
// when it is.
std::wstring NotOwnFile(const Common::FileFacts& facts) {
    if (!Common::IsPlainFile(facts)) {
        return L"it is not a plain file";
    }
    if (!Common::IsTrustedOwner(facts.ownerSid)) {
        return L"its owner [" + facts.ownerSid + L"] is not trusted";
    }
    return std::wstring();
}

std::wstring UniqueSuffix(const wchar_t* kind) {
    wchar_t suffix[64];
    Common::FormatWide(suffix, L".%s-%lu-%llu", kind, ::GetCurrentProcessId(),
                       static_cast<unsigned long long>(::GetTickCount64()));
    return suffix;
}

}  // namespace

bool DownloadCache::OpenLevel(const std::wstring& path, Common::KernelHandle& handle,
                              Common::FileFacts& facts, bool& existed) {
    const DWORD created = Common::Files().CreateFolder(path, kFolderSddl);
    existed = created == ERROR_ALREADY_EXISTS;
    if (created != ERROR_SUCCESS && !existed) {
        Log::Error(L"Failed to create directory: [%s], with error: [%lu]", path.c_str(), created);
        return false;
    }
    if (!existed) {
        Log::Info(L"Created directory with protected access rules: [%s]", path.c_str());
    }
    // Held without delete sharing: nobody renames or replaces it while the
    // cache is in use.
    Common::CheckedEntry entry = Common::OpenChecked(
        path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, Common::Expect::kFolder);
    if (!entry.Opened()) {
        Log::Error(L"Failed to open directory: [%s], with error: [%lu]", path.c_str(),
                   entry.error);
        return false;
    }
    if (entry.error != ERROR_SUCCESS) {
        Log::Error(L"Failed to examine directory: [%s], with error: [%lu]", path.c_str(),
                   entry.error);
        return false;
    }
    if (!entry.accepted) {
        Log::Error(L"Refusing the cache folder: [%s] is a reparse point or not a directory "
                   L"(attributes [0x%lx]); nothing is written, run or deleted there",
                   path.c_str(), entry.facts.attributes);
        return false;
    }
    handle = std::move(entry.handle);
    facts = entry.facts;
    return true;
}

bool DownloadCache::MoveAside(const std::wstring& path, const std::wstring& why) {
    // Opened itself (a link too), with the right to rename it, and moved
    // whole: nothing in it is opened, cleaned or deleted.
    const std::wstring aside = path + UniqueSuffix(L"foreign");
    Common::CheckedEntry entry = Common::OpenChecked(
        path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        OPEN_EXISTING, Common::Expect::kAnything);
    if (!entry.Opened() || !Common::RenameThroughHandle(entry.handle.Get(), aside)) {
        const DWORD error = entry.Opened() ? ::GetLastError() : entry.error;
        Log::Error(L"The cache folder [%s] is not the service's own (%s) and cannot be moved "
                   L"aside (error [%lu]); nothing is run from or downloaded to it until an "
                   L"administrator deletes it",
                   path.c_str(), why.c_str(), error);
        return false;
    }
    Log::Warning(L"The cache folder [%s] is not the service's own (%s); moved it to [%s] and "
                 L"creating a new one",
                 path.c_str(), why.c_str(), aside.c_str());
    return true;
}

bool DownloadCache::CreateCacheFolder(const std::wstring& path) {
    // Made under a name of its own, judged through its handle, then renamed
    // into place through that handle: what is judged is what is moved there.
    const std::wstring fresh = path + UniqueSuffix(L"new");
    const DWORD created = Common::Files().CreateFolder(fresh, kFolderSddl);
    if (created != ERROR_SUCCESS) {
        Log::Error(L"Failed to create directory: [%s], with error: [%lu]", fresh.c_str(), created);
        return false;
    }
    Common::CheckedEntry entry = Common::OpenChecked(
        fresh, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, Common::Expect::kAnything);
    if (!entry.Opened() || entry.error != ERROR_SUCCESS) {
        Log::Error(L"Failed to open directory: [%s], with error: [%lu]", fresh.c_str(),
                   entry.error);
        return false;
    }
    const std::wstring why = NotOwnFolder(entry.facts, kCacheChangeRights);
    if (!why.empty()) {
        Log::Error(L"The new cache folder [%s] is not the service's own (%s); nothing is run "
                   L"from or downloaded to the cache until an administrator deletes it",
                   fresh.c_str(), why.c_str());
        return false;
    }
    if (!Common::RenameThroughHandle(entry.handle.Get(), path)) {
        const DWORD error = ::GetLastError();
        (void)Common::DeleteThroughHandle(entry.handle.Get());
        Log::Error(L"Failed to put the new cache folder in place as [%s], with error: [%lu]; "
                   L"nothing is run from or downloaded to the cache until an administrator "
                   L"deletes what stands there",
                   path.c_str(), error);
        return false;
    }
    Log::Info(L"Created directory with protected access rules: [%s]", path.c_str());
    return true;
}

namespace {

// Opens the cache folder to judge it and hold it: no delete sharing, so that
// nobody renames or replaces it while the cache is in use.
Common::CheckedEntry OpenCacheFolder(const std::wstring& path) {
    return Common::OpenChecked(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                               Common::Expect::kAnything);
}

bool IsOwnCacheFolder(const Common::CheckedEntry& entry) {
    return entry.Opened() && entry.error == ERROR_SUCCESS &&
           NotOwnFolder(entry.facts, kCacheChangeRights).empty();
}

}  // namespace

bool DownloadCache::PrepareCacheFolder(const std::wstring& path) {
    Common::CheckedEntry entry = OpenCacheFolder(path);
    if (!IsOwnCacheFolder(entry)) {
        if (entry.Opened() ||
            (entry.error != ERROR_FILE_NOT_FOUND && entry.error != ERROR_PATH_NOT_FOUND)) {
            const std::wstring why = entry.error != ERROR_SUCCESS
                                         ? L"it cannot be examined, error " +
                                               std::to_wstring(entry.error)
                                         : NotOwnFolder(entry.facts, kCacheChangeRights);
            entry.handle.Reset();
            if (!MoveAside(path, why)) {
                return false;
            }
        }
        if (!CreateCacheFolder(path)) {
            return false;
        }
        // Judged again through the handle that is then held.
        entry = OpenCacheFolder(path);
        if (!IsOwnCacheFolder(entry)) {
            Log::Error(L"The cache folder [%s] is not the service's own right after it was "
                       L"created (%s); nothing is run from or downloaded to the cache until an "
                       L"administrator deletes it",
                       path.c_str(),
                       entry.error != ERROR_SUCCESS
                           ? (L"error " + std::to_wstring(entry.error)).c_str()
                           : NotOwnFolder(entry.facts, kCacheChangeRights).c_str());
            return false;
        }
    }
    if (!CleanCacheFolder(path, entry.handle.Get())) {
        return false;
    }
    heldFolders_.push_back(std::move(entry.handle));
    return true;
}

bool DownloadCache::PrepareFolder(const std::wstring& root) {
    constexpr size_t kLevelCount = sizeof(kCacheFolderLevels) / sizeof(kCacheFolderLevels[0]);
    std::wstring path = root;
    for (size_t i = 0; i + 1 < kLevelCount; ++i) {
        path += L"\\";
        path += kCacheFolderLevels[i];
        Common::KernelHandle handle;
        Common::FileFacts facts;
        bool existed = false;
        if (!OpenLevel(path, handle, facts, existed)) {
            return false;
        }
        // Also one just created: somebody may have put another in its place.
        const std::wstring why = NotOwnFolder(facts, kChainChangeRights);
        if (!why.empty()) {
            // Not taken over: other components may use it, and a descriptor
            // set now would not end access already granted.
            Log::Error(L"The folder [%s] is not the service's own (%s); the update cache below "
                       L"it cannot be used. An administrator must delete the folder, or give it "
                       L"SYSTEM or Administrators as owner and an access list that lets nobody "
                       L"else delete, rename or change it or delete what it holds",
                       path.c_str(), why.c_str());
            return false;
        }
        heldFolders_.push_back(std::move(handle));
    }
    return PrepareCacheFolder(path + L"\\" + kCacheFolderLevels[kLevelCount - 1]);
}

namespace {

// Why the entry `name` of the cache folder (or, with `runLogFolder`, of its
// logs' folder) open at `child` is not the service's own; empty when it is.
std::wstring NotOwnEntry(const std::wstring& name, const Common::FileFacts& facts,
                         bool runLogFolder) {
    const bool logs = !runLogFolder && _wcsicmp(name.c_str(), kRunLogFolder) == 0;
    if (logs) {
        return NotOwnFolder(facts, kCacheChangeRights);
    }
    return NotOwnFile(facts);
}

bool IsServiceName(const std::wstring& name, bool runLogFolder) {
    return runLogFolder ? RunLog::IsFileName(name)
                        : _wcsicmp(name.c_str(), kRunLogFolder) == 0 ||
                              DownloadCache::IsCacheFileName(name);
}

}  // namespace

bool DownloadCache::CleanCacheFolder(const std::wstring& path, HANDLE folder,
                                     bool runLogFolder) const {
    TraceScope trace;
    std::vector<std::wstring> names;
    if (!Common::ListFolder(folder, names)) {
        Log::Error(L"Failed to list the cache folder [%s], with error: [%lu]", path.c_str(),
                   ::GetLastError());
        return false;
    }
    // Only entries of the service's own names are deleted, each opened
    // through the folder's handle (nothing on a path is followed again).
    for (const std::wstring& name : names) {
        if (!IsServiceName(name, runLogFolder)) {
            continue;
        }
        Common::KernelHandle child = Common::Files().OpenChild(
            folder, name, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        Common::FileFacts facts;
        if (!child || Common::Files().Inspect(child.Get(), facts) != ERROR_SUCCESS) {
            continue;  // in use, or gone: judged in the check below
        }
        const std::wstring why = NotOwnEntry(name, facts, runLogFolder);
        if (why.empty()) {
            if (!runLogFolder && _wcsicmp(name.c_str(), kRunLogFolder) == 0) {
                std::wstring childPath = path;
                childPath += L'\\';
                childPath += name;
                if (!CleanCacheFolder(childPath, child.Get(), true)) {
                    return false;
                }
            }
            continue;
        }
        Log::Warning(L"Deleting cache entry: [%s], %s", name.c_str(), why.c_str());
        (void)Common::DeleteThroughHandle(child.Get());
    }
    // A delete can be undone by whoever holds the entry, and entries of other
    // names stay: the folder is usable only when nothing but the service's
    // own is left in it.
    names.clear();
    if (!Common::ListFolder(folder, names)) {
        Log::Error(L"Failed to list the cache folder [%s], with error: [%lu]", path.c_str(),
                   ::GetLastError());
        return false;
    }
    for (const std::wstring& name : names) {
        std::wstring why = IsServiceName(name, runLogFolder)
                               ? std::wstring()
                               : L"the service does not keep entries of that name";
        if (why.empty()) {
            Common::KernelHandle child = Common::Files().OpenChild(
                folder, name, FILE_READ_ATTRIBUTES | READ_CONTROL,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
            Common::FileFacts facts;
            if (!child) {
                const DWORD error = ::GetLastError();
                if (error == ERROR_FILE_NOT_FOUND) {
                    continue;  // its delete completed
                }
                why = L"it cannot be examined, error " + std::to_wstring(error);
            } else if (Common::Files().Inspect(child.Get(), facts) != ERROR_SUCCESS) {
                why = L"it cannot be examined";
            } else {
                why = NotOwnEntry(name, facts, runLogFolder);
            }
        }
        if (!why.empty()) {
            Log::Error(L"The cache folder holds [%s\\%s], which is not the service's own (%s); "
                       L"nothing is run from or downloaded to the cache until an administrator "
                       L"deletes it",
                       path.c_str(), name.c_str(), why.c_str());
            return false;
        }
    }
    return true;
}

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
    std::wstring path = folder + name + kEntryExtension;
    Log::Info(L"Full path to resource is: [%s]", path.c_str());
    return path;
}

void DownloadCache::DeleteFoundFile(const WIN32_FIND_DATAW& entry) const {
    TraceScope trace;
    if (!IsUsable() || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return;
    }
    Log::Info(L"Deleting file: [%s]", entry.cFileName);
    (void)DeleteEntry(entry.cFileName);  // a file in use stays
}

DWORD DownloadCache::DeleteEntry(const std::wstring& name) const {
    if (!IsUsable() || heldFolders_.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    const Common::KernelHandle file = Common::Files().OpenChild(
        heldFolders_.back().Get(), name, DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!file) {
        return ::GetLastError();
    }
    Common::FileFacts facts;
    const DWORD inspected = Common::Files().Inspect(file.Get(), facts);
    if (inspected != ERROR_SUCCESS) {
        return inspected;
    }
    if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return ERROR_DIRECTORY;
    }
    return Common::DeleteThroughHandle(file.Get()) ? ERROR_SUCCESS : ::GetLastError();
}

void DownloadCache::KeepNewestDownloads(const std::wstring& current) const {
    TraceScope trace;
    if (!IsUsable()) {
        return;
    }
    const std::wstring currentName = current.substr(current.find_last_of(L'\\') + 1);
    std::vector<WIN32_FIND_DATAW> downloads;
    WIN32_FIND_DATAW entry;
    Common::FindHandle search(::FindFirstFileW((folder + L"*" + kEntryExtension).c_str(), &entry));
    if (!search.IsValid()) {
        return;  // nothing there
    }
    do {
        const std::wstring name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsCacheFileName(name) &&
            _wcsicmp(name.c_str(), kWorkerFileName) != 0 &&
            _wcsicmp(name.c_str(), currentName.c_str()) != 0) {
            downloads.push_back(entry);
        }
    } while (::FindNextFileW(search.Get(), &entry));
    if (downloads.size() <= kKeptOtherDownloads) {
        return;
    }
    std::sort(downloads.begin(), downloads.end(),
              [](const WIN32_FIND_DATAW& a, const WIN32_FIND_DATAW& b) {
                  return ::CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) > 0;
              });
    Log::Info(L"The cache holds [%lu] other downloads; the [%lu] most recent are kept",
              static_cast<unsigned long>(downloads.size()),
              static_cast<unsigned long>(kKeptOtherDownloads));
    for (size_t i = kKeptOtherDownloads; i < downloads.size(); ++i) {
        DeleteFoundFile(downloads[i]);
    }
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
