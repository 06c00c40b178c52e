#include "update/installer_launch.h"

#include <vector>

#include "common/log.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"

bool RunInstaller(const std::wstring& folder, const std::wstring& path, const std::wstring& args) {
    TraceScope trace;
    const DWORD code = ExecuteInstaller(folder, path, args);
    return code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_REQUIRED ||
           code == ERROR_SUCCESS_REBOOT_INITIATED;
}

DWORD ExecuteInstaller(const std::wstring& folder, const std::wstring& path,
                       const std::wstring& args) {
    TraceScope trace;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};

    // The module started is always exactly the cache entry: it is named as the
    // application, and quoted in the command line when it holds a blank so
    // the installer sees its arguments where they belong.
    const bool quote = path.find(L' ') != std::wstring::npos;
    const std::wstring commandLine =
        (quote ? L"\"" + path + L"\"" : path) + kInstallerSwitches + args;
    Log::Info(L"Working directory will be: [%s]", folder.c_str());
    Log::Info(L"Executing commandline: [%s]", commandLine.c_str());

    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    DWORD code = 0;
    if (!::CreateProcessW(path.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.c_str(), &startup, &process)) {
        code = ::GetLastError();
        Log::Error(L"CreateProcess failed (%d)", static_cast<int>(code));
        return code;
    }
    // Destroyed in reverse order: the process handle is closed first.
    const Common::KernelHandle threadHandle(process.hThread);
    const Common::KernelHandle processHandle(process.hProcess);
    (void)::WaitForSingleObject(processHandle.Get(), INFINITE);
    (void)::GetExitCodeProcess(processHandle.Get(), &code);
    Log::Info(L"Installation completed, exitcode: [%d]", static_cast<int>(code));
    return code;
}
