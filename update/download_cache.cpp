#include "update/download_cache.h"

#include <algorithm>

#include <cwchar>
#include <cwctype>
#include <vector>

#include "common/checked_open.h"
#include "common/file_system.h"
#include "common/log.h"
#include "common/run_log.h"
#include "common/trace_scope.h"
#include "common/wide_format.h"

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
    folder = CacheFolderBelow(rootPath);
}

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
        path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
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

bool DownloadCache::ReplaceForeignFolder(const std::wstring& path, Common::KernelHandle& handle,
                                         Common::FileFacts& facts) {
    // Whoever created it may still hold it open with the rights it gave
    // itself; a new folder has only the service's descriptor.
    wchar_t suffix[64];
    Common::FormatWide(suffix, L".foreign-%lu-%llu", ::GetCurrentProcessId(),
                       static_cast<unsigned long long>(::GetTickCount64()));
    const std::wstring aside = path + suffix;
    Log::Warning(L"The cache folder [%s] is owned by [%s], not by SYSTEM or Administrators; "
                 L"moving it to [%s] and creating a new one",
                 path.c_str(), facts.ownerSid.c_str(), aside.c_str());
    // Opened again for the move: the held handle shares no deletion, not
    // even with this process. It is judged again, since it was let go.
    handle.Reset();
    Common::CheckedEntry again = Common::OpenChecked(
        path, DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
        OPEN_EXISTING, Common::Expect::kFolder);
    handle = std::move(again.handle);
    const bool stillFolder = again.accepted;
    if (!stillFolder || !Common::RenameThroughHandle(handle.Get(), aside)) {
        Log::Error(L"The cache folder [%s] was created by another account and cannot be moved "
                   L"aside (error [%lu]); nothing is run from or downloaded to it until an "
                   L"administrator deletes it",
                   path.c_str(), ::GetLastError());
        return false;
    }
    handle.Reset();
    bool existed = false;
    if (!OpenLevel(path, handle, facts, existed)) {
        return false;
    }
    if (existed) {
        Log::Error(L"The cache folder [%s] was created again by somebody else; nothing is run "
                   L"from or downloaded to it until an administrator deletes it",
                   path.c_str());
        return false;
    }
    return true;
}

bool DownloadCache::PrepareFolder(const std::wstring& root) {
    constexpr size_t kLevelCount = sizeof(kCacheFolderLevels) / sizeof(kCacheFolderLevels[0]);
    std::wstring path = root;
    bool existed = false;
    for (size_t i = 0; i < kLevelCount; ++i) {
        path += L"\\";
        path += kCacheFolderLevels[i];
        Common::KernelHandle handle;
        Common::FileFacts facts;
        if (!OpenLevel(path, handle, facts, existed)) {
            return false;
        }
        const bool foreign = existed && !Common::IsTrustedOwner(facts.ownerSid);
        if (foreign && i + 1 == kLevelCount) {
            if (!ReplaceForeignFolder(path, handle, facts)) {
                return false;
            }
            existed = false;
        } else if (foreign) {
            // A parent that another account created: it gets the service's
            // descriptor, so that account can no longer replace what is below.
            Log::Warning(L"The folder [%s] is owned by [%s], not by SYSTEM or Administrators; "
                         L"applying the protected access rules",
                         path.c_str(), facts.ownerSid.c_str());
            const DWORD applied = Common::Files().ApplySecurity(handle.Get(), kFolderSddl);
            if (applied != ERROR_SUCCESS) {
                Log::Error(L"Failed to apply the protected access rules to: [%s], with error: "
                           L"[%lu]; nothing is run from or downloaded below it until an "
                           L"administrator deletes it",
                           path.c_str(), applied);
                return false;
            }
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
        if (!RemoveForeignEntries(path, false)) {
            return false;
        }
    }
    return true;
}

namespace {

// Folders below the cache are never nested deeper by the service; a deeper
// tree is somebody else's, and is not followed further.
constexpr int kMaxDeleteDepth = 16;

// The names in a folder, without "." and "..". The search is closed before
// anything in it is deleted.
std::vector<std::wstring> FolderEntries(const std::wstring& path) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    Common::FindHandle search(::FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (search.IsValid()) {
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..") {
                names.push_back(name);
            }
        } while (::FindNextFileW(search.Get(), &entry));
    }
    return names;
}

// Opens `path` itself (never a link's target) to examine it, or with DELETE
// access (and, for a folder's entries, listing access) to delete it, and
// reads its facts. ERROR_SUCCESS or the error.
DWORD OpenEntry(const std::wstring& path, bool forDeletion, Common::KernelHandle& handle,
                Common::FileFacts& facts) {
    Common::CheckedEntry entry = Common::OpenChecked(
        path, (forDeletion ? DELETE | FILE_LIST_DIRECTORY : 0) | READ_CONTROL | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
        Common::Expect::kAnything);
    handle = std::move(entry.handle);
    facts = std::move(entry.facts);
    return entry.error;
}

