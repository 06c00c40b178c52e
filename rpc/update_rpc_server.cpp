#include "rpc/update_rpc_server.h"

#include <cwchar>
#include <exception>
#include <optional>
#include <utility>

#include "common/log.h"
#include "common/run_log.h"
#include "common/trace_scope.h"
#include "rpc/caller_identity.h"
#include "rpc/request_messages.h"

UpdateRpcServer::~UpdateRpcServer() {
    if (controllerTask_.valid()) {
        controllerTask_.wait();
    }
}

void UpdateRpcServer::Dispatch(const wchar_t* request, wchar_t** response) {
    const size_t length = request != nullptr ? std::wcslen(request) : 0;
    if (length > kMaxInstructionChars) {
        Log::Error(L"Refusing an instruction of [%lu] characters: at most [%lu] are read",
                   static_cast<unsigned long>(length),
                   static_cast<unsigned long>(kMaxInstructionChars));
        return;  // no response, as for an instruction that cannot be parsed
    }
    const std::wstring instruction = ParseInstruction(request);
    // A poll is not news: its lines reach the console and the trace, not the
    // run's log file, whose room is kept for what happened (the number of
    // answered polls goes into the run summary).
    std::optional<RunLog::Quiet> poll;
    if (IsQueryInstruction(instruction)) {
        poll.emplace();
    }
    Log::Info(L"RPC Invoke: raw request: [%s]", request != nullptr ? request : L"");
    if (IsBeginInstruction(instruction)) {
        Log::Info(L"Handling begin instruction");
        HandleBegin(request, response);
    } else if (IsQueryInstruction(instruction)) {
        Log::Info(L"Handling query progress instruction");
        HandleQueryProgress(request, response);
    } else {
        Log::Info(L"Unexpected instruction [%s] pass to UpdateRpcServer", instruction.c_str());
    }
}

namespace {

// Reads who sends the begin this thread serves, and says so in the log.
Caller IdentifyBeginCaller() {
    Caller caller = IdentifyCaller();
    Log::Info(L"Update begun by [%s] ([%s]), process [%lu] [%s], administrator [%s]",
              caller.known ? caller.account.c_str() : L"an unknown caller", caller.sid.c_str(),
              static_cast<unsigned long>(caller.processId), caller.image.c_str(),
              caller.administrator ? L"yes" : L"no");
    return caller;
}

// Why an update failed is told to the account that began it and to
// administrators; other callers get the stage and the code only.
bool MayReadFailureText(const Caller& asking, const Caller& begunBy) {
    return asking.administrator || (asking.known && begunBy.known && asking.sid == begunBy.sid);
}

}  // namespace

void UpdateRpcServer::HandleBegin(const wchar_t* request, wchar_t** response) {
    TraceScope trace;
    const Caller caller = IdentifyBeginCaller();
    if (UpdateController* controller = CurrentController()) {
        Log::Info(L"Controller already exists");
        ComposeResponse(controller->GetStatus(), response);
        return;
    }
    UpdateRequest parsed;
    if (!ParseUpdateRequest(request, parsed)) {
        ComposeResponse(Failed, response);
        return;
    }

    std::lock_guard<std::mutex> lock(beginMutex_);
    // Another begin may have started the update while this one was parsed.
    if (UpdateController* controller = CurrentController()) {
        Log::Info(L"Controller already exists");
        ComposeResponse(controller->GetStatus(), response);
        return;
    }
    Log::Info(L"No controller - creating new controller thread");
    try {
        auto controller = std::make_unique<UpdateController>(cacheRoot_, timings_.finalPause,
                                                             timings_.pace, timings_.installer);
        controllerTask_ = std::async(std::launch::async, &UpdateRpcServer::RunUpdateWorker,
                                     controller.get(), std::move(parsed), caller,
                                     &answeredQueries_);
        // Published before the answer: a query right after it sees the update.
        ownedController_ = std::move(controller);
        currentController_.store(ownedController_.get(), std::memory_order_release);
    } catch (const std::exception& e) {
        Log::Error(L"Failed to start the update worker: [%S]", e.what());
        ComposeResponse(Failed, response);
        return;
    }
    ComposeResponse(Downloading, response);
}

void UpdateRpcServer::HandleQueryProgress(const wchar_t* request, wchar_t** response) {
    TraceScope trace;
    if (UpdateController* controller = CurrentController()) {
        if (IsDetailedQuery(request)) {
            const UpdateSnapshot snapshot = controller->Snapshot();
            UpdateFailure failure = snapshot.failure;
            if (failure.IsSet() && !MayReadFailureText(IdentifyCaller(), snapshot.begunBy)) {
                failure.text.clear();
            }
            ComposeDetailedResponse(snapshot.status, snapshot.received, snapshot.total, failure,
                                    response);
        } else {
            // One value, nothing to pair it with: read without the lock and
            // the copies a whole snapshot costs every poll.
            ComposeResponse(controller->GetStatus(), response);
        }
        answeredQueries_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Log::Info(
        L"UpdateRpcServer has received a query progress instruction but no controller exists.  Has "
        L"a "
        L"begin update instruction been received?");
}

bool UpdateRpcServer::IsWorkInProgress() {
    Log::Info(L"Querying work in progress...");
    std::lock_guard<std::mutex> lock(beginMutex_);
    if (CurrentController() == nullptr || !controllerTask_.valid()) {
        return false;
    }
    return controllerTask_.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

void UpdateRpcServer::RunUpdateWorker(UpdateController* controller, const UpdateRequest& request,
                                      const Caller& caller, const std::atomic<uint64_t>* queries) {
    controller->RunToCompletion(request, caller);
    Log::Info(L"Progress queries answered while the update ran: [%llu]",
              static_cast<unsigned long long>(queries->load(std::memory_order_relaxed)));
}

namespace {

std::atomic<bool> serverCreated{false};

WorkerTimings& ServerTimings() {
    static WorkerTimings timings;
    return timings;
}

}  // namespace

bool SetUpdateRpcServerTimings(const WorkerTimings& timings) {
    if (serverCreated.load()) {
        return false;
    }
    ServerTimings() = timings;
    return true;
}

namespace {

// The timings the dispatcher is created with; later settings are refused.
WorkerTimings TimingsAtCreation() {
    serverCreated.store(true);
    return ServerTimings();
}

}  // namespace

UpdateRpcServer& TheUpdateRpcServer() {
    static UpdateRpcServer server(TimingsAtCreation());
    return server;
}
