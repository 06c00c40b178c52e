#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// A shipped program (bin/: kgclient_update.exe, kgupdate-ctl.exe) or, for
// any other name, a test program beside the running one (test-bin/).
inline std::wstring BuiltExecutable(const wchar_t* name) {
    const std::wstring program = name;
    if (program == L"kgclient_update.exe" || program == L"kgupdate-ctl.exe") {
        const std::string shipped = KG_SHIPPED_DIR;
        return std::wstring(shipped.begin(), shipped.end()) + L"\\" + program;
    }
    wchar_t own[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, own, MAX_PATH);
    const std::wstring path(own, length);
    return path.substr(0, path.find_last_of(L'\\') + 1) + program;
}

}  // namespace testsupport
