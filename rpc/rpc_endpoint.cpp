#include "rpc/rpc_endpoint.h"

#include <cwchar>

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
        &::RpcServerRegisterIf2,
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

bool IsLocalProtocolSequence(const wchar_t* protocolSequence) {
    return protocolSequence != nullptr && _wcsicmp(protocolSequence, L"ncalrpc") == 0;
}

RPC_STATUS RPC_ENTRY AdmitLocalCallers(RPC_IF_HANDLE, void* context) {
    RPC_WSTR binding = nullptr;
    RPC_WSTR protocolSequence = nullptr;
    // The server's view of the caller's binding names the transport it came
    // over; a binding the run time cannot convert is read as it is.
    RPC_BINDING_HANDLE server = nullptr;
    if (context != nullptr && ::RpcBindingServerFromClient(context, &server) != RPC_S_OK) {
        server = nullptr;
    }
    RPC_STATUS status = RPC_S_INVALID_BINDING;
    if (server != nullptr) {
        status = ::RpcBindingToStringBindingW(server, &binding);
        (void)::RpcBindingFree(&server);
    } else if (context != nullptr) {
        status = ::RpcBindingToStringBindingW(context, &binding);
    }
    if (status == RPC_S_OK) {
        status = ::RpcStringBindingParseW(binding, nullptr, &protocolSequence, nullptr, nullptr,
                                          nullptr);
    }
    const wchar_t* sequence = reinterpret_cast<const wchar_t*>(protocolSequence);
    const bool local = status == RPC_S_OK && IsLocalProtocolSequence(sequence);
    if (!local) {
        Log::Error(L"Refusing a call over [%s] (status [%lu]): only local callers are served",
                   sequence != nullptr ? sequence : L"", static_cast<unsigned long>(status));
    }
    if (protocolSequence != nullptr) {
        (void)::RpcStringFreeW(&protocolSequence);
    }
    if (binding != nullptr) {
        (void)::RpcStringFreeW(&binding);
    }
    return local ? RPC_S_OK : RPC_S_ACCESS_DENIED;
}

bool StartListening(const RpcRuntime& runtime) {
    TraceScope trace(L"Entering RPC StartListening");
    trace.SetExitText(L"Exiting RPC StartListening");

    RPC_STATUS status =
        runtime.useProtseqEp(Text(kUpdateRpcProtocolSequence), RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                             Text(kUpdateRpcEndpoint), nullptr);
    if (status != RPC_S_OK) {
        Log::Error(L"RpcServerUseProtseqEp returned [%lu]", static_cast<unsigned long>(status));
        if (status == RPC_S_DUPLICATE_ENDPOINT) {
            Log::Error(L"The update endpoint [%s] is taken by another process; callers send "
                       L"nothing to it unless it runs as LocalSystem or as themselves",
                       kUpdateRpcEndpoint);
        }
        return false;
    }
    // Local callers only, refused by the run time and again by the callback;
    // the callback also sees callers that did not authenticate (ncalrpc
    // always knows who they are).
    status = runtime.registerIf(UpdateRPC_v1_0_s_ifspec, nullptr, nullptr,
                                RPC_IF_ALLOW_LOCAL_ONLY | RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH,
                                kMaxConcurrentCalls, kMaxRequestBytes, &AdmitLocalCallers);
    if (status != RPC_S_OK) {
        Log::Error(L"RpcServerRegisterIf UpdateRPC returned [%lu]",
                   static_cast<unsigned long>(status));
        return false;
    }
    status = runtime.inqBindings(&bindingVector);
    if (status != RPC_S_OK) {
        Log::Error(L"RpcServerInqBindings returned [%lu]", static_cast<unsigned long>(status));
        UnregisterInterface(runtime);
        return false;
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
    } else if ((status = runtime.listen(1, kMaxConcurrentCalls, TRUE)) != RPC_S_OK) {
        failure = L"RpcServerListen returned [%lu]";
    }
    if (failure != nullptr) {
        Log::Error(failure, static_cast<unsigned long>(status));
        UnregisterInterface(runtime);
        ReleaseBindings(runtime);
        return false;
    }
    return true;
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
