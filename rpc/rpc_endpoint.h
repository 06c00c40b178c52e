#pragma once

#include <windows.h>
#include <rpc.h>

// The run-time calls that register and serve the endpoint. Tests replace
// them to reach failures the platform does not produce on demand (an
// endpoint already in use).
struct RpcRuntime {
    RPC_STATUS(RPC_ENTRY* useProtseqEp)(RPC_WSTR, unsigned int, RPC_WSTR, void*);
    RPC_STATUS(RPC_ENTRY* registerIf)(RPC_IF_HANDLE, UUID*, RPC_MGR_EPV*);
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

// The platform's own RPC run time.
[[nodiscard]] const RpcRuntime& PlatformRpcRuntime();

// The bindings of the registered endpoint; null while not listening.
extern RPC_BINDING_VECTOR* bindingVector;

// Registers UpdateRPC on ncalrpc:"kgupdate-rpc" and starts serving it without
// waiting. A failure is logged, what was registered is undone, and the
// process goes on without listening.
void StartListening(const RpcRuntime& runtime = PlatformRpcRuntime());

// Stops serving and unregisters the interface; failures are logged.
void StopListening(const RpcRuntime& runtime = PlatformRpcRuntime());
