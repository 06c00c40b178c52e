#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

// The folder below which the cache folder lies (its levels are in
// cache_layout.h): the machine's ProgramData known folder for the service and
// its workers; a folder of their own for tests, which then never touch the
// machine's cache.
class CacheRoot {
  public:
    // The service's: the ProgramData known folder, resolved at each use.
    [[nodiscard]] static CacheRoot ProgramData() { return KnownFolder(FOLDERID_ProgramData); }

    // Any known folder, resolved at each use.
    [[nodiscard]] static CacheRoot KnownFolder(const KNOWNFOLDERID& id);

    // A folder given by its full path (no final backslash). Nothing checks
    // it: only the levels below it are created and judged. An empty path
    // resolves to nothing (never to a known folder).
    [[nodiscard]] static CacheRoot Folder(const std::wstring& path);

    // The root's full path. For a known folder, ERROR (with the failure)
    // when it cannot be resolved, else INFO with the path. S_OK with `path`
    // filled, or the failure.
    [[nodiscard]] HRESULT Resolve(std::wstring& path) const;

  private:
    CacheRoot() = default;

    KNOWNFOLDERID knownFolder_ = FOLDERID_ProgramData;
    // Given by path: `path_` is used instead of the known folder.
    bool byPath_ = false;
    std::wstring path_;
};
