#include "update/download_cache.h"

// The folder chain down to the cache folder: created or taken over only where
// no other account can hold it, then cleaned of what is not the service's own.

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "common/access_list.h"
#include "common/checked_open.h"
#include "common/file_system.h"
#include "common/log.h"
#include "common/run_log.h"
#include "common/trace_scope.h"
#include "common/wide_format.h"

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

// What an administrator does about a folder or entry that stops the cache.
constexpr wchar_t kDeleteIt[] = L"Delete it; the service then creates the folder anew.";
constexpr wchar_t kRepairParent[] =
    L"Delete the folder, or give it SYSTEM or Administrators as owner and an access list that "
    L"lets nobody else delete, rename or change it or delete what it holds.";
constexpr wchar_t kLetSystemIn[] =
    L"Make sure SYSTEM can create, open and list it and that nothing holds it open "
    L"exclusively; or delete it.";

std::wstring WithError(const wchar_t* what, DWORD error) {
    return std::wstring(what) + L", error " + std::to_wstring(error);
}

std::wstring UniqueSuffix(const wchar_t* kind) {
    wchar_t suffix[64];
    Common::FormatWide(suffix, L".%s-%lu-%llu", kind, ::GetCurrentProcessId(),
                       static_cast<unsigned long long>(::GetTickCount64()));
    return suffix;
}

}  // namespace

DWORD DownloadCache::OpenLevel(const std::wstring& path, Common::KernelHandle& handle,
                               Common::FileFacts& facts, bool& existed) {
    const DWORD created = Common::Files().CreateFolder(path, kFolderSddl);
    existed = created == ERROR_ALREADY_EXISTS;
    if (created != ERROR_SUCCESS && !existed) {
        Log::Error(L"Failed to create directory: [%s], with error: [%lu]", path.c_str(), created);
        return Refuse(created, path, WithError(L"it cannot be created", created), kLetSystemIn);
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
        return Refuse(entry.error, path, WithError(L"it cannot be opened", entry.error),
                      kLetSystemIn);
    }
    if (entry.error != ERROR_SUCCESS) {
        Log::Error(L"Failed to examine directory: [%s], with error: [%lu]", path.c_str(),
                   entry.error);
        return Refuse(entry.error, path, WithError(L"it cannot be examined", entry.error),
                      kLetSystemIn);
    }
    if (!entry.accepted) {
        Log::Error(L"Refusing the cache folder: [%s] is a reparse point or not a directory "
                   L"(attributes [0x%lx]); nothing is written, run or deleted there",
                   path.c_str(), entry.facts.attributes);
        return Refuse(kNotAFolder, path, L"it is a reparse point or not a directory", kDeleteIt);
    }
    handle = std::move(entry.handle);
    facts = entry.facts;
    return ERROR_SUCCESS;
}

DWORD DownloadCache::MoveAside(const std::wstring& path, const std::wstring& why) {
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
        return Refuse(error, path,
                      WithError((L"it is not the service's own (" + why +
                                 L") and cannot be moved aside")
                                    .c_str(),
                                error),
                      kDeleteIt);
    }
    Log::Warning(L"The cache folder [%s] is not the service's own (%s); moved it to [%s] and "
                 L"creating a new one",
                 path.c_str(), why.c_str(), aside.c_str());
    return ERROR_SUCCESS;
}

