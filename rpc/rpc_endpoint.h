#pragma once

#include <windows.h>
#include <rpc.h>

#include "rpc/invoke.h"

// The run-time calls that register and serve the endpoint: a seam
// (common/scoped_override.h). Tests put their own in place to reach failures
// the platform does not produce on demand (an endpoint already in use).
class RpcRuntime {
  public:
    virtual ~RpcRuntime() = default;

    // The platform's own RPC run time.
    [[nodiscard]] static RpcRuntime& Platform();

    virtual RPC_STATUS UseProtseqEp(RPC_WSTR protocolSequence, unsigned int maxCalls,
                                    RPC_WSTR endpoint, void* securityDescriptor);
    virtual RPC_STATUS RegisterIf(RPC_IF_HANDLE interfaceSpec, UUID* managerType,
                                  RPC_MGR_EPV* managerEpv, unsigned int flags,
                                  unsigned int maxCalls, unsigned int maxRpcSize,
                                  RPC_IF_CALLBACK_FN* callback);
    virtual RPC_STATUS InqBindings(RPC_BINDING_VECTOR** vector);
    virtual RPC_STATUS EpRegister(RPC_IF_HANDLE interfaceSpec, RPC_BINDING_VECTOR* vector,
                                  UUID_VECTOR* objects, RPC_WSTR annotation);
    virtual RPC_STATUS RegisterAuthInfo(RPC_WSTR principal, unsigned long authenticationService,
                                        RPC_AUTH_KEY_RETRIEVAL_FN getKey, void* argument);
    virtual RPC_STATUS Listen(unsigned int minThreads, unsigned int maxCalls,
                              unsigned int dontWait);
    virtual RPC_STATUS StopListening(RPC_BINDING_HANDLE binding);
    virtual RPC_STATUS UnregisterIf(RPC_IF_HANDLE interfaceSpec, UUID* managerType,
                                    unsigned int waitForCalls);
    virtual RPC_STATUS EpUnregister(RPC_IF_HANDLE interfaceSpec, RPC_BINDING_VECTOR* vector,
                                    UUID_VECTOR* objects);
    virtual RPC_STATUS BindingVectorFree(RPC_BINDING_VECTOR** vector);
};

// The interface's security callback: admits calls that arrive over the local
// transport (ncalrpc) and refuses every other (logged).
RPC_STATUS RPC_ENTRY AdmitLocalCallers(RPC_IF_HANDLE interfaceHandle, void* context);

// True for the local protocol sequence, "ncalrpc" (any letter case).
[[nodiscard]] bool IsLocalProtocolSequence(const wchar_t* protocolSequence);

// The bindings of the registered endpoint; null while not listening.
extern RPC_BINDING_VECTOR* bindingVector;

// Registers UpdateRPC on ncalrpc:"kgupdate-rpc" for local callers only (and
// with the bounds above) and starts serving it without waiting. False when a
// step failed: the failure is logged and what was registered is undone.
[[nodiscard]] bool StartListening();

// Stops serving and unregisters the interface; failures are logged.
void StopListening();
