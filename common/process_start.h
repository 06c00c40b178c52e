#pragma once

#include <windows.h>

#include <string>

#include "common/unique_handle.h"

namespace Common {

// The two handles CreateProcessW hands back, each owned.
struct StartedProcess {
    KernelHandle process;
    KernelHandle thread;
    DWORD id = 0;
};

// The command line that starts `path` with `tail` after it: the path is
// quoted when it holds a blank, so the program sees its arguments where they
// belong. `tail` is appended as it is (it carries its own leading blank).
[[nodiscard]] std::wstring QuotedCommandLine(const std::wstring& path, const std::wstring& tail);

// Starts exactly the program at `path` (named as the application, never
// searched for) with `commandLine`, in `folder` (null: the caller's current
// folder), with the CreateProcessW `creationFlags`. On false the process was
// not started and GetLastError() says why.
[[nodiscard]] bool StartProcess(const std::wstring& path, const std::wstring& commandLine,
                                const wchar_t* folder, StartedProcess& started,
                                DWORD creationFlags = 0);

}  // namespace Common
