#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "update/cache_root.h"
#include "update/update_controller.h"
#include "update/update_policy.h"
#include "update/worker_timings.h"

// The longest instruction read, in UTF-16 code units; a longer one is refused
// before it is parsed, as if it could not be parsed.
inline constexpr size_t kMaxInstructionChars = size_t{64} * 1024;

// The dispatcher behind UpdateRPC's Invoke: starts the one update of the
// process on a worker thread at the first accepted "beginAutoUpdate" and
// answers progress with its status. The update is never replaced: later
// begins and every query get the status of that one update.
//
// A begin refused before anything is requested (what it asks for is not
// allowed to its caller or by policy, or cannot be carried out) does not
// become that update: it is answered Failed, queries are answered with its
// refusal until another begin starts the update, and the next begin is
// judged as if none had come.
class UpdateRpcServer {
  public:
    // Reads the administrators' policy, at every begin.
    using PolicyReader = std::function<UpdatePolicy()>;

    // `cacheRoot`: where the update's download cache lies (tests give a
    // folder of their own); `readPolicy`: the machine's policy key unless
    // given.
    explicit UpdateRpcServer(const WorkerTimings& timings = WorkerTimings(),
                             CacheRoot cacheRoot = CacheRoot::ProgramData(),
                             PolicyReader readPolicy = [] { return ReadUpdatePolicy(); })
        : timings_(timings),
          cacheRoot_(std::move(cacheRoot)),
          readPolicy_(std::move(readPolicy)) {}
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
    // The last begin refused before anything was requested, while no update
    // has started: who sent it and why it was refused.
    struct Refusal {
        Caller caller;
        UpdateFailure failure;
    };

    static void RunUpdateWorker(UpdateController* controller, const UpdateRequest& request,
                                const Caller& caller, const UpdatePolicy& policy,
                                const std::atomic<uint64_t>* queries);

    // Reports a policy key whose allowances were ignored to the Event Log,
    // the first time a begin reads one. Called under beginMutex_.
    void ReportUnprotectedPolicyKey(const UpdatePolicy& policy);

    // Answers a query from the refusal kept, when there is one.
    [[nodiscard]] bool AnswerWithRefusal(const wchar_t* request, wchar_t** response);

    WorkerTimings timings_;
    CacheRoot cacheRoot_;
    PolicyReader readPolicy_;
    // Serialises the creation of the controller: exactly one per process.
    std::mutex beginMutex_;
    std::unique_ptr<UpdateController> ownedController_;
    std::atomic<UpdateController*> currentController_{nullptr};
    std::future<void> controllerTask_;
    std::optional<Refusal> refusal_;  // guarded by beginMutex_
    bool policyKeyReported_ = false;  // guarded by beginMutex_
    std::atomic<uint64_t> answeredQueries_{0};
};

// The timings of the process's dispatcher: set once, at the start, before
// anybody is served (the product's own otherwise). False, changing nothing,
// once the dispatcher exists.
bool SetUpdateRpcServerTimings(const WorkerTimings& timings);

// The process's dispatcher, which the RPC routine Invoke serves.
[[nodiscard]] UpdateRpcServer& TheUpdateRpcServer();
