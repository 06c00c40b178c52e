#include "update/update_controller.h"

#include <windows.h>

#include <memory>
#include <thread>

#include "common/event_log.h"
#include "common/log.h"
#include "common/trace_scope.h"
#include "http/downloader.h"
#include "update/binary_validation.h"
#include "update/download_cache.h"
#include "update/installer_launch.h"
#include "update/product_version.h"
#include "update/request_admission.h"
#include "update/sha256.h"
#include "update/update_events.h"
#include "update/update_policy.h"

namespace {

// Held while the status becomes Failed.
std::mutex statusMutex;

}  // namespace

std::wstring OwnExecutablePath() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return length != 0 ? std::wstring(path, length) : std::wstring();
}

void UpdateController::PauseAfterFinalStatus() const {
    std::this_thread::sleep_for(finalPause_);
}

void UpdateController::MarkFailed(const wchar_t* reason, const UpdateFailure& failure) {
    {
        std::lock_guard<std::mutex> facts(factsMutex_);
        failure_ = failure;
        if (!failure_.IsSet()) {
            failure_.stage = kStageInternal;
            failure_.text = reason;
        }
        ended_ = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(statusMutex);
        status_.store(Failed);
    }
    PauseAfterFinalStatus();
    Log::Error(L"%s", reason);
}

void UpdateController::StepStatus() {
    std::lock_guard<std::mutex> facts(factsMutex_);
    status_.fetch_add(1);
}

void UpdateController::MarkEnded() {
    std::lock_guard<std::mutex> facts(factsMutex_);
    ended_ = std::chrono::steady_clock::now();
}

void UpdateController::SetAttemptedUrl(const std::wstring& url) {
    std::lock_guard<std::mutex> facts(factsMutex_);
    attemptedUrl_ = url;
}

UpdateSnapshot UpdateController::Snapshot() const {
    UpdateSnapshot snapshot;
    std::lock_guard<std::mutex> facts(factsMutex_);
    snapshot.status = static_cast<UpdateStatus>(status_.load());
    snapshot.received = progress_.received.load(std::memory_order_relaxed);
    snapshot.total = progress_.total.load(std::memory_order_relaxed);
    if (snapshot.status == Failed) {
        snapshot.failure = failure_;
    }
    snapshot.url = attemptedUrl_;
    const auto end =
        ended_ == std::chrono::steady_clock::time_point{} ? std::chrono::steady_clock::now() : ended_;
    snapshot.seconds = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(end - started_).count());
    snapshot.begunBy = caller_;
    return snapshot;
}

Caller UpdateController::BegunBy() const {
    std::lock_guard<std::mutex> facts(factsMutex_);
    return caller_;
}

void UpdateController::MarkCompleted() {
    TraceScope trace;
    MarkEnded();
    StepStatus();
    PauseAfterFinalStatus();
}

bool DownloadBinary(const std::wstring& url, const std::wstring& path, DownloadPace pace,
                    DownloadProgress* progress, DownloadError* error,
                    HttpRequest::RedirectCheck redirects) {
    TraceScope trace;
    Log::Info(L"Beginning download");
    auto request = std::make_unique<HttpRequest>();
    if (redirects) {
        request->SetRedirectCheck(std::move(redirects));
    }
    Downloader downloader(std::move(request), std::make_unique<DownloadFile>(path), pace,
                          progress);
    const bool downloaded = downloader.Download(url);
    if (downloaded) {
        Log::Info(L"Completed download");
    } else {
        Log::Error(L"Failed to download binary");
        if (error != nullptr) {
            *error = downloader.LastError();
        }
    }
    return downloaded;
}

bool UpdateController::ValidateBinary(const std::wstring& path) {
    return ValidateOpenBinary(checkedFile_, path, hash_, OwnExecutablePath(),
                              AdmittedReleases(BegunBy(), policy_),
                              &attemptFailure_);
}

bool UpdateController::ObtainValidBinary(const std::wstring& url, const std::wstring& path) {
    TraceScope trace;
    attemptFailure_ = UpdateFailure();
    SetAttemptedUrl(url);
    DownloadError error;
    // With hosts listed by policy, a redirect may not lead elsewhere.
    HttpRequest::RedirectCheck redirects;
    if (policy_.Restricts() && policy_.restrictsHosts) {
        redirects = [policy = policy_](const std::wstring& host) { return policy.AllowsHost(host); };
    }
    if (!DownloadBinary(url, path, pace_, &progress_, &error, std::move(redirects))) {
        Log::Error(L"Update controller failed to download binary.");
        attemptFailure_.stage = kStageDownload;
        attemptFailure_.code = error.code;
        attemptFailure_.text = DescribeDownloadFailure(url, error);
        return false;
    }
    // One handle from here to the installer's end: what is checked is what runs.
    checkedFile_ = OpenForChecks(path);
    if (!checkedFile_) {
        Log::Error(L"Update controller failed to validate binary.");
        attemptFailure_.stage = kStageDownload;
        attemptFailure_.code = ERROR_CANT_ACCESS_FILE;
        attemptFailure_.text = L"The downloaded file " + path +
                              L" could not be opened for its checks, or is not a plain file of a "
                              L"trusted owner.";
        return false;
    }
    if (!ValidateBinary(path)) {
        checkedFile_.Reset();
        Log::Error(L"Update controller failed to validate binary.");
        return false;
    }
    // For the outcome's event: the version the installer states, if any.
    ProductVersion version;
    installerVersion_ = ReadProductVersion(checkedFile_.Get(), version) ? version.Text() : L"";
    return true;
}