DWORD DownloadCache::CreateCacheFolder(const std::wstring& path) {
    // Made under a name of its own, judged through its handle, then renamed
    // into place through that handle: what is judged is what is moved there.
    const std::wstring fresh = path + UniqueSuffix(L"new");
    const DWORD created = Common::Files().CreateFolder(fresh, kFolderSddl);
    if (created != ERROR_SUCCESS) {
        Log::Error(L"Failed to create directory: [%s], with error: [%lu]", fresh.c_str(), created);
        return Refuse(created, fresh, WithError(L"it cannot be created", created), kLetSystemIn);
    }
    Common::CheckedEntry entry = Common::OpenChecked(
        fresh, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, Common::Expect::kAnything);
    if (!entry.Opened() || entry.error != ERROR_SUCCESS) {
        Log::Error(L"Failed to open directory: [%s], with error: [%lu]", fresh.c_str(),
                   entry.error);
        return Refuse(entry.error, fresh, WithError(L"it cannot be opened", entry.error),
                      kLetSystemIn);
    }
    const std::wstring why = NotOwnFolder(entry.facts, kCacheChangeRights);
    if (!why.empty()) {
        Log::Error(L"The new cache folder [%s] is not the service's own (%s); nothing is run "
                   L"from or downloaded to the cache until an administrator deletes it",
                   fresh.c_str(), why.c_str());
        return Refuse(kNotOwn, fresh, L"it is not the service's own right after it was created (" +
                                          why + L")",
                      kDeleteIt);
    }
    if (!Common::RenameThroughHandle(entry.handle.Get(), path)) {
        const DWORD error = ::GetLastError();
        (void)Common::DeleteThroughHandle(entry.handle.Get());
        Log::Error(L"Failed to put the new cache folder in place as [%s], with error: [%lu]; "
                   L"nothing is run from or downloaded to the cache until an administrator "
                   L"deletes what stands there",
                   path.c_str(), error);
        return Refuse(error, path, WithError(L"the new cache folder cannot be put in its place", error),
                      L"Delete what stands there; the service then creates the folder anew.");
    }
    Log::Info(L"Created directory with protected access rules: [%s]", path.c_str());
    return ERROR_SUCCESS;
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

DWORD DownloadCache::PrepareCacheFolder(const std::wstring& path) {
    Common::CheckedEntry entry = OpenCacheFolder(path);
    if (!IsOwnCacheFolder(entry)) {
        if (entry.Opened() ||
            (entry.error != ERROR_FILE_NOT_FOUND && entry.error != ERROR_PATH_NOT_FOUND)) {
            const std::wstring why = entry.error != ERROR_SUCCESS
                                         ? L"it cannot be examined, error " +
                                               std::to_wstring(entry.error)
                                         : NotOwnFolder(entry.facts, kCacheChangeRights);
            entry.handle.Reset();
            const DWORD moved = MoveAside(path, why);
            if (moved != ERROR_SUCCESS) {
                return moved;
            }
        }
        const DWORD created = CreateCacheFolder(path);
        if (created != ERROR_SUCCESS) {
            return created;
        }
        // Judged again through the handle that is then held.
        entry = OpenCacheFolder(path);
        if (!IsOwnCacheFolder(entry)) {
            const std::wstring why = entry.error != ERROR_SUCCESS
                                         ? L"error " + std::to_wstring(entry.error)
                                         : NotOwnFolder(entry.facts, kCacheChangeRights);
            Log::Error(L"The cache folder [%s] is not the service's own right after it was "
                       L"created (%s); nothing is run from or downloaded to the cache until an "
                       L"administrator deletes it",
                       path.c_str(), why.c_str());
            return Refuse(entry.error != ERROR_SUCCESS ? entry.error : kNotOwn, path,
                          L"it is not the service's own right after it was created (" + why + L")",
                          kDeleteIt);
        }
    }
    const DWORD cleaned = CleanCacheFolder(path, entry.handle.Get());
    if (cleaned != ERROR_SUCCESS) {
        return cleaned;
    }
    heldFolders_.push_back(std::move(entry.handle));
    return ERROR_SUCCESS;
}

DWORD DownloadCache::PrepareFolder(const std::wstring& root) {
    constexpr size_t kLevelCount = sizeof(kCacheFolderLevels) / sizeof(kCacheFolderLevels[0]);
    std::wstring path = root;
    for (size_t i = 0; i + 1 < kLevelCount; ++i) {
        path += L"\\";
        path += kCacheFolderLevels[i];
        Common::KernelHandle handle;
        Common::FileFacts facts;
        bool existed = false;
        const DWORD opened = OpenLevel(path, handle, facts, existed);
        if (opened != ERROR_SUCCESS) {
            return opened;
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
            return Refuse(kNotOwn, path, L"it is not the service's own (" + why + L")",
                          kRepairParent);
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

// Lists the folder `path` open at `folder`: ERROR_SUCCESS, or the error
// (logged).
DWORD ListCacheFolder(const std::wstring& path, HANDLE folder,
                      std::vector<std::wstring>& names) {
    if (Common::ListFolder(folder, names)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = ::GetLastError();
    Log::Error(L"Failed to list the cache folder [%s], with error: [%lu]", path.c_str(), error);
    return error != ERROR_SUCCESS ? error : ERROR_CANT_ACCESS_FILE;
}

}  // namespace

DWORD DownloadCache::CleanCacheFolder(const std::wstring& path, HANDLE folder,
                                      bool runLogFolder) {
    TraceScope trace;
    std::vector<std::wstring> names;
    DWORD listed = ListCacheFolder(path, folder, names);
    if (listed != ERROR_SUCCESS) {
        return Refuse(listed, path, WithError(L"it cannot be listed", listed), kLetSystemIn);
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
                const DWORD cleaned = CleanCacheFolder(childPath, child.Get(), true);
                if (cleaned != ERROR_SUCCESS) {
                    return cleaned;
                }
            }
            continue;
        }
        Log::Warning(L"Deleting cache entry: [%s], %s", name.c_str(), why.c_str());
        (void)Common::DeleteThroughHandle(child.Get());
    }
    // A delete can be undone by whoever holds the entry: the folder is usable
    // only when every entry of the service's names left in it is its own.
    // Entries of other names (an installer's log, an administrator's notes)
    // are not the service's business: only SYSTEM and Administrators can add
    // to its folder, nothing of the service opens, runs or deletes them, and
    // they stay as they are.
    names.clear();
    listed = ListCacheFolder(path, folder, names);
    if (listed != ERROR_SUCCESS) {
        return Refuse(listed, path, WithError(L"it cannot be listed", listed), kLetSystemIn);
    }
    for (const std::wstring& name : names) {
        if (!IsServiceName(name, runLogFolder)) {
            continue;
        }
        std::wstring why;
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
        if (!why.empty()) {
            Log::Error(L"The cache folder holds [%s\\%s], which is not the service's own (%s); "
                       L"nothing is run from or downloaded to the cache until an administrator "
                       L"deletes it",
                       path.c_str(), name.c_str(), why.c_str());
            std::wstring entryPath = path;
            entryPath += L'\\';
            entryPath += name;
            return Refuse(kForeignEntry, entryPath, L"it is not the service's own (" + why + L")",
                          L"Delete it (whoever holds it open must let go first).");
        }
    }
    return ERROR_SUCCESS;
}
