// Binds the executable's delay-loaded system libraries (see
// cmake/DelayLoad.cmake) from the system folder by their full path, never
// from the program's own folder or the search path, on every supported
// system (also a Windows 7 without SetDefaultDllDirectories).

#include <windows.h>
#include <delayimp.h>

#include <string>

#include "common/system_library.h"

namespace {

FARPROC WINAPI LoadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) {
        return nullptr;
    }
    // The names are the import table's own: plain ASCII file names.
    const std::string narrow(info->szDll);
    const std::wstring name(narrow.begin(), narrow.end());
    return reinterpret_cast<FARPROC>(Common::LoadSystemLibrary(name.c_str()));
}

}  // namespace

// The delay-load helper's notification hook, declared extern "C" by
// <delayimp.h>: const in the Visual C++ headers, not in mingw-w64's.
#if defined(_MSC_VER)
const PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;
#else
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;
#endif
