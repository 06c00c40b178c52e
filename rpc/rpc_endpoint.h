#pragma once

#include <windows.h>
#include <rpc.h>

#include "rpc/invoke.h"

// The run-time calls that register and serve the endpoint. Tests replace
// them to reach failures the platform does not produce on demand (an
// endpoint already in use).
struct RpcRuntime {
    RPC_STATUS(RPC_ENTRY* useProtseqEp)(RPC_WSTR, unsigned int, RPC_WSTR, void*);
    RPC_STATUS(RPC_ENTRY* registerIf)
    (RPC_IF_HANDLE, UUID*, RPC_MGR_EPV*, unsigned int, unsigned int, unsigned int,
     RPC_IF_CALLBACK_FN*);
    RPC_STATUS(RPC_ENTRY* inqBindings)(RPC_BINDING_VECTOR**);
    RPC_STATUS(RPC_ENTRY* epRegister)(RPC_IF_HANDLE, RPC_BINDING_VECTOR*, UUID_VECTOR*, RPC_WSTR);
    RPC_STATUS(RPC_ENTRY* registerAuthInfo)
    (RPC_WSTR, unsigned long, RPC_AUTH_KEY_RETRIEVAL_FN, void*);
    RPC_STATUS(RPC_ENTRY* listen)(unsigned int, unsigned int, unsigned int);
    RPC_STATUS(RPC_ENTRY* stopListening)(RPC_BINDING_HANDLE);
    RPC_STATUS(RPC_ENTRY* unregisterIf)(RPC_IF_HANDLE, UUID*, unsigned int);
    RPC_STATUS(RPC_ENTRY* epUnregister)(RPC_IF_HANDLE, RPC_BINDING_VECTOR*, UUID_VECTOR*);
    RPC_STATUS(RPC_ENTRY* bindingVectorFree)(RPC_BINDING_VECTOR**);
};

// The interface's security callback: admits calls that arrive over the local
// transport (ncalrpc) and refuses every other (logged).
RPC_STATUS RPC_ENTRY AdmitLocalCallers(RPC_IF_HANDLE interfaceHandle, void* context);

// True for the local protocol sequence, "ncalrpc" (any letter case).
[[nodiscard]] bool IsLocalProtocolSequence(const wchar_t* protocolSequence);

// The platform's own RPC run time.
[[nodiscard]] const RpcRuntime& PlatformRpcRuntime();

// The bindings of the registered endpoint; null while not listening.
extern RPC_BINDING_VECTOR* bindingVector;

// Registers UpdateRPC on ncalrpc:"kgupdate-rpc" for local callers only (and
// with the bounds above) and starts serving it without waiting. False when a
// step failed: the failure is logged and what was registered is undone.
[[nodiscard]] bool StartListening(const RpcRuntime& runtime = PlatformRpcRuntime());

// Stops serving and unregisters the interface; failures are logged.
void StopListening(const RpcRuntime& runtime = PlatformRpcRuntime());
