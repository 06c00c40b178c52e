#include "host/worker_respawn.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "common/checked_open.h"
#include "common/event_log.h"
#include "common/file_system.h"
#include "common/log.h"
#include "common/process_account.h"
#include "common/process_start.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"
#include "update/update_events.h"

namespace {

// The full Win32 path of the process's image; false when it cannot be read.
bool ProcessImagePath(DWORD processId, std::wstring& path) {
    const Common::KernelHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        return false;
    }
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD length = static_cast<DWORD>(sizeof(buffer) / sizeof(buffer[0]));
    if (!::QueryFullProcessImageNameW(process.Get(), 0, buffer, &length)) {
        return false;
    }
    path.assign(buffer, length);
    return true;
}

// The account the process runs as; empty when it cannot be read.
std::wstring WorkerAccount(DWORD processId) {
    const Common::KernelHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    return process ? Common::ProcessAccountSid(process.Get()) : std::wstring();
}

// Copies the bytes of the file at `source` into the file open at `target`.
bool CopyBytes(const wchar_t* source, HANDLE target) {
    const Common::KernelHandle from(::CreateFileW(source, GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                                  nullptr));
    if (!from) {
        return false;
    }
    std::vector<char> chunk(size_t{256} * 1024);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(from.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read,
                        nullptr)) {
            return false;
        }
        if (read == 0) {
            return true;
        }
        DWORD written = 0;
        if (!::WriteFile(target, chunk.data(), read, &written, nullptr) || written != read) {
            return false;
        }
    }
}

}  // namespace

bool IsScheduledForDeletion(const std::wstring& path) {
    // Pairs of NUL-terminated names: source ("\??\" and the path), then
    // target, empty for a deletion.
    DWORD size = 0;
    const wchar_t* const key = L"System\\CurrentControlSet\\Control\\Session Manager";
    const wchar_t* const value = L"PendingFileRenameOperations";
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_MULTI_SZ, nullptr, nullptr,
                       &size) != ERROR_SUCCESS ||
        size == 0) {
        return false;
    }
    std::vector<wchar_t> names(size / sizeof(wchar_t) + 2, L'\0');
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_MULTI_SZ, nullptr, names.data(),
                       &size) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring source = L"\\??\\" + path;
    const wchar_t* at = names.data();
    const wchar_t* const end = names.data() + names.size();
    while (at < end && *at != L'\0') {
        const wchar_t* target = at + std::wcslen(at) + 1;
        if (target >= end) {
            break;
        }
        if (_wcsicmp(at, source.c_str()) == 0 && *target == L'\0') {
            return true;
        }
        at = target + std::wcslen(target) + 1;
    }
    return false;
}

bool FindWorkerProcess(const std::wstring& workerPath, const std::wstring& account) {
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
        if (_wcsicmp(entry.szExeFile, kWorkerFileName) != 0) {
            continue;
        }
        // The name alone proves nothing: anybody can start a program of
        // that name from anywhere, and would keep the real worker away.
        std::wstring image;
        if (!ProcessImagePath(entry.th32ProcessID, image)) {
            Log::Warning(L"Ignoring process [%s] pid [%lu]: its image path cannot be read, "
                         L"error [%lu]",
                         entry.szExeFile, entry.th32ProcessID, ::GetLastError());
            continue;
        }
        if (workerPath.empty() || _wcsicmp(image.c_str(), workerPath.c_str()) != 0) {
            Log::Warning(L"Ignoring process [%s] pid [%lu] running from [%s]: it is not the "
                         L"worker copy",
                         entry.szExeFile, entry.th32ProcessID, image.c_str());
            continue;
        }
        // Nor does the image: anybody can start the copy (suspended, or under
        // a debugger) and keep the real worker away for ever.
        const std::wstring runsAs = WorkerAccount(entry.th32ProcessID);
        if (account.empty() || _wcsicmp(runsAs.c_str(), account.c_str()) != 0) {
            Log::Warning(L"Ignoring process [%s] pid [%lu]: it runs as [%s], not as the "
                         L"service's account [%s]; a new worker is started",
                         entry.szExeFile, entry.th32ProcessID, runsAs.c_str(), account.c_str());
            continue;
        }
        Log::Verbose(L"Found process [%s] pid [%lu]", entry.szExeFile, entry.th32ProcessID);
        exists = true;
        break;
    } while (::Process32NextW(snapshot.Get(), &entry));
    snapshot.Reset();
    Log::Verbose(L"Returning exists [%u]", exists ? 1u : 0u);
    return exists;
}

