#pragma once

#include <windows.h>

#include <chrono>
#include <string>

#include "common/unique_handle.h"
#include "update/update_failure.h"

// The installer switches every installer is given.
inline constexpr wchar_t kInstallerSwitches[] = L" /quiet /norestart ";

// How long an installer may run, and how an installer that finds another
// installation in progress (exit code 1618) is tried again.
struct InstallerPolicy {
    std::chrono::milliseconds timeout{60 * 60 * 1000};
    int busyRetries = 3;
    std::chrono::milliseconds busyPause{30000};
};

// How an installer's run ended.
enum class InstallerEnd { Exited, NotStarted, TimedOut, Unknown };

// What happened to one run of an installer.
struct InstallerRun {
    InstallerEnd end = InstallerEnd::Exited;
    // Exited: the exit code. NotStarted: the error of the failed start.
    // TimedOut: WAIT_TIMEOUT (the installer is left running). Unknown: the
    // error of the wait or of reading the exit code (never success).
    DWORD code = 0;
    // TimedOut: the installer still running, so that its end can be awaited.
    Common::KernelHandle process;

    [[nodiscard]] bool Exited(DWORD exitCode) const {
        return end == InstallerEnd::Exited && code == exitCode;
    }
};

// Runs the validated installer silently in the cache folder and waits for
// it. True for the exit codes 0, 1641 (reboot initiated) and 3010 (reboot
// required). An installer that exits with 1618 (another installation in
// progress) is run again up to `policy.busyRetries` times, `policy.busyPause`
// apart; one still running after `policy.timeout` fails the run (WARNING)
// and is left running, never killed: `stillRunning` (when given) receives
// its process, whose end the caller awaits. An installer whose exit code
// cannot be read has not succeeded. `failure` (when given) receives why it
// failed.
[[nodiscard]] bool RunInstaller(const std::wstring& folder, const std::wstring& path,
                                const std::wstring& args,
                                const InstallerPolicy& policy = InstallerPolicy(),
                                UpdateFailure* failure = nullptr,
                                Common::KernelHandle* stillRunning = nullptr);

// Waits at most `timeout` for the started installer `process` and says how
// it ended: its exit code, TimedOut (with the process kept), or Unknown when
// the wait or the exit code failed.
[[nodiscard]] InstallerRun AwaitInstaller(Common::KernelHandle process,
                                          std::chrono::milliseconds timeout);

// Waits, for as long as it takes, for an installer that ran past its time
// limit; logs and returns the exit code it finally gave (or the error that
// kept it from being read, as Unknown).
[[nodiscard]] InstallerRun AwaitLateInstaller(Common::KernelHandle process);

// An installer's exit code in words where it is a known Windows Installer
// code ("a fatal error occurred during installation" for 1603); empty
// otherwise.
[[nodiscard]] std::wstring DescribeInstallerExitCode(DWORD code);

// Starts `path` with the command line path + " /quiet /norestart " + args
// (the path quoted when it holds a blank) and waits for it, at most
// `timeout`. Says how it ended, with its exit code or the error.
[[nodiscard]] InstallerRun ExecuteInstaller(
    const std::wstring& folder, const std::wstring& path, const std::wstring& args,
    std::chrono::milliseconds timeout = InstallerPolicy().timeout);
