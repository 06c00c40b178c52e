#pragma once

#include <windows.h>

namespace Common {

// Libraries loaded at run time come from the system folder only, never from
// the program's own folder or the current one (where somebody else could
// have put a library of the same name).

// Makes the system folder the only place later loads search by default.
// Call first thing in the process. Windows 7 without the update that adds
// the call: nothing changes, and LoadSystemLibrary still loads by full path.
void RestrictLibrarySearchToSystemFolder();

// Loads `name` (a bare file name) from the system folder. Null on failure,
// the error kept in GetLastError.
[[nodiscard]] HMODULE LoadSystemLibrary(const wchar_t* name);

}  // namespace Common