bool CopyWorkerExecutable(const DownloadCache& cache, std::wstring& path,
                          Common::KernelHandle& copy) {
    TraceScope trace;
    wchar_t ownPath[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
    const DWORD error = ::GetLastError();
    if (length == 0 || error == ERROR_INSUFFICIENT_BUFFER) {
        Log::Error(L"Unable to get path to service executable error [%lu]", error);
        return false;
    }
    if (!cache.IsUsable()) {
        // Never a bare file name in the service's current directory.
        return false;
    }
    path = cache.Folder() + kWorkerFileName;
    // An earlier copy that no longer runs, or anything else at that name,
    // goes first (through the folder's handle); the copy then only ever
    // creates a new file.
    const DWORD deleted = cache.DeleteEntry(kWorkerFileName);
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
        Log::Error(L"Failed to delete the earlier copy [%s] error [%lu]", path.c_str(), deleted);
    }
    // Created new with the service's descriptor and written through the one
    // handle that is then held until it has been started: what was written
    // is what runs, and nobody can write, rename or delete it in between.
    Common::KernelHandle written = Common::Files().CreateNewFile(
        path, DownloadCache::kFileSddl, GENERIC_READ | GENERIC_WRITE | READ_CONTROL,
        FILE_SHARE_READ);
    if (!written) {
        // "move": the administrators' log searches know the line by this text.
        Log::Error(L"Failed to move file [%s] error [%lu]", path.c_str(), ::GetLastError());
        return false;
    }
    if (!CopyBytes(ownPath, written.Get())) {
        Log::Error(L"Failed to move file [%s] error [%lu]", path.c_str(), ::GetLastError());
        written.Reset();
        (void)cache.DeleteEntry(kWorkerFileName);
        return false;
    }
    Log::Verbose(L"Copied [%s] to [%s]", ownPath, path.c_str());
    Common::FileFacts facts;
    const DWORD inspected = Common::Files().Inspect(written.Get(), facts);
    if (inspected != ERROR_SUCCESS || !Common::IsPlainFile(facts) ||
        !Common::IsTrustedOwner(facts.ownerSid)) {
        Log::Error(L"The worker copy [%s] is not a plain file of a trusted owner, error [%lu]",
                   path.c_str(), inspected);
        return false;
    }
    copy = Common::ReopenForReading(std::move(written));
    if (!copy) {
        Log::Error(L"The worker copy [%s] cannot be held for reading, error [%lu]", path.c_str(),
                   ::GetLastError());
        return false;
    }
    // Once is enough: the list would otherwise grow by one entry at every
    // service start until the next restart.
    if (IsScheduledForDeletion(path)) {
        Log::Verbose(L"[%s] is already scheduled for deletion on reboot", path.c_str());
    } else if (::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        Log::Info(L"Scheduled [%s] for deletion on reboot", path.c_str());
    } else {
        Log::Error(L"Failed to schedule delete on reboot for file [%s] error [%lu]", path.c_str(),
                   ::GetLastError());
    }
    return true;
}

void RespawnWorker(const CacheRoot& cacheRoot) {
    TraceScope trace;
    std::unique_ptr<DownloadCache> cache;
    CacheRefusal refusal;
    const bool usable = DownloadCache::Open(cacheRoot, cache, &refusal) == ERROR_SUCCESS;
    if (!usable) {
        // No worker can start from it: no update runs until an administrator acts.
        Common::TheEventLog().Report(CacheUnusableEvent(refusal));
    }
    const std::wstring workerPath = usable ? cache->Folder() + kWorkerFileName : L"";
    if (FindWorkerProcess(workerPath)) {
        Log::Verbose(L"Reusing existing worker process");
        return;
    }
    std::wstring path;
    Common::KernelHandle copy;
    const bool copied = usable && CopyWorkerExecutable(*cache, path, copy);
    Log::Verbose(L"Attempting to respawn service as a standalone process [%s]", path.c_str());
    if (!copied) {
        Log::Error(L"Failed to get new name for process");
        return;
    }

    // The copy is named as the application, so exactly it is started; the
    // command line is its bare path. The service has no console, so the
    // worker would get a console of its own that nobody sees, and every line
    // it logs would be drawn into it, one at a time, while it downloads: it
    // runs without one (its lines go to ETW and its run log).
    Common::StartedProcess worker;
    if (!Common::StartProcess(path, Common::QuotedCommandLine(path, L""), nullptr, worker,
                              DETACHED_PROCESS)) {
        Log::Error(L"Failed to respawn with error [%lu]", ::GetLastError());
        return;
    }
    Log::Info(L"Auto update will be respawned as a standalone process");
    ReportEarlyEnd(worker.process.Get(), kWorkerStartCheckMs);
}

void ReportEarlyEnd(HANDLE worker, DWORD waitMs) {
    // A worker that cannot serve the endpoint (another process holds it)
    // ends at once; the service says so instead of reporting nothing.
    if (::WaitForSingleObject(worker, waitMs) != WAIT_OBJECT_0) {
        return;
    }
    DWORD code = 0;
    (void)::GetExitCodeProcess(worker, &code);
    Log::Error(L"The worker ended at once with exit code [%lu]: it did not serve the update "
               L"endpoint (another process may hold it); see the worker's run log",
               static_cast<unsigned long>(code));
}
