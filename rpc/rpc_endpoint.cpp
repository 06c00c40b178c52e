#include "rpc/rpc_endpoint.h"

#include <cwchar>

#include "common/log.h"
#include "common/scoped_override.h"
#include "common/trace_scope.h"
#include "rpc/update_rpc_interface.h"

RPC_BINDING_VECTOR* bindingVector = nullptr;

namespace {

RPC_WSTR Text(const wchar_t* text) {
    return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text));
}

void UnregisterInterface(RpcRuntime& runtime) {
    (void)runtime.UnregisterIf(UpdateRPC_v1_0_s_ifspec, nullptr, FALSE);
}

void ReleaseBindings(RpcRuntime& runtime) {
    (void)runtime.BindingVectorFree(&bindingVector);
    bindingVector = nullptr;
}

}  // namespace

RpcRuntime& RpcRuntime::Platform() {
    static RpcRuntime platform;
    return platform;
}

RPC_STATUS RpcRuntime::UseProtseqEp(RPC_WSTR protocolSequence, unsigned int maxCalls,
                                    RPC_WSTR endpoint, void* securityDescriptor) {
    return ::RpcServerUseProtseqEpW(protocolSequence, maxCalls, endpoint, securityDescriptor);
}

RPC_STATUS RpcRuntime::RegisterIf(RPC_IF_HANDLE interfaceSpec, UUID* managerType,
                                  RPC_MGR_EPV* managerEpv, unsigned int flags,
                                  unsigned int maxCalls, unsigned int maxRpcSize,
                                  RPC_IF_CALLBACK_FN* callback) {
    return ::RpcServerRegisterIf2(interfaceSpec, managerType, managerEpv, flags, maxCalls,
                                  maxRpcSize, callback);
}

RPC_STATUS RpcRuntime::InqBindings(RPC_BINDING_VECTOR** vector) {
    return ::RpcServerInqBindings(vector);
}

RPC_STATUS RpcRuntime::EpRegister(RPC_IF_HANDLE interfaceSpec, RPC_BINDING_VECTOR* vector,
                                  UUID_VECTOR* objects, RPC_WSTR annotation) {
    return ::RpcEpRegisterW(interfaceSpec, vector, objects, annotation);
}

RPC_STATUS RpcRuntime::RegisterAuthInfo(RPC_WSTR principal, unsigned long authenticationService,
                                        RPC_AUTH_KEY_RETRIEVAL_FN getKey, void* argument) {
    return ::RpcServerRegisterAuthInfoW(principal, authenticationService, getKey, argument);
}

RPC_STATUS RpcRuntime::Listen(unsigned int minThreads, unsigned int maxCalls,
                              unsigned int dontWait) {
    return ::RpcServerListen(minThreads, maxCalls, dontWait);
}

RPC_STATUS RpcRuntime::StopListening(RPC_BINDING_HANDLE binding) {
    return ::RpcMgmtStopServerListening(binding);
}

RPC_STATUS RpcRuntime::UnregisterIf(RPC_IF_HANDLE interfaceSpec, UUID* managerType,
                                    unsigned int waitForCalls) {
    return ::RpcServerUnregisterIf(interfaceSpec, managerType, waitForCalls);
}

RPC_STATUS RpcRuntime::EpUnregister(RPC_IF_HANDLE interfaceSpec, RPC_BINDING_VECTOR* vector,
                                    UUID_VECTOR* objects) {
    return ::RpcEpUnregister(interfaceSpec, vector, objects);
}

RPC_STATUS RpcRuntime::BindingVectorFree(RPC_BINDING_VECTOR** vector) {
    return ::RpcBindingVectorFree(vector);
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

bool StartListening() {
    TraceScope trace(L"Entering RPC StartListening");
    trace.SetExitText(L"Exiting RPC StartListening");
    RpcRuntime& runtime = Common::Current<RpcRuntime>();

    RPC_STATUS status =
        runtime.UseProtseqEp(Text(kUpdateRpcProtocolSequence), RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
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
    status = runtime.RegisterIf(UpdateRPC_v1_0_s_ifspec, nullptr, nullptr,
                                RPC_IF_ALLOW_LOCAL_ONLY | RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH,
                                kMaxConcurrentCalls, kMaxRequestBytes, &AdmitLocalCallers);
    if (status != RPC_S_OK) {
        Log::Error(L"RpcServerRegisterIf UpdateRPC returned [%lu]",
                   static_cast<unsigned long>(status));
        return false;
    }
    status = runtime.InqBindings(&bindingVector);
    if (status != RPC_S_OK) {
        Log::Error(L"RpcServerInqBindings returned [%lu]", static_cast<unsigned long>(status));
        UnregisterInterface(runtime);
        return false;
    }

    // From here on a failure also releases the bindings; an endpoint-map
    // entry made stays registered.
    const wchar_t* failure = nullptr;
    status = runtime.EpRegister(UpdateRPC_v1_0_s_ifspec, bindingVector, nullptr, nullptr);
    if (status != RPC_S_OK) {
        failure = L"RpcEpRegister returned [%lu]";
    } else if ((status = runtime.RegisterAuthInfo(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr)) !=
               RPC_S_OK) {
        failure = L"RpcServerRegisterAuthInfo returned [%lu]";
    } else if ((status = runtime.Listen(1, kMaxConcurrentCalls, TRUE)) != RPC_S_OK) {
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

void StopListening() {
    TraceScope trace(L"Entering RPC StopListening");
    trace.SetExitText(L"Exiting RPC StopListening");
    RpcRuntime& runtime = Common::Current<RpcRuntime>();
    (void)runtime.StopListening(nullptr);
    const RPC_STATUS status = runtime.UnregisterIf(UpdateRPC_v1_0_s_ifspec, nullptr, FALSE);
    if (status != RPC_S_OK) {
        Log::Error(L"RpcServerUnregisterIf UpdateRpc returned [%lu]",
                   static_cast<unsigned long>(status));
    }
    if (bindingVector != nullptr) {
        const RPC_STATUS unregistered =
            runtime.EpUnregister(UpdateRPC_v1_0_s_ifspec, bindingVector, nullptr);
        if (unregistered != RPC_S_OK) {
            Log::Error(L"RpcEpUnregister UpdateRpc returned [%lu]",
                       static_cast<unsigned long>(unregistered));
        }
        ReleaseBindings(runtime);
    }
}
