#include "common/process_start.h"

#include <vector>

namespace Common {

std::wstring QuotedCommandLine(const std::wstring& path, const std::wstring& tail) {
    const bool quote = path.find(L' ') != std::wstring::npos;
    return (quote ? L"\"" + path + L"\"" : path) + tail;
}

bool StartProcess(const std::wstring& path, const std::wstring& commandLine,
                  const wchar_t* folder, StartedProcess& started, DWORD creationFlags) {
    // CreateProcessW may write into the command line: give it a copy.
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(path.c_str(), writable.data(), nullptr, nullptr, FALSE, creationFlags,
                          nullptr, folder, &startup, &process)) {
        return false;
    }
    started.process.Reset(process.hProcess);
    started.thread.Reset(process.hThread);
    started.id = process.dwProcessId;
    return true;
}

}  // namespace Common
