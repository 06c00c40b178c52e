#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <utility>

#include "update/cache_root.h"
#include "update/update_controller.h"
#include "update/worker_timings.h"

// The longest instruction read, in UTF-16 code units; a longer one is refused
// before it is parsed, as if it could not be parsed.
inline constexpr size_t kMaxInstructionChars = size_t{64} * 1024;

// The dispatcher behind UpdateRPC's Invoke: starts the one update of the
// process on a worker thread at the first accepted "beginAutoUpdate" and
// answers progress with its status. The update is never replaced: later
// begins and every query get the status of that one update.
class UpdateRpcServer {
  public:
    // `cacheRoot`: where the update's download cache lies (tests give a
    // folder of their own).
    explicit UpdateRpcServer(const WorkerTimings& timings = WorkerTimings(),
                             CacheRoot cacheRoot = CacheRoot::ProgramData())
        : timings_(timings), cacheRoot_(std::move(cacheRoot)) {}
    ~UpdateRpcServer();

    UpdateRpcServer(const UpdateRpcServer&) = delete;
    UpdateRpcServer& operator=(const UpdateRpcServer&) = delete;

    // Answers one request: sets `response` (left null when there is nothing
    // to answer). The RPC routine completes the call afterwards.
    void Dispatch(const wchar_t* request, wchar_t** response);

    void HandleBegin(const wchar_t* request, wchar_t** response);
    void HandleQueryProgress(const wchar_t* request, wchar_t** response);

    // True while the update worker of this process runs.
    [[nodiscard]] bool IsWorkInProgress();

    // How many progress queries were answered (from the first begin on).
    [[nodiscard]] uint64_t AnsweredQueries() const {
        return answeredQueries_.load(std::memory_order_relaxed);
    }

    // The controller of this process's update, or null before the first
    // accepted begin.
    [[nodiscard]] UpdateController* CurrentController() const {
        return currentController_.load(std::memory_order_acquire);
    }

  private:
    static void RunUpdateWorker(UpdateController* controller, const UpdateRequest& request,
                                const Caller& caller, const std::atomic<uint64_t>* queries);

    WorkerTimings timings_;
    CacheRoot cacheRoot_;
    // Serialises the creation of the controller: exactly one per process.
    std::mutex beginMutex_;
    std::unique_ptr<UpdateController> ownedController_;
    std::atomic<UpdateController*> currentController_{nullptr};
    std::future<void> controllerTask_;
    std::atomic<uint64_t> answeredQueries_{0};
};

// The timings of the process's dispatcher: set once, at the start, before
// anybody is served (the product's own otherwise). False, changing nothing,
// once the dispatcher exists.
bool SetUpdateRpcServerTimings(const WorkerTimings& timings);

// The process's dispatcher, which the RPC routine Invoke serves.
[[nodiscard]] UpdateRpcServer& TheUpdateRpcServer();
