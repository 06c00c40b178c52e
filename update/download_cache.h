#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "common/file_system.h"
#include "common/unique_handle.h"
#include "update/cache_layout.h"

// The per-machine folder that holds downloaded installers (complete or
// partial) and the worker copy:
//   <ProgramData>\kestrelGATE\Client\AutoUpdate\ (with the final backslash).
// Every path it forms, reads, writes or deletes lies directly in that folder.
//
// The service runs programs from this folder as SYSTEM, so it holds only what
// the service puts there, and nobody else may write into it or read it:
// - the folders it creates get kFolderSddl (SYSTEM and Administrators full
//   control, protected from inheritance, owner Administrators);
// - an existing cache folder that SYSTEM or Administrators own gets it again;
//   one that another account owns (created by a user before the service) is
//   moved aside and a fresh one created; a parent level that another account
//   owns gets it again;
// - every entry that is not an installer or partial download named as the
//   service names them (64 hexadecimal digits and ".exe"), the worker copy or
//   the run logs' folder with its run files, or that is not a plain file (a
//   folder) of a trusted owner, is deleted without following links;
// - a folder on the way that is a reparse point (a junction planted to send
//   the service's writes, runs and deletions elsewhere) is refused.
// When any of that fails the cache is unusable (one ERROR says what an
// administrator must delete): nothing is written, run or deleted there then.
// While the object lives it holds each folder below the known folder open
// without delete sharing, so none of them can be renamed or replaced under it.

class DownloadCache {
  public:
    // The cache folder's access rules, as SDDL.
    static constexpr wchar_t kFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

    // Resolves the folder below the known folder `root`, creates or checks
    // it as described above. Any failure is logged and leaves `folder` empty
    // and the cache unusable: nothing is written, run or deleted then.
    explicit DownloadCache(const KNOWNFOLDERID& root = FOLDERID_ProgramData);
    virtual ~DownloadCache() = default;

    DownloadCache(const DownloadCache&) = delete;
    DownloadCache& operator=(const DownloadCache&) = delete;

    // False while the folder is unknown: nothing may be formed from it.
    [[nodiscard]] bool IsUsable() const { return !folder.empty(); }

    // folder + name + ".exe". Empty (and an ERROR logged) when the cache is
    // unusable or `name` is not a plain file name.
    [[nodiscard]] std::wstring GetFullPath(const std::wstring& name) const;

    // Deletes one file that a search of the folder found, through a handle
    // that does not follow a reparse point; directories stay.
    void DeleteFoundFile(const WIN32_FIND_DATAW& entry) const;

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

    // The cache folder with its trailing backslash; empty when unknown.
    std::wstring folder;

  private:
    // Creates or opens each level below `root`, refusing reparse points;
    // resets, replaces and cleans levels that existed. False: unusable.
    [[nodiscard]] bool PrepareFolder(const std::wstring& root);

    // Creates or opens one level and checks it; false (logged) when it is
    // unusable. `existed` tells whether it was there already.
    [[nodiscard]] bool OpenLevel(const std::wstring& path, Common::KernelHandle& handle,
                                 Common::FileFacts& facts, bool& existed);

    // Moves the cache folder that another account created aside (next to it)
    // and creates a fresh one in its place. False (logged): unusable.
    [[nodiscard]] bool ReplaceForeignFolder(const std::wstring& path, Common::KernelHandle& handle,
                                            Common::FileFacts& facts);

    // Deletes every entry of `path` that the service did not put there (see
    // above); in the run logs' folder, every entry that is not a run file.
    // False (one ERROR) when one could not be examined or deleted.
    [[nodiscard]] bool RemoveForeignEntries(const std::wstring& path, bool runLogFolder) const;

    Common::CoTaskMemText knownFolder_;
    std::vector<Common::KernelHandle> heldFolders_;
};
