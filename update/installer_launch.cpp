#include "update/installer_launch.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/event_log.h"
#include "common/log.h"
#include "common/process_start.h"
#include "common/system_error_text.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"
#include "update/update_events.h"

std::wstring DescribeInstallerExitCode(DWORD code) {
    struct Named {
        DWORD code;
        const wchar_t* text;
    };
    static const Named kNamed[] = {
        {1601, L"the Windows Installer service could not be accessed"},
        {1602, L"the installation was cancelled"},
        {1603, L"a fatal error occurred during installation"},
        {1605, L"the product is not installed"},
        {1618, L"another installation is already in progress"},
        {1619, L"the installation package could not be opened"},
        {1620, L"the installation package is not valid"},
        {1624, L"a transform could not be applied"},
        {1625, L"system policy forbids this installation"},
        {1633, L"the installation package is not supported on this platform"},
        {1638, L"another version of this product is already installed"},
        {1639, L"a command-line argument is not valid"},
        {1641, L"the installer started a restart"},
        {3010, L"a restart is required to complete the installation"},
    };
    for (const Named& named : kNamed) {
        if (named.code == code) {
            return named.text;
        }
    }
    return std::wstring();
}

bool RunInstaller(const std::wstring& folder, const std::wstring& path, const std::wstring& args,
                  const InstallerPolicy& policy, UpdateFailure* failure) {
    TraceScope trace;
    InstallerRun run = ExecuteInstaller(folder, path, args, policy.reportEvery);
    for (int retry = 1; run.Exited(ERROR_INSTALL_ALREADY_RUNNING) && retry <= policy.busyRetries;
         ++retry) {
        Log::Info(L"Another installation is in progress (exit code [%lu]); running the installer "
                  L"again in [%lu] seconds, retry [%d] of [%d]",
                  static_cast<unsigned long>(run.code),
                  static_cast<unsigned long>(
                      std::chrono::duration_cast<std::chrono::seconds>(policy.busyPause).count()),
                  retry, policy.busyRetries);
        std::this_thread::sleep_for(policy.busyPause);
        run = ExecuteInstaller(folder, path, args, policy.reportEvery);
    }
    const DWORD code = run.code;
    const InstallerEnd end = run.end;
    const bool succeeded = run.Exited(ERROR_SUCCESS) || run.Exited(ERROR_SUCCESS_REBOOT_REQUIRED) ||
                           run.Exited(ERROR_SUCCESS_REBOOT_INITIATED);
    if (!succeeded && failure != nullptr) {
        failure->stage = kStageInstall;
        failure->code = code;
        if (end == InstallerEnd::NotStarted) {
            const std::wstring why = Common::SystemErrorText(code);
            failure->text = L"The installer could not be started (" + Common::ErrorNumber(code) +
                            (why.empty() ? L"" : L": " + why) + L").";
        } else if (end == InstallerEnd::Unknown) {
            const std::wstring why = Common::SystemErrorText(code);
            failure->text = L"How the installer ended cannot be read (" +
                            Common::ErrorNumber(code) + (why.empty() ? L"" : L": " + why) +
                            L"); it is not counted as a success.";
        } else {
            const std::wstring meaning = DescribeInstallerExitCode(code);
            failure->text = L"The installer exited with code " + std::to_wstring(code) +
                            (meaning.empty() ? L"" : L" (Windows Installer: " + meaning + L")") +
                            L".";
        }
    }
    return succeeded;
}

InstallerRun ExecuteInstaller(const std::wstring& folder, const std::wstring& path,
                              const std::wstring& args, std::chrono::milliseconds reportEvery) {
    TraceScope trace;
    // The module started is always exactly the cache entry.
    const std::wstring commandLine = Common::QuotedCommandLine(path, kInstallerSwitches + args);
    Log::Info(L"Working directory will be: [%s]", folder.c_str());
    Log::Info(L"Executing commandline: [%s]", commandLine.c_str());

    Common::StartedProcess installer;
    if (!Common::StartProcess(path, commandLine, folder.c_str(), installer)) {
        const DWORD error = ::GetLastError();
        Log::Error(L"CreateProcess failed (%d)", static_cast<int>(error));
        return InstallerRun{InstallerEnd::NotStarted, error};
    }
    return AwaitInstaller(std::move(installer.process), installer.id, reportEvery);
}

InstallerRun AwaitInstaller(Common::KernelHandle process, DWORD processId,
                            std::chrono::milliseconds reportEvery) {
    // Killing an installer half-way could leave the client broken, and the
    // worker must not end (letting another start a second installer) while
    // it runs: the wait has no limit, only a report now and then.
    const auto period = std::max(reportEvery, std::chrono::milliseconds(1));
    const DWORD periodMs =
        static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(period.count(), INFINITE - 1));
    const auto started = std::chrono::steady_clock::now();
    DWORD waited = ::WaitForSingleObject(process.Get(), periodMs);
    while (waited == WAIT_TIMEOUT) {
        const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(
                                 std::chrono::steady_clock::now() - started)
                                 .count();
        Log::Warning(L"The installer (process [%lu]) is still running after [%lu] minutes; the "
                     L"update waits for it to end",
                     static_cast<unsigned long>(processId), static_cast<unsigned long>(minutes));
        Common::TheEventLog().Report(
            InstallerStillRunningEvent(processId, static_cast<uint64_t>(minutes)));
        waited = ::WaitForSingleObject(process.Get(), periodMs);
    }
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !::GetExitCodeProcess(process.Get(), &code)) {
        const DWORD error = ::GetLastError() != ERROR_SUCCESS ? ::GetLastError()
                                                              : ERROR_INVALID_HANDLE;
        Log::Error(L"The installer's exit code cannot be read, error [%lu]",
                   static_cast<unsigned long>(error));
        return InstallerRun{InstallerEnd::Unknown, error};
    }
    Log::Info(L"Installation completed, exitcode: [%d]", static_cast<int>(code));
    return InstallerRun{InstallerEnd::Exited, code};
}
