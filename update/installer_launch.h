#pragma once

#include <windows.h>

#include <chrono>
#include <string>

#include "common/unique_handle.h"
#include "update/update_failure.h"

// The installer switches every installer is given.
inline constexpr wchar_t kInstallerSwitches[] = L" /quiet /norestart ";

// How often a running installer is reported, and how an installer that
// finds another installation in progress (exit code 1618) is tried again.
struct InstallerPolicy {
    // An installer has no time limit: it is never killed, and the update
    // waits for its exit code however long it runs. While it runs, one
    // WARNING each `reportEvery` names it and how long it has run.
    std::chrono::milliseconds reportEvery{60 * 60 * 1000};
    int busyRetries = 3;
    std::chrono::milliseconds busyPause{30000};
};

// How an installer's run ended.
enum class InstallerEnd { Exited, NotStarted, Unknown };

// What happened to one run of an installer.
struct InstallerRun {
    InstallerEnd end = InstallerEnd::Exited;
    // Exited: the exit code. NotStarted: the error of the failed start.
    // Unknown: the error of the wait or of reading the exit code (never
    // success).
    DWORD code = 0;

    [[nodiscard]] bool Exited(DWORD exitCode) const {
        return end == InstallerEnd::Exited && code == exitCode;
    }
};

// Runs the validated installer silently in the cache folder and waits for
// it, however long it runs (reported each `policy.reportEvery`). True for the
// exit codes 0, 1641 (reboot initiated) and 3010 (reboot required). An
// installer that exits with 1618 (another installation in progress) is run
// again up to `policy.busyRetries` times, `policy.busyPause` apart. An
// installer whose exit code cannot be read has not succeeded. `failure`
// (when given) receives why it failed.
[[nodiscard]] bool RunInstaller(const std::wstring& folder, const std::wstring& path,
                                const std::wstring& args,
                                const InstallerPolicy& policy = InstallerPolicy(),
                                UpdateFailure* failure = nullptr);

// Waits for the started installer `process` (id `processId`) to end, with
// one WARNING each `reportEvery` while it runs, and says how it ended: its
// exit code, or Unknown when the wait or the exit code failed.
[[nodiscard]] InstallerRun AwaitInstaller(Common::KernelHandle process, DWORD processId,
                                          std::chrono::milliseconds reportEvery);

// An installer's exit code in words where it is a known Windows Installer
// code ("a fatal error occurred during installation" for 1603); empty
// otherwise.
[[nodiscard]] std::wstring DescribeInstallerExitCode(DWORD code);

// Starts `path` with the command line path + " /quiet /norestart " + args
// (the path quoted when it holds a blank) and waits for it to end (reported
// each `reportEvery`). Says how it ended, with its exit code or the error.
[[nodiscard]] InstallerRun ExecuteInstaller(
    const std::wstring& folder, const std::wstring& path, const std::wstring& args,
    std::chrono::milliseconds reportEvery = InstallerPolicy().reportEvery);
