#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace Common {

// SHGetKnownFolderPath for `folder`, with the shell library loaded from the
// system folder for this one call and given back after it: resolving one
// folder need not keep the shell (and the window stack it brings) in memory
// for the life of the process. S_OK with `path` filled, or the failure.
[[nodiscard]] HRESULT KnownFolderPath(const KNOWNFOLDERID& folder, std::wstring& path);

}  // namespace Common
