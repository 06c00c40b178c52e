#pragma once

// Runs a test tool of the build's bin folder as a child process with its
// standard output and error captured, and waits for it.

#include <windows.h>

#include <string>

#include "common/unique_handle.h"
#include "tests/support/text_checks.h"

namespace testsupport {

struct ChildRun {
    bool started = false;
    bool ended = false;  // within the time allowed
    DWORD exitCode = 0;
    std::string output;
};

// The folder of the running test program, with its final backslash.
inline std::wstring ProgramFolder() {
    wchar_t self[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self, length);
    folder.resize(folder.find_last_of(L'\\') + 1);
    return folder;
}

// Starts `program` (a file name in ProgramFolder()) with `arguments`, its
// output going to a file beside it, and waits at most `waitMs` for its end.
inline ChildRun RunChild(const std::wstring& program, const std::wstring& arguments,
                         DWORD waitMs = 60000) {
    const std::wstring folder = ProgramFolder();
    const std::wstring output = folder + program + L".out";
    ChildRun run;
    {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        const Common::KernelHandle file(::CreateFileW(output.c_str(), GENERIC_WRITE,
                                                      FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                                      0, nullptr));
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = file.Get();
        startup.hStdError = file.Get();
        PROCESS_INFORMATION process = {};
        std::wstring commandLine = L"\"" + folder + program + L"\" " + arguments;
        run.started = file && ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                                               nullptr, nullptr, &startup, &process);
        if (run.started) {
            const Common::KernelHandle child(process.hProcess);
            const Common::KernelHandle thread(process.hThread);
            run.ended = ::WaitForSingleObject(child.Get(), waitMs) == WAIT_OBJECT_0;
            if (!run.ended) {
                // Ours: it does not outlive the test that started it.
                (void)::TerminateProcess(child.Get(), 1);
                (void)::WaitForSingleObject(child.Get(), waitMs);
            }
            (void)::GetExitCodeProcess(child.Get(), &run.exitCode);
        }
    }
    run.output = FileBytes(output);
    (void)::DeleteFileW(output.c_str());
    return run;
}

}  // namespace testsupport
