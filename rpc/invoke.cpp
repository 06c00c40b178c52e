#include "rpc/invoke.h"

#include <exception>

#include "common/log.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"
#include "rpc/update_rpc_interface.h"
#include "rpc/update_rpc_server.h"

namespace {

// Admits at most kMaxConcurrentCalls calls into Dispatch at once, whatever
// the run time dispatches; a call that waits longer than kCallWaitMs for its
// turn is refused.
HANDLE CallSlots() {
    static const Common::KernelHandle slots(
        ::CreateSemaphoreW(nullptr, kMaxConcurrentCalls, kMaxConcurrentCalls, nullptr));
    return slots.Get();
}

}  // namespace

void Invoke(PRPC_ASYNC_STATE asyncHandle, handle_t, const wchar_t* request, wchar_t** response) {
    TraceScope trace;
    // Every call is completed exactly once, whatever its handling did.
    const HANDLE slots = CallSlots();
    const bool admitted =
        slots != nullptr && ::WaitForSingleObject(slots, kCallWaitMs) == WAIT_OBJECT_0;
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
        (void)::ReleaseSemaphore(slots, 1, nullptr);
    }
    const RPC_STATUS status = ::RpcAsyncCompleteCall(asyncHandle, nullptr);
    if (status != RPC_S_OK) {
        Log::Error(L"Call to RpcAsyncCompleteCall failed with: [%lu]",
                   static_cast<unsigned long>(status));
    }
}
