#pragma once

// The UpdateRPC interface, version 1.0, as its stubs expose it. Visual C++
// builds generate the stubs with midl from UpdateRPC.idl; mingw builds use the
// interpreted stubs in update_rpc_server_stub.cpp and update_rpc_client_stub.cpp,
// laid out as midl lays them out for x64 (widl cannot produce this interface's
// asynchronous server stub).

#include <windows.h>
#include <rpc.h>
#include <rpcasync.h>
#include <rpcndr.h>

#if defined(KG_MIDL_STUBS)
#include "UpdateRPC_h.h"
#else
extern "C" {
extern RPC_IF_HANDLE UpdateRPC_v1_0_s_ifspec;
extern RPC_IF_HANDLE UpdateRPC_v1_0_c_ifspec;
}
#endif

// The interface's identity, for clients that bind to it.
inline constexpr wchar_t kUpdateRpcProtocolSequence[] = L"ncalrpc";
inline constexpr wchar_t kUpdateRpcEndpoint[] = L"kgupdate-rpc";

// The server routine of procedure 0 (asynchronous: the call is completed with
// RpcAsyncCompleteCall before it returns). C linkage, as midl declares it.
extern "C" void Invoke(PRPC_ASYNC_STATE asyncHandle, handle_t binding, const wchar_t* request,
                       wchar_t** response);

// The client side of procedure 0: blocks until the server completed the call.
// RPC failures raise RPC exceptions, as with any RPC client stub.
extern "C" void Client_Invoke(handle_t binding, const wchar_t* request, wchar_t** response);
