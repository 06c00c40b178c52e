// A stand-in for loading a library from the system folder in the native
// fuzz build: there is none, as on a system without the library.

#include "common/system_library.h"

namespace Common {

void RestrictLibrarySearchToSystemFolder() {}

HMODULE LoadSystemLibrary(const wchar_t*) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

}  // namespace Common
