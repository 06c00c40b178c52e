#include "rpc/rpc_endpoint.h"

#include "common/log.h"
#include "common/trace_scope.h"
#include "rpc/update_rpc_interface.h"

RPC_BINDING_VECTOR* bindingVector = nullptr;

namespace {

RPC_WSTR Text(const wchar_t* text) {
    return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text));
}

void UnregisterInterface(const RpcRuntime& runtime) {
    (void)runtime.unregisterIf(UpdateRPC_v1_0_s_ifspec, nullptr, FALSE);
}

void ReleaseBindings(const RpcRuntime& runtime) {
    (void)runtime.bindingVectorFree(&bindingVector);
    bindingVector = nullptr;
}

}  // namespace

const RpcRuntime& PlatformRpcRuntime() {
    static const RpcRuntime runtime = {
        &::RpcServerUseProtseqEpW,
        &::RpcServerRegisterIf,
        &::RpcServerInqBindings,
        &::RpcEpRegisterW,
        &::RpcServerRegisterAuthInfoW,
        &::RpcServerListen,
        &::RpcMgmtStopServerListening,
        &::RpcServerUnregisterIf,
        &::RpcEpUnregister,
        &::RpcBindingVectorFree,
    };
    return runtime;
}

void StartListening(const RpcRuntime& runtime) {
    TraceScope trace(L"Entering RPC StartListening");
    trace.SetExitText(L"Exiting RPC StartListening");

    RPC_STATUS status =
        runtime.useProtseqEp(Text(kUpdateRpcProtocolSequence), RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                             Text(kUpdateRpcEndpoint), nullptr);
    if (status != RPC_S_OK) {
        Log::Error(L"RpcServerUseProtseqEp returned [%lu]", static_cast<unsigned long>(status));
        return;
    }
    status = runtime.registerIf(UpdateRPC_v1_0_s_ifspec, nullptr, nullptr);
    if (status != RPC_S_OK) {
        Log::Error(L"RpcServerRegisterIf UpdateRPC returned [%lu]",
                   static_cast<unsigned long>(status));
        return;
    }
    status = runtime.inqBindings(&bindingVector);
    if (status != RPC_S_OK) {
        Log::Error(L"RpcServerInqBindings returned [%lu]", static_cast<unsigned long>(status));
        UnregisterInterface(runtime);
        return;
    }

    // From here on a failure also releases the bindings; an endpoint-map
    // entry made stays registered.
    const wchar_t* failure = nullptr;
    status = runtime.epRegister(UpdateRPC_v1_0_s_ifspec, bindingVector, nullptr, nullptr);
    if (status != RPC_S_OK) {
        failure = L"RpcEpRegister returned [%lu]";
    } else if ((status = runtime.registerAuthInfo(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr)) !=
               RPC_S_OK) {
        failure = L"RpcServerRegisterAuthInfo returned [%lu]";
    } else if ((status = runtime.listen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, TRUE)) != RPC_S_OK) {
        failure = L"RpcServerListen returned [%lu]";
    }
    if (failure != nullptr) {
        Log::Error(failure, static_cast<unsigned long>(status));
        UnregisterInterface(runtime);
        ReleaseBindings(runtime);
    }
}

void StopListening(const RpcRuntime& runtime) {
    TraceScope trace(L"Entering RPC StopListening");
    trace.SetExitText(L"Exiting RPC StopListening");
    (void)runtime.stopListening(nullptr);
    const RPC_STATUS status = runtime.unregisterIf(UpdateRPC_v1_0_s_ifspec, nullptr, FALSE);
    if (status != RPC_S_OK) {
        Log::Error(L"RpcServerUnregisterIf UpdateRpc returned [%lu]",
                   static_cast<unsigned long>(status));
    }
    if (bindingVector != nullptr) {
        const RPC_STATUS unregistered =
            runtime.epUnregister(UpdateRPC_v1_0_s_ifspec, bindingVector, nullptr);
        if (unregistered != RPC_S_OK) {
            Log::Error(L"RpcEpUnregister UpdateRpc returned [%lu]",
                       static_cast<unsigned long>(unregistered));
        }
        ReleaseBindings(runtime);
    }
}
