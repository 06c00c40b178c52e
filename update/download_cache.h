#pragma once

#include <windows.h>
#include <shlobj.h>

#include <memory>
#include <string>
#include <vector>

#include "common/file_system.h"
#include "common/unique_handle.h"
#include "update/cache_layout.h"
#include "update/cache_root.h"

// The per-machine folder that holds downloaded installers (complete or
// partial) and the worker copy:
//   <ProgramData>\kestrelGATE\Client\AutoUpdate\ (with the final backslash;
// tests put it below a root folder of their own, see CacheRoot).
// Every path it forms, reads, writes or deletes lies directly in that folder.
//
// The service runs programs from this folder as SYSTEM, so it holds only what
// the service puts there, and nobody else may write into it or read it:
// - the folders it creates get kFolderSddl (SYSTEM and Administrators full
//   control, protected from inheritance, owner Administrators);
// - a folder is the service's own when, read through the handle then kept,
//   its owner is trusted and its access list lets nobody else delete or
//   rename it, change its permissions or owner, or delete what it holds
//   (and, for the cache folder and its logs, add to it);
// - a parent level that is not the service's own is not taken over: the
//   cache is unusable until an administrator deletes or repairs it;
// - a cache folder (or a file or link of its name) that is not the service's
//   own is moved aside whole, and a new one is made under a temporary name,
//   judged through its handle and renamed into place;
// - in the service's own cache folder, only entries of the names the service
//   gives (installers and partial downloads named by 64 hexadecimal digits
//   and ".exe", the worker copy, the run logs' folder and its run files) that
//   are not plain files of a trusted owner are deleted, each through a handle
//   opened relative to the folder's; entries of any other name (an
//   installer's log left in its working folder, an administrator's files:
//   only SYSTEM and Administrators can add to the folder) are never opened,
//   run or deleted, and change nothing;
// - a parent level that is a reparse point (a junction planted to send the
//   service's writes, runs and deletions elsewhere) is refused.
// When any of that fails there is no cache (one ERROR says what an
// administrator must delete): nothing is written, run or deleted there then.
// An object exists only for a folder that passed all of it (see Open). While
// it lives it holds each folder below the root open without delete sharing,
// so none of them can be renamed or replaced under it.

// Why the cache cannot be used, as an administrator must hear it: the folder
// (or entry) that stops it, what is wrong with it, and what to do.
struct CacheRefusal {
    std::wstring folder;
    std::wstring why;
    std::wstring remedy;
};

class DownloadCache {
  public:
    // The cache folder's access rules, as SDDL.
    static constexpr wchar_t kFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

    // Creates or checks the cache folder below `root` as described above.
    // ERROR_SUCCESS with `cache` holding it; otherwise `cache` stays empty,
    // one ERROR has said what is wrong, and the result says why:
    // - the Windows error of the step that failed (resolving the root,
    //   creating, opening, examining, listing or renaming a folder);
    // - kNotOwn: a parent level, or a new cache folder, is not the
    //   service's own (a cache folder that is not is replaced instead);
    // - kNotAFolder: a parent level is a reparse point or no directory;
    // - kForeignEntry: the cache folder (or its logs' folder) holds an entry
    //   of the service's names that is not its own and could not be deleted.
    // `refusal` (when given) receives the folder, why and what to do.
    [[nodiscard]] static DWORD Open(const CacheRoot& root, std::unique_ptr<DownloadCache>& cache,
                                    CacheRefusal* refusal = nullptr);
    static constexpr DWORD kNotOwn = ERROR_ACCESS_DENIED;
    static constexpr DWORD kNotAFolder = ERROR_CANT_ACCESS_FILE;
    static constexpr DWORD kForeignEntry = ERROR_DIR_NOT_EMPTY;

    virtual ~DownloadCache() = default;

    DownloadCache(const DownloadCache&) = delete;
    DownloadCache& operator=(const DownloadCache&) = delete;

    // False while the folder is unknown: nothing may be formed from it. An
    // opened cache always knows it; the operations below check it anyway.
    [[nodiscard]] bool IsUsable() const { return !folder_.empty(); }

    // The cache folder with its trailing backslash.
    [[nodiscard]] const std::wstring& Folder() const { return folder_; }

