#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"

// The per-machine folder that holds downloaded installers (complete or
// partial) and the worker copy:
//   <ProgramData>\kestrelGATE\Client\AutoUpdate\ (with the final backslash).
// Every path it forms, reads, writes or deletes lies directly in that folder.
//
// The service runs programs from this folder as SYSTEM, so nobody else may
// write into it: the folders it creates get kFolderSddl (SYSTEM and
// Administrators full control, Users read and execute, protected from
// inheritance, owner Administrators); an existing cache folder gets it again,
// and loses every entry that a trusted owner did not create. A folder on the
// way that is a reparse point (a junction planted to send the service's
// writes, runs and deletions elsewhere) makes the cache unusable. While the
// object lives it holds each folder below the known folder open without
// delete sharing, so none of them can be renamed or replaced under it.
// The folder of the workers' run log files, below the cache folder. The
// cleaning of ".exe" files never touches it.
inline constexpr wchar_t kRunLogFolder[] = L"logs";

class DownloadCache {
  public:
    // The cache folder's access rules, as SDDL.
    static constexpr wchar_t kFolderSddl[] =
        L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

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

    // A name that stays inside the folder once ".exe" is appended: not empty,
    // no separator, drive or stream colon, wildcard or control character, not
    // "." or "..", no reserved device name (CON, NUL, COM1, ...), and short
    // enough for one path component.
    [[nodiscard]] static bool IsPlainFileName(const std::wstring& name);

    // The cache folder with its trailing backslash; empty when unknown.
    std::wstring folder;

  private:
    // Creates or opens each level below `root`, refusing reparse points;
    // resets and cleans a cache folder that existed. False: unusable.
    [[nodiscard]] bool PrepareFolder(const std::wstring& root);

    // Deletes every entry of the existing folder whose owner is not trusted.
    void RemoveUntrustedEntries(const std::wstring& path) const;

    Common::CoTaskMemText knownFolder_;
    std::vector<Common::KernelHandle> heldFolders_;
};
