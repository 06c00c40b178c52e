#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "common/unique_handle.h"

// The per-machine folder that holds downloaded installers (complete or
// partial) and the worker copy:
//   <ProgramData>\kestrelGATE\Client\AutoUpdate\ (with the final backslash).
// Every path it forms, reads, writes or deletes lies directly in that folder.
class DownloadCache {
  public:
    // Resolves the folder below the known folder `root` and creates it. A
    // failure is logged: an unresolved known folder leaves `folder` empty and
    // the cache unusable; a folder that could not be created stays set.
    explicit DownloadCache(const KNOWNFOLDERID& root = FOLDERID_ProgramData);
    virtual ~DownloadCache() = default;

    DownloadCache(const DownloadCache&) = delete;
    DownloadCache& operator=(const DownloadCache&) = delete;

    // False while the folder is unknown: nothing may be formed from it.
    [[nodiscard]] bool IsUsable() const { return !folder.empty(); }

    // folder + name + ".exe". Empty (and an ERROR logged) when the cache is
    // unusable or `name` is not a plain file name.
    [[nodiscard]] std::wstring GetFullPath(const std::wstring& name) const;

    // Deletes one file that a search of the folder found; directories stay.
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
    Common::CoTaskMemText knownFolder_;
};
