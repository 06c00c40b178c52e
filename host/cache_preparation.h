#pragma once

#include <windows.h>

#include <string>

#include "update/cache_root.h"

// The run mode of the package's installation step: "kgclient_update.exe
// -preparecache" creates the cache folder chain with the service's access
// list (SYSTEM and Administrators only, protected, owner Administrators), or
// judges the one already there, exactly as the service does at each start
// (DownloadCache::Open), and ends. So the folders exist, the service's own,
// from the installation on, and no user can create them first.
//
// It needs no more rights than it is run with and does nothing the service
// does not do at every start: run by a user who may not create the folders
// with that owner, it fails; it runs, downloads and serves nothing.
inline constexpr wchar_t kPrepareCacheOption[] = L"-preparecache";

// True when one whole argument after the program's path is
// kPrepareCacheOption (letter case ignored). Unlike the other options it is
// not found inside longer words or the program's path.
[[nodiscard]] bool IsPrepareCacheRun(const std::wstring& commandLine);

// Creates or judges the cache folder chain below `root`. ERROR_SUCCESS when
// the cache is usable; otherwise what DownloadCache::Open says, after one
// ERROR line and one event (1003) that name the folder and what to do.
[[nodiscard]] DWORD PrepareCache(const CacheRoot& root);