void UpdateController::Run(const std::vector<std::wstring>& requestUrls,
                           const std::wstring& requestHash, const std::wstring& requestArgs) {
    TraceScope trace;
    std::unique_ptr<DownloadCache> opened;
    CacheRefusal cacheRefusal;
    const DWORD cacheError = DownloadCache::Open(cacheRoot_, opened, &cacheRefusal);
    {
        // Who asked, and what administrators decided, before anything is
        // downloaded (the dispatcher admitted the begin already: this
        // changes nothing then, and guards a controller run on its own).
        UpdateRequest admitted;
        UpdateFailure refusal;
        if (!AdmitBegin({requestUrls, requestHash, requestArgs}, BegunBy(), policy_, admitted,
                        refusal)) {
            MarkFailed(L"Update controller refused the request.", refusal);
            return;
        }
        urls_ = std::move(admitted.urls);
        hash_ = std::move(admitted.hash);
        args_ = std::move(admitted.args);
    }
    if (cacheError != ERROR_SUCCESS) {
        Common::TheEventLog().Report(CacheUnusableEvent(cacheRefusal));
        MarkFailed(L"The download cache folder cannot be used; the update cannot run.",
                   {kStageCache, 0,
                    L"The download cache folder cannot be used; the worker's log names what an "
                    L"administrator must delete or repair."});
        return;
    }
    const DownloadCache& cache = *opened;

    // One time limit for every URL's download together.
    pace_.deadline = DownloadPace::Clock::now() + pace_.updateLimit;
    std::wstring path;
    for (size_t i = 0; i < urls_.size(); ++i) {
        const std::wstring& url = urls_[i];
        Log::Verbose(L"Attempting download using the following url: [%s]", url.c_str());
        path = cache.GetFullPath(DownloadCache::DownloadName(hash_, url));
        Log::Info(L"Filename will be: [%s]", path.c_str());
        if (DownloadPace::Clock::now() >= pace_.deadline) {
            // The limit bounds the whole update, not only its body reads: no
            // further URL is tried once it has passed.
            Log::Error(L"The update has reached its time limit of [%lu] seconds; no further URL "
                       L"is tried",
                       static_cast<unsigned long>(
                           std::chrono::duration_cast<std::chrono::seconds>(pace_.updateLimit)
                               .count()));
            attemptFailure_.stage = kStageDownload;
            attemptFailure_.code = ERROR_TIMEOUT;
            attemptFailure_.text = L"The update's downloads reached their time limit of " +
                                  std::to_wstring(std::chrono::duration_cast<std::chrono::seconds>(
                                                      pace_.updateLimit)
                                                      .count()) +
                                  L" seconds.";
            MarkFailed(L"Update controller failed to download and validate binary.",
                       attemptFailure_);
            return;
        }
        if (!path.empty()) {
            cache.KeepNewestDownloads(path);
        }
        if (!path.empty() && ObtainValidBinary(url, path)) {
            break;
        }
        if (i + 1 < urls_.size()) {
            Log::Error(L"Failed to obtain valid binary from the following url: [%s]", url.c_str());
            continue;
        }
        MarkFailed(L"Update controller failed to download and validate binary.", attemptFailure_);
        return;
    }

    {
        TraceScope installing;
        Log::Info(L"Beginning upgrade");
        StepStatus();  // Downloading -> Installing
        UpdateFailure failure;
        const bool installed = RunInstaller(cache.Folder(), path, args_, installer_, &failure);
        if (!installed) {
            checkedFile_.Reset();
            Log::Error(L"Failed to update client");
            MarkFailed(L"Update controller failed to install binary.", failure);
            return;
        }
        checkedFile_.Reset();
        Log::Info(L"Completed upgrade");
    }
    cache.CleanBinaries();
    MarkCompleted();
}

void UpdateController::RunToCompletion(const UpdateRequest& request, const Caller& caller,
                                       const UpdatePolicy& policy) {
    TraceScope trace;
    {
        std::lock_guard<std::mutex> facts(factsMutex_);
        caller_ = caller;
    }
    policy_ = policy;
    std::string message;
    bool threw = true;
    try {
        Run(request.urls, request.hash, request.args);
        threw = false;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "unknown exception";
    }
    if (threw) {
        checkedFile_.Reset();
        Log::Error(L"The update ended with an exception: [%S]", message.c_str());
        MarkFailed(L"Update controller failed: the update ended with an exception.",
                   {kStageInternal, 0,
                    L"The update ended with an unexpected error: " +
                        std::wstring(message.begin(), message.end()) + L"."});
    }
    // The outcome, for administrators' monitoring.
    Common::EventLogEntry outcome;
    if (OutcomeEvent(Snapshot(), installerVersion_, outcome)) {
        Common::TheEventLog().Report(std::move(outcome));
    }
}
