#include "rpc/invoke.h"

#include <exception>

#include "common/log.h"
#include "common/trace_scope.h"
#include "rpc/call_slots.h"
#include "rpc/update_rpc_interface.h"
#include "rpc/update_rpc_server.h"

namespace {

// Admits at most kMaxConcurrentCalls calls into Dispatch at once, whatever
// the run time dispatches; a call that waits longer than kCallWaitMs for its
// turn is refused.
CallSlots& InvokeSlots() {
    static CallSlots slots(kMaxConcurrentCalls);
    return slots;
}

}  // namespace

void Invoke(PRPC_ASYNC_STATE asyncHandle, handle_t, const wchar_t* request, wchar_t** response) {
    TraceScope trace;
    // Every call is completed exactly once, whatever its handling did.
    CallSlots& slots = InvokeSlots();
    const bool admitted = slots.Acquire(kCallWaitMs);
    try {
        if (admitted) {
            TheUpdateRpcServer().Dispatch(request, response);
        } else {
            Log::Error(L"Refusing a call: [%u] calls are being handled already",
                       kMaxConcurrentCalls);
        }
    } catch (const std::exception& e) {
        Log::Error(L"RPC Invoke failed: [%S]", e.what());
    } catch (...) {
        Log::Error(L"RPC Invoke failed with an unknown exception");
    }
    if (admitted) {
        slots.Release();
    }
    const RPC_STATUS status = ::RpcAsyncCompleteCall(asyncHandle, nullptr);
    if (status != RPC_S_OK) {
        Log::Error(L"Call to RpcAsyncCompleteCall failed with: [%lu]",
                   static_cast<unsigned long>(status));
    }
}