    // The name an update's download gets in the folder: the policy hash when
    // the request gives one, else the SHA-256 of the URL (both upper-case
    // hexadecimal). Says which in the log.
    [[nodiscard]] static std::wstring DownloadName(const std::wstring& hash,
                                                   const std::wstring& url);

    // folder + name + ".exe". Empty (and an ERROR logged) when the cache is
    // unusable or `name` is not a plain file name.
    [[nodiscard]] std::wstring GetFullPath(const std::wstring& name) const;

    // The access rules of the files the service creates in the folder.
    static constexpr wchar_t kFileSddl[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

    // Deletes one file that a listing of the folder found (DeleteEntry);
    // directories stay.
    void DeleteFoundFile(const Common::FolderEntry& entry) const;

    // Deletes the file `name` of the folder through a handle opened relative
    // to the folder's held handle (the entry itself, never a link's target;
    // a folder stays). ERROR_SUCCESS, or the error (ERROR_FILE_NOT_FOUND when
    // nothing is there).
    [[nodiscard]] DWORD DeleteEntry(const std::wstring& name) const;

    // Deletes every "*.exe" file of the folder (installers, partial downloads,
    // the worker copy when not running). Files in use stay, silently.
    void CleanBinaries() const;

    // Bounds what other downloads leave behind: deletes the installers and
    // partial downloads of the folder other than `current` (a name formed by
    // GetFullPath) beyond the kKeptOtherDownloads most recently written,
    // through handles that follow no link. Files in use stay.
    void KeepNewestDownloads(const std::wstring& current) const;
    static constexpr size_t kKeptOtherDownloads = 3;

    // True for the names the service gives the folder's files: an installer
    // or partial download (64 hexadecimal digits, either case, and ".exe")
    // and the worker copy (letter case ignored, as Windows does).
    [[nodiscard]] static bool IsCacheFileName(const std::wstring& name);

    // A name that stays inside the folder once ".exe" is appended: not empty,
    // no separator, drive or stream colon, wildcard or control character, not
    // "." or "..", no reserved device name (CON, NUL, COM1, ...), and short
    // enough for one path component.
    [[nodiscard]] static bool IsPlainFileName(const std::wstring& name);

  private:
    DownloadCache() = default;

    // Each step below returns ERROR_SUCCESS or why the cache cannot be used
    // (as Open does), having logged it and kept the refusal (Refuse).

    // Keeps the first refusal of this opening; returns `error`.
    DWORD Refuse(DWORD error, const std::wstring& folder, std::wstring why,
                 const wchar_t* remedy);

    // Creates or opens each parent level below `root` (refusing any that is
    // not the service's own), then the cache folder.
    [[nodiscard]] DWORD PrepareFolder(const std::wstring& root);

    // Creates or opens one parent level. `existed` tells whether it was
    // there already.
    [[nodiscard]] DWORD OpenLevel(const std::wstring& path, Common::KernelHandle& handle,
                                  Common::FileFacts& facts, bool& existed);

    // Uses the cache folder at `path` when it is the service's own (and
    // cleans it); otherwise moves whatever stands there aside and creates a
    // new one.
    [[nodiscard]] DWORD PrepareCacheFolder(const std::wstring& path);

    // Renames what stands at `path` (a folder, a file or a link, whole) to a
    // name beside it.
    [[nodiscard]] DWORD MoveAside(const std::wstring& path, const std::wstring& why);

    // Creates the cache folder under a temporary name with kFolderSddl,
    // judges it through its handle and renames it to `path` through that
    // handle.
    [[nodiscard]] DWORD CreateCacheFolder(const std::wstring& path);

    // In the service's own folder open at `folder`: deletes the entries of
    // the service's names that are not its own (each opened through the
    // folder's handle, no link followed), then checks that every entry of
    // those names left is its own (one ERROR naming what an administrator
    // must delete). In the run logs' folder, the run files. Entries of other
    // names stay untouched.
    [[nodiscard]] DWORD CleanCacheFolder(const std::wstring& path, HANDLE folder,
                                         bool runLogFolder = false);

    // The folder's "*.exe" entries, listed through its held handle.
    // ERROR_SUCCESS, or the error that kept the folder from being listed.
    [[nodiscard]] DWORD ListEntries(std::vector<Common::FolderEntry>& entries) const;

    std::wstring folder_;
    std::vector<Common::KernelHandle> heldFolders_;
    CacheRefusal refusal_;
};
