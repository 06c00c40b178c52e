#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/unique_handle.h"
#include "http/downloader.h"
#include "update/cache_root.h"
#include "update/caller.h"
#include "update/installer_launch.h"
#include "update/update_failure.h"
#include "update/update_policy.h"
#include "update/update_request.h"

// Runs the one update of the process: tries the URLs in order until one gives
// an installer that downloads completely and passes validation, runs it, and
// cleans the download cache after a successful installation. Its status
// moves 0 -> 1 -> 2, or to 3, and is read by other threads at any time.
// The full path of this process's executable; empty when it cannot be read.
[[nodiscard]] std::wstring OwnExecutablePath();

// What callers are told about an update, read together under one lock: an
// answer never pairs a status with a failure of another moment.
struct UpdateSnapshot {
    UpdateStatus status = Downloading;
    // The current download's bytes on disk and announced length; both keep
    // their last values during and after the installation.
    uint64_t received = 0;
    uint64_t total = 0;
    // Why the update failed; set only when `status` is Failed.
    UpdateFailure failure;
    // The URL last tried (empty before the first).
    std::wstring url;
    // From the run's start to its final status (or to now while it runs).
    uint64_t seconds = 0;
    // Who began the update (an unknown caller until RunToCompletion).
    Caller begunBy;
};

class UpdateController {
  public:
    using Pause = std::chrono::milliseconds;

    // `cacheRoot`: where the download cache lies (the service's is below
    // ProgramData; tests give a folder of their own); `finalPause`: how long
    // a run waits after its final status (5 seconds); `pace`: how slow a
    // download may be, and how long one update's downloads may take together
    // (its deadline is set when the run starts); `installer`: how long the
    // installer may run and how it is retried. Tests shorten them.
    explicit UpdateController(CacheRoot cacheRoot, Pause finalPause = Pause(5000),
                              DownloadPace pace = DownloadPace(),
                              InstallerPolicy installer = InstallerPolicy())
        : cacheRoot_(std::move(cacheRoot)),
          finalPause_(finalPause),
          pace_(pace),
          installer_(installer) {}
    virtual ~UpdateController() = default;

    UpdateController(const UpdateController&) = delete;
    UpdateController& operator=(const UpdateController&) = delete;

    // The whole update, including the installer's run and the final pause.
    // The file digest's errors (FileStore::OpenErr, ReadErr) pass through.
    void Run(const std::vector<std::wstring>& urls, const std::wstring& hash,
             const std::wstring& args);

    // Run for `caller` (who sent the begin) under the administrators'
    // `policy` read at that begin (none: without a key), and an exception
    // that escapes it ends the update as Failed (logged, status 3, the final
    // pause) instead of leaving the status where it was.
    void RunToCompletion(const UpdateRequest& request, const Caller& caller,
                         const UpdatePolicy& policy = UpdatePolicy());

    // Everything callers are told, at one moment.
    [[nodiscard]] UpdateSnapshot Snapshot() const;

    // The status alone, for a caller that needs nothing else.
    [[nodiscard]] UpdateStatus GetStatus() const {
        return static_cast<UpdateStatus>(status_.load(std::memory_order_relaxed));
    }

    // Why the update failed; not set (IsSet false) unless the status is
    // Failed (Snapshot().failure).
    [[nodiscard]] UpdateFailure GetFailure() const { return Snapshot().failure; }

    // Who began the update (an unknown caller until RunToCompletion).
    [[nodiscard]] Caller BegunBy() const;

    // True when the cache file now holds a downloaded, validated installer,
    // held open for the checks and the installer's run (nobody can write, rename or delete it until
    // that handle is closed, after the installer has ended).
    [[nodiscard]] bool ObtainValidBinary(const std::wstring& url, const std::wstring& path);

    // Binary validation with this run's policy hash and the service's own
    // path, of the file held open by ObtainValidBinary; a failure's reason
    // is kept as the attempt's.
    [[nodiscard]] virtual bool ValidateBinary(const std::wstring& path);

    // Raises the status from 1 to 2, then pauses.
    void MarkCompleted();

  private:
    // Stores why and then 3, pauses and logs why the run failed.
    void MarkFailed(const wchar_t* reason, const UpdateFailure& failure);
    // Installing -> Completed, or Downloading -> Installing: one step, as an
    // increment, so that a concurrent Failed is never overwritten.
    void StepStatus();
    void PauseAfterFinalStatus() const;
    void SetAttemptedUrl(const std::wstring& url);
    void MarkEnded();

    std::vector<std::wstring> urls_;
    std::wstring hash_;
    // Why the current URL failed to give a valid installer.
    UpdateFailure attemptFailure_;
    std::wstring args_;
    // Read by the dispatcher at the begin.
    UpdatePolicy policy_;

    // The validated installer, open for reading and sharing read only, from
    // its checks to the end of its run.
    Common::KernelHandle checkedFile_;

    // The validated installer's product version ("1.2.0.0"); empty when it
    // carries none. Written and read by the update's own thread.
    std::wstring installerVersion_;

    // Written by the download's thread, read by Snapshot.
    DownloadProgress progress_;

    // Changed only under factsMutex_ (read alone by GetStatus).
    std::atomic<int32_t> status_{Downloading};

    mutable std::mutex factsMutex_;  // guards the status's changes and the five below
    Caller caller_;
    UpdateFailure failure_;
    std::wstring attemptedUrl_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point ended_{};

    CacheRoot cacheRoot_;
    Pause finalPause_;
    DownloadPace pace_;
    InstallerPolicy installer_;
};

// Downloads one URL into one cache file with a fresh Downloader.
// `error` (when given) receives why it failed. With `redirects`, each
// redirect's target host is checked by it before anything is sent there.
[[nodiscard]] bool DownloadBinary(const std::wstring& url, const std::wstring& path,
                                  DownloadPace pace = DownloadPace(),
                                  DownloadProgress* progress = nullptr,
                                  DownloadError* error = nullptr,
                                  HttpRequest::RedirectCheck redirects = nullptr);
