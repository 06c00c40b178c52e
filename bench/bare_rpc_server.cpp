// The platform's own ceiling for the rpc-query benchmark: the UpdateRPC
// interface on the same endpoint with the same stub and registration, whose
// Invoke only completes the call. At its start it reads and keeps its own
// signature and version, as the worker must before it serves anybody, so
// that its memory is the baseline of a worker with nothing more to do.
// Serves until it is ended.

#include <windows.h>

#include "rpc/rpc_endpoint.h"
#include "rpc/update_rpc_interface.h"
#include "update/binary_validation.h"
#include "update/product_version.h"
#include "update/update_controller.h"

void Invoke(PRPC_ASYNC_STATE asyncHandle, handle_t, const wchar_t*, wchar_t**) {
    (void)::RpcAsyncCompleteCall(asyncHandle, nullptr);
}

int main() {
    KeepServiceSignature(OwnExecutablePath());
    KeepServiceVersion(OwnExecutablePath());
    if (!StartListening()) {
        return 1;
    }
    ::Sleep(INFINITE);
    return 0;
}
