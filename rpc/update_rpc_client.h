#pragma once

#include <windows.h>
#include <rpc.h>

#include <string>

#include "common/unique_handle.h"

struct RpcBindingTraits {
    using Handle = RPC_BINDING_HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::RpcBindingFree(&h); }
};
using RpcBinding = Common::UniqueHandle<RpcBindingTraits>;

// The status of a response text {"data":{"status":N}}, or -1 when the text
// has none.
[[nodiscard]] int ResponseStatus(const std::wstring& response);

// A client of the local UpdateRPC endpoint (ncalrpc:"kgupdate-rpc").
class UpdateRpcClient {
  public:
    // Makes the binding; no call is made yet. RPC status, 0 on success.
    [[nodiscard]] RPC_STATUS Bind();

    // Sends one request text. Returns 0 when the call completed (response is
    // then the text, hasResponse false for a null response), else the RPC
    // failure's code (for example 1722: the endpoint is not served).
    [[nodiscard]] DWORD Call(const std::wstring& request, std::wstring& response,
                             bool& hasResponse);

  private:
    RpcBinding binding_;
};
