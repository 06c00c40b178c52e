#include "rpc/update_rpc_server.h"

#include <cwchar>
#include <exception>
#include <optional>
#include <utility>

#include "common/event_log.h"
#include "common/log.h"
#include "common/run_log.h"
#include "common/trace_scope.h"
#include "rpc/caller_identity.h"
#include "rpc/request_messages.h"
#include "update/request_admission.h"
#include "update/update_events.h"

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

// "[DOMAIN\name] ([SID]), process [id] [image], administrator [yes|no]".
std::wstring DescribeCaller(const Caller& caller) {
    return L"[" + (caller.known ? caller.account : std::wstring(L"an unknown caller")) + L"] ([" +
           caller.sid + L"]), process [" + std::to_wstring(caller.processId) + L"] [" +
           caller.image + L"], administrator [" + (caller.administrator ? L"yes" : L"no") + L"]";
}

// Why an update failed is told to the account that began it and to
// administrators; other callers get the stage and the code only.
bool MayReadFailureText(const Caller& asking, const Caller& begunBy) {
    return asking.administrator || (asking.known && begunBy.known && asking.sid == begunBy.sid);
}

// A begin that comes while the update runs or after it ended starts nothing.
void AnswerWithTheUpdate(const UpdateController& controller, const Caller& caller,
                         wchar_t** response) {
    const UpdateStatus status = controller.GetStatus();
    Log::Info(L"Controller already exists");
    Log::Info(L"Begin from %s answered with the current update's status [%d]",
              DescribeCaller(caller).c_str(), static_cast<int>(status));
    ComposeResponse(status, response);
}

}  // namespace

void UpdateRpcServer::HandleBegin(const wchar_t* request, wchar_t** response) {
    TraceScope trace;
    const Caller caller = IdentifyCaller();
    if (UpdateController* controller = CurrentController()) {
        AnswerWithTheUpdate(*controller, caller, response);
        return;
    }
    UpdateRequest parsed;
    UpdateFailure refusal;
    if (!ParseUpdateRequest(request, parsed, &refusal)) {
        if (refusal.IsSet()) {
            Log::Info(L"Begin from %s refused before any download; no update is started",
                      DescribeCaller(caller).c_str());
            std::lock_guard<std::mutex> lock(beginMutex_);
            if (CurrentController() == nullptr) {
                refusal_ = Refusal{caller, refusal};
            }
        }
        ComposeResponse(Failed, response);
        return;
    }

    std::lock_guard<std::mutex> lock(beginMutex_);
    // Another begin may have started the update while this one was parsed.
    if (UpdateController* controller = CurrentController()) {
        AnswerWithTheUpdate(*controller, caller, response);
        return;
    }
    // Judged before it can become the process's one update: a begin refused
    // here leaves the worker free for the next.
    const UpdatePolicy policy = readPolicy_();
    ReportUnprotectedPolicyKey(policy);
    UpdateRequest admitted;
    if (!AdmitBegin(parsed, caller, policy, admitted, refusal)) {
        Log::Info(L"Begin from %s refused before any download; no update is started",
                  DescribeCaller(caller).c_str());
        refusal_ = Refusal{caller, refusal};
        ComposeResponse(Failed, response);
        return;
    }
    Log::Info(L"Update begun by %s", DescribeCaller(caller).c_str());
    Log::Info(L"No controller - creating new controller thread");
    try {
        auto controller = std::make_unique<UpdateController>(cacheRoot_, timings_.finalPause,
                                                             timings_.pace, timings_.installer);
        controllerTask_ = std::async(std::launch::async, &UpdateRpcServer::RunUpdateWorker,
                                     controller.get(), std::move(admitted), caller, policy,
                                     &answeredQueries_);
        // Published before the answer: a query right after it sees the update.
        ownedController_ = std::move(controller);
        currentController_.store(ownedController_.get(), std::memory_order_release);
        refusal_.reset();
    } catch (const std::exception& e) {
        Log::Error(L"Failed to start the update worker: [%S]", e.what());
        ComposeResponse(Failed, response);
        return;
    }
    ComposeResponse(Downloading, response);
}

void UpdateRpcServer::ReportUnprotectedPolicyKey(const UpdatePolicy& policy) {
    // Read at every begin; one event per run is what an administrator needs.
    if (policyKeyReported_ || !policy.Restricts() || policy.trusted) {
        return;
    }
    policyKeyReported_ = true;
    Common::TheEventLog().Report(PolicyKeyNotProtectedEvent(policy));
}

bool UpdateRpcServer::AnswerWithRefusal(const wchar_t* request, wchar_t** response) {
    std::optional<Refusal> refused;
    {
        std::lock_guard<std::mutex> lock(beginMutex_);
        if (CurrentController() == nullptr) {
            refused = refusal_;
        }
    }
    if (!refused) {
        return false;
    }
    if (IsDetailedQuery(request)) {
        UpdateFailure failure = refused->failure;
        if (!MayReadFailureText(IdentifyCaller(), refused->caller)) {
            failure.text.clear();
        }
        ComposeDetailedResponse(Failed, 0, 0, failure, response);
    } else {
        ComposeResponse(Failed, response);
    }
    return true;
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
    if (AnswerWithRefusal(request, response)) {
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
                                      const Caller& caller, const UpdatePolicy& policy,
                                      const std::atomic<uint64_t>* queries) {
    controller->RunToCompletion(request, caller, policy);
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
