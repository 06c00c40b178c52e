#include "update/installer_launch.h"

#include <thread>

#include "common/log.h"
#include "common/process_start.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"

bool RunInstaller(const std::wstring& folder, const std::wstring& path, const std::wstring& args,
                  const InstallerPolicy& policy) {
    TraceScope trace;
    DWORD code = ExecuteInstaller(folder, path, args, policy.timeout);
    for (int retry = 1; code == ERROR_INSTALL_ALREADY_RUNNING && retry <= policy.busyRetries;
         ++retry) {
        Log::Info(L"Another installation is in progress (exit code [%lu]); running the installer "
                  L"again in [%lu] seconds, retry [%d] of [%d]",
                  static_cast<unsigned long>(code),
                  static_cast<unsigned long>(
                      std::chrono::duration_cast<std::chrono::seconds>(policy.busyPause).count()),
                  retry, policy.busyRetries);
        std::this_thread::sleep_for(policy.busyPause);
        code = ExecuteInstaller(folder, path, args, policy.timeout);
    }
    return code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_REQUIRED ||
           code == ERROR_SUCCESS_REBOOT_INITIATED;
}

DWORD ExecuteInstaller(const std::wstring& folder, const std::wstring& path,
                       const std::wstring& args, std::chrono::milliseconds timeout) {
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
    const DWORD waitMs = static_cast<DWORD>(timeout.count());
    if (::WaitForSingleObject(installer.process.Get(), waitMs) == WAIT_TIMEOUT) {
        // Killing an installer half-way could leave the client broken.
        Log::Warning(L"The installer is still running after [%lu] seconds; it is left running "
                     L"and the update ends as failed",
                     static_cast<unsigned long>(waitMs / 1000));
        return kInstallerTimedOut;
    }
    (void)::GetExitCodeProcess(installer.process.Get(), &code);
    Log::Info(L"Installation completed, exitcode: [%d]", static_cast<int>(code));
    return code;
}
