#include "host/worker_respawn.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>

#include "common/log.h"
#include "common/process_start.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"
#include "update/download_cache.h"

bool FindWorkerProcess() {
    TraceScope trace;
    Common::KernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid()) {
        Log::Error(L"Failed to get process snapshot error [%lu]", ::GetLastError());
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot.Get(), &entry)) {
        Log::Error(L"Failed to get process information from snapshot error [%lu]",
                   ::GetLastError());
        return false;
    }
    Log::Verbose(L"Searching for process...");
    bool exists = false;
    do {
        Log::Verbose(L"Comparing [%s] pid [%lu] with [%s]", entry.szExeFile, entry.th32ProcessID,
                     kWorkerFileName);
        if (_wcsicmp(entry.szExeFile, kWorkerFileName) == 0) {
            Log::Verbose(L"Found process [%s] pid [%lu]", entry.szExeFile, entry.th32ProcessID);
            exists = true;
            break;
        }
    } while (::Process32NextW(snapshot.Get(), &entry));
    snapshot.Reset();
    Log::Verbose(L"Returning exists [%u]", exists ? 1u : 0u);
    return exists;
}

bool CopyWorkerExecutable(std::wstring& path) {
    TraceScope trace;
    wchar_t ownPath[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
    const DWORD error = ::GetLastError();
    if (length == 0 || error == ERROR_INSUFFICIENT_BUFFER) {
        Log::Error(L"Unable to get path to service executable error [%lu]", error);
        return false;
    }
    const DownloadCache cache;
    if (!cache.IsUsable()) {
        // Never a bare file name in the service's current directory.
        return false;
    }
    path = cache.folder + kWorkerFileName;
    if (!::CopyFileExW(ownPath, path.c_str(), nullptr, nullptr, nullptr, 0)) {
        // "move": the administrators' log searches know the line by this text.
        Log::Error(L"Failed to move file [%s] error [%lu]", path.c_str(), ::GetLastError());
        return false;
    }
    Log::Verbose(L"Copied [%s] to [%s]", ownPath, path.c_str());
    if (::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        Log::Info(L"Scheduled [%s] for deletion on reboot", path.c_str());
    } else {
        Log::Error(L"Failed to schedule delete on reboot for file [%s] error [%lu]", path.c_str(),
                   ::GetLastError());
    }
    return true;
}

void RespawnWorker() {
    TraceScope trace;
    if (FindWorkerProcess()) {
        Log::Verbose(L"Reusing existing worker process");
        return;
    }
    std::wstring path;
    const bool copied = CopyWorkerExecutable(path);
    Log::Verbose(L"Attempting to respawn service as a standalone process [%s]", path.c_str());
    if (!copied) {
        Log::Error(L"Failed to get new name for process");
        return;
    }

    // The copy is named as the application, so exactly it is started; the
    // command line is its bare path.
    Common::StartedProcess worker;
    if (!Common::StartProcess(path, Common::QuotedCommandLine(path, L""), nullptr, worker)) {
        Log::Error(L"Failed to respawn with error [%lu]", ::GetLastError());
        return;
    }
    Log::Info(L"Auto update will be respawned as a standalone process");
}
