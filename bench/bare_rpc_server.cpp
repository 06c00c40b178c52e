// The platform's own ceiling for the rpc-query benchmark: the UpdateRPC
// interface on the same endpoint with the same stub and registration, whose
// Invoke only completes the call. Serves until it is ended.

#include <windows.h>

#include "rpc/rpc_endpoint.h"
#include "rpc/update_rpc_interface.h"

void Invoke(PRPC_ASYNC_STATE asyncHandle, handle_t, const wchar_t*, wchar_t**) {
    (void)::RpcAsyncCompleteCall(asyncHandle, nullptr);
}

int main() {
    if (!StartListening()) {
        return 1;
    }
    ::Sleep(INFINITE);
    return 0;
}
