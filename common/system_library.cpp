#include "common/system_library.h"

#include <string>

namespace Common {

namespace {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

}  // namespace

void RestrictLibrarySearchToSystemFolder() {
    // Looked up rather than imported: Windows 7 has it only with KB2533623.
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto setDirectories =
        kernel != nullptr
            ? reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(
                  ::GetProcAddress(kernel, "SetDefaultDllDirectories")))
            : nullptr;
    if (setDirectories != nullptr) {
        (void)setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    // A full path: no search at all, on every supported system.
    const std::wstring path = std::wstring(folder, length) + L"\\" + name;
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace Common