// The names in the folder that `handle` is open on, read through that handle
// (a search by path would be a second open, refused while it is held for
// deletion). False (error kept) when they cannot be read.
bool FolderEntries(HANDLE handle, std::vector<std::wstring>& names) {
    alignas(8) unsigned char buffer[16 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(handle, kind, buffer, sizeof buffer)) {
        kind = FileFullDirectoryInfo;
        for (size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + at);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                names.push_back(name);
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    return ::GetLastError() == ERROR_NO_MORE_FILES;
}

// Deletes what `handle` (opened by OpenEntry for deletion) is open on: a
// file, link or junction itself, or a folder with everything in it. False
// (error kept) when anything stayed.
bool DeleteEntry(const std::wstring& path, HANDLE handle, const Common::FileFacts& facts,
                 int depth) {
    const bool folder = (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (folder) {
        if (depth >= kMaxDeleteDepth) {
            ::SetLastError(ERROR_DIRECTORY);
            return false;
        }
        std::vector<std::wstring> names;
        if (!FolderEntries(handle, names)) {
            return false;
        }
        for (const std::wstring& name : names) {
            const std::wstring childPath = path + L"\\" + name;
            Common::KernelHandle child;
            Common::FileFacts childFacts;
            const DWORD error = OpenEntry(childPath, true, child, childFacts);
            if (error != ERROR_SUCCESS) {
                ::SetLastError(error);
                return false;
            }
            if (!DeleteEntry(childPath, child.Get(), childFacts, depth + 1)) {
                return false;
            }
        }  // each child goes when its handle closes, before its folder is deleted
    }
    return Common::DeleteThroughHandle(handle);
}

// Why an entry does not belong in the cache folder (or in the run logs'
// folder); empty when it does.
std::wstring ForeignReason(const std::wstring& name, const Common::FileFacts& facts,
                           bool runLogFolder) {
    const bool folder = (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool reparse = (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool logs = !runLogFolder && _wcsicmp(name.c_str(), kRunLogFolder) == 0;
    const bool known = runLogFolder ? RunLog::IsFileName(name)
                                    : logs || DownloadCache::IsCacheFileName(name);
    if (!known) {
        return L"the service does not keep entries of that name";
    }
    if (reparse || (logs ? !folder : !Common::IsPlainFile(facts))) {
        return logs ? L"it is not a plain folder" : L"it is not a plain file";
    }
    if (!Common::IsTrustedOwner(facts.ownerSid)) {
        return L"its owner [" + facts.ownerSid + L"] is not trusted";
    }
    return std::wstring();
}

}  // namespace

bool DownloadCache::RemoveForeignEntries(const std::wstring& path, bool runLogFolder) const {
    TraceScope trace;
    for (const std::wstring& name : FolderEntries(path)) {
        const std::wstring entryPath = path + L"\\" + name;
        const bool logs = !runLogFolder && _wcsicmp(name.c_str(), kRunLogFolder) == 0;
        const bool known = runLogFolder ? RunLog::IsFileName(name) : logs || IsCacheFileName(name);
        Common::KernelHandle handle;
        Common::FileFacts facts;
        DWORD error = OpenEntry(entryPath, false, handle, facts);
        if (error == ERROR_FILE_NOT_FOUND) {
            continue;  // gone since the search found it
        }
        if (error != ERROR_SUCCESS && known) {
            // One of the service's own names in use elsewhere (an installer
            // still running): what uses it is judged again when it is opened.
            Log::Warning(L"Failed to examine cache entry: [%s], with error: [%lu]; it stays",
                         name.c_str(), error);
            continue;
        }
        const std::wstring reason =
            error == ERROR_SUCCESS ? ForeignReason(name, facts, runLogFolder) : std::wstring();
        if (error == ERROR_SUCCESS && reason.empty()) {
            if (logs && !RemoveForeignEntries(entryPath, true)) {
                return false;
            }
            continue;
        }
        if (error == ERROR_SUCCESS) {
            Log::Warning(L"Deleting cache entry: [%s], %s", name.c_str(), reason.c_str());
            handle.Reset();
            error = OpenEntry(entryPath, true, handle, facts);
            if (error == ERROR_SUCCESS && !DeleteEntry(entryPath, handle.Get(), facts, 0)) {
                error = ::GetLastError();
            }
        }
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
            Log::Error(L"The cache folder holds [%s], which the service did not put there and "
                       L"cannot examine or delete (error [%lu]); nothing is run from or "
                       L"downloaded to the cache until an administrator deletes it",
                       entryPath.c_str(), error);
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
