#include "update/installer_launch.h"

#include "common/log.h"
#include "common/process_start.h"
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
    // The module started is always exactly the cache entry.
    const std::wstring commandLine = Common::QuotedCommandLine(path, kInstallerSwitches + args);
    Log::Info(L"Working directory will be: [%s]", folder.c_str());
    Log::Info(L"Executing commandline: [%s]", commandLine.c_str());

    Common::StartedProcess installer;
    if (!Common::StartProcess(path, commandLine, folder.c_str(), installer)) {
        const DWORD code = ::GetLastError();
        Log::Error(L"CreateProcess failed (%d)", static_cast<int>(code));
        return code;
    }
    DWORD code = 0;
    (void)::WaitForSingleObject(installer.process.Get(), INFINITE);
    (void)::GetExitCodeProcess(installer.process.Get(), &code);
    Log::Info(L"Installation completed, exitcode: [%d]", static_cast<int>(code));
    return code;
}
