#pragma once

#include <windows.h>

#include <string>

// The installer switches every installer is given.
inline constexpr wchar_t kInstallerSwitches[] = L" /quiet /norestart ";

// Runs the validated installer silently in the cache folder and waits for
// it. True for the exit codes 0, 1641 (reboot initiated) and 3010 (reboot
// required).
[[nodiscard]] bool RunInstaller(const std::wstring& folder, const std::wstring& path,
                                const std::wstring& args);

// Starts `path` with the command line path + " /quiet /norestart " + args
// (the path quoted when it holds a blank) and waits for it. Returns its exit
// code, or the error of a failed start.
[[nodiscard]] DWORD ExecuteInstaller(const std::wstring& folder, const std::wstring& path,
                                     const std::wstring& args);
