// A stand-in installer for the tests and the demo. It records how it was
// started and exits with the code it is told to:
//
//   test_installer.exe /quiet /norestart [--record=FILE] [--exit=N] [--sleep=MS]
//                      [--wait-for=FILE] [--hold=FILE] [--leave=NAME]
//
// --wait-for keeps it running until FILE exists (at most 10 minutes), so that
// a test decides when the installation ends. --hold keeps FILE open for
// reading, sharing read only, while it runs: nobody can delete or change it.
// --leave writes the file NAME into its working folder and leaves it there,
// as many installers leave their log.
// Each run appends to the record file (UTF-8) the lines "commandline=<...>",
// "directory=<working folder>", "module=<the file that ran>" and
// "pid=<its process id>".

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// The text after `option` up to the next blank, or empty.
std::wstring OptionValue(const std::wstring& commandLine, const std::wstring& option) {
    const size_t at = commandLine.find(option);
    if (at == std::wstring::npos) {
        return std::wstring();
    }
    const size_t start = at + option.size();
    const size_t end = commandLine.find(L' ', start);
    return commandLine.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

std::string Utf8(const std::wstring& text) {
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

}  // namespace

int wmain() {
    const std::wstring commandLine = ::GetCommandLineW();
    const std::wstring record = OptionValue(commandLine, L"--record=");
    if (!record.empty()) {
        wchar_t directory[MAX_PATH] = {};
        ::GetCurrentDirectoryW(MAX_PATH, directory);
        wchar_t module[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, module, MAX_PATH);
        FILE* file = _wfopen(record.c_str(), L"ab");  // appended: every run shows
        if (file != nullptr) {
            std::fprintf(file, "commandline=%s\ndirectory=%s\nmodule=%s\npid=%lu\n",
                         Utf8(commandLine).c_str(), Utf8(directory).c_str(), Utf8(module).c_str(),
                         static_cast<unsigned long>(::GetCurrentProcessId()));
            std::fclose(file);
        }
    }
    const std::wstring leave = OptionValue(commandLine, L"--leave=");
    if (!leave.empty()) {
        FILE* file = _wfopen(leave.c_str(), L"wb");
        if (file != nullptr) {
            std::fprintf(file, "left by the installer\n");
            std::fclose(file);
        }
    }
    const std::wstring hold = OptionValue(commandLine, L"--hold=");
    const HANDLE held = hold.empty() ? INVALID_HANDLE_VALUE
                                     : ::CreateFileW(hold.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                     nullptr, OPEN_EXISTING, 0, nullptr);
    if (!hold.empty()) {
        std::printf(held != INVALID_HANDLE_VALUE ? "holding\n" : "cannot hold\n");
        std::fflush(stdout);
    }
    const std::wstring sleep = OptionValue(commandLine, L"--sleep=");
    if (!sleep.empty()) {
        ::Sleep(static_cast<DWORD>(std::wcstoul(sleep.c_str(), nullptr, 10)));
    }
    const std::wstring waitFor = OptionValue(commandLine, L"--wait-for=");
    for (int step = 0; !waitFor.empty() && step < 6000 &&
                       ::GetFileAttributesW(waitFor.c_str()) == INVALID_FILE_ATTRIBUTES;
         ++step) {
        ::Sleep(100);
    }
    return static_cast<int>(
        std::wcstoul(OptionValue(commandLine, L"--exit=").c_str(), nullptr, 10));
}
