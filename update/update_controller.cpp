#include "update/update_controller.h"

#include <windows.h>

#include <memory>
#include <thread>

#include "common/log.h"
#include "common/trace_scope.h"
#include "http/downloader.h"
#include "update/binary_validation.h"
#include "update/download_cache.h"
#include "update/installer_launch.h"
#include "update/sha256.h"

std::mutex statusMutex;

std::wstring OwnExecutablePath() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return length != 0 ? std::wstring(path, length) : std::wstring();
}

void UpdateController::PauseAfterFinalStatus() const {
    std::this_thread::sleep_for(finalPause_);
}

void UpdateController::MarkFailed(const wchar_t* reason) {
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        status.store(Failed);
    }
    PauseAfterFinalStatus();
    Log::Error(L"%s", reason);
}

void UpdateController::MarkCompleted() {
    TraceScope trace;
    // An increment on purpose: the status only ever moves one step forward
    // from Installing, and a concurrent Failed is never overwritten by a 2.
    status.fetch_add(1);
    PauseAfterFinalStatus();
}

bool DownloadBinary(const std::wstring& url, const std::wstring& path, DownloadPace pace,
                    DownloadProgress* progress) {
    TraceScope trace;
    Log::Info(L"Beginning download");
    Downloader downloader(std::make_unique<HttpRequest>(), std::make_unique<DownloadFile>(path),
                          pace, progress);
    const bool downloaded = downloader.Download(url);
    if (downloaded) {
        Log::Info(L"Completed download");
    } else {
        Log::Error(L"Failed to download binary");
    }
    return downloaded;
}

bool UpdateController::ValidateBinary(const std::wstring& path) {
    return ValidateOpenBinary(checkedFile, path, hash, OwnExecutablePath());
}

bool UpdateController::ObtainValidBinary(const std::wstring& url, const std::wstring& path) {
    TraceScope trace;
    if (!DownloadBinary(url, path, pace_, &progress)) {
        Log::Error(L"Update controller failed to download binary.");
        return false;
    }
    // One handle from here to the installer's end: what is checked is what runs.
    checkedFile = OpenForChecks(path);
    if (!checkedFile) {
        Log::Error(L"Update controller failed to validate binary.");
        return false;
    }
    if (!ValidateBinary(path)) {
        checkedFile.Reset();
        Log::Error(L"Update controller failed to validate binary.");
        return false;
    }
    return true;
}

void UpdateController::Run(const std::vector<std::wstring>& requestUrls,
                           const std::wstring& requestHash, const std::wstring& requestArgs) {
    TraceScope trace;
    urls = requestUrls;
    hash = requestHash;
    args = requestArgs;
    const DownloadCache cache;

    // Nothing is downloaded, run or cleaned unless the cache is a real
    // folder and every path formed in it stays there.
    if (urls.empty()) {
        MarkFailed(L"The update request names no URL; nothing to download.");
        return;
    }
    if (!cache.IsUsable()) {
        MarkFailed(L"The download cache folder is unknown; the update cannot run.");
        return;
    }
    if (!hash.empty() && !DownloadCache::IsPlainFileName(hash)) {
        MarkFailed(L"The policy hash cannot name a cache file; the update is refused.");
        return;
    }

    // One time limit for every URL's download together.
    pace_.deadline = DownloadPace::Clock::now() + pace_.updateLimit;
    std::wstring path;
    for (size_t i = 0; i < urls.size(); ++i) {
        const std::wstring& url = urls[i];
        Log::Verbose(L"Attempting download using the following url: [%s]", url.c_str());
        {
            TraceScope naming;
            std::wstring name;
            if (!hash.empty()) {
                Log::Info(L"A hash has been provided from policy.  Using this as the filename");
                name = hash;
            } else {
                // The doubled "as" is the line's established text: log searches rely on it.
                Log::Info(L"No hash provided from policy.  Using hash of url as as the filename");
                name = Sha256().HashText(url);
            }
            path = cache.GetFullPath(name);
            Log::Info(L"Filename will be: [%s]", path.c_str());
        }
        if (!path.empty()) {
            cache.KeepNewestDownloads(path);
        }
        if (!path.empty() && ObtainValidBinary(url, path)) {
            break;
        }
        if (i + 1 < urls.size()) {
            Log::Error(L"Failed to obtain valid binary from the following url: [%s]", url.c_str());
            continue;
        }
        MarkFailed(L"Update controller failed to download and validate binary.");
        return;
    }

    {
        TraceScope installing;
        Log::Info(L"Beginning upgrade");
        status.fetch_add(1);  // Downloading -> Installing, as an increment (see MarkCompleted)
        const bool installed = RunInstaller(cache.folder, path, args, installer_);
        checkedFile.Reset();
        if (!installed) {
            Log::Error(L"Failed to update client");
            MarkFailed(L"Update controller failed to install binary.");
            return;
        }
        Log::Info(L"Completed upgrade");
    }
    cache.CleanBinaries();
    MarkCompleted();
}

void UpdateController::RunToCompletion(const UpdateRequest& request) {
    TraceScope trace;
    std::string message;
    try {
        Run(request.urls, request.hash, request.args);
        return;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "unknown exception";
    }
    checkedFile.Reset();
    Log::Error(L"The update ended with an exception: [%S]", message.c_str());
    MarkFailed(L"Update controller failed: the update ended with an exception.");
}
