#pragma once

#include <windows.h>
#include <rpc.h>

#include <string>
#include <vector>

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

// The SID of LocalSystem, the account the worker runs as.
inline constexpr wchar_t kLocalSystemSid[] = L"S-1-5-18";

// How a client binding requires the server's account: sets the binding's
// security so that the run time makes no call unless the server process runs
// as `accountSid` (string form). RPC status, 0 when set.
using RequireServerAccountFunction = RPC_STATUS (*)(RPC_BINDING_HANDLE binding,
                                                    const std::wstring& accountSid);

// Mutual authentication over ncalrpc with the server's SID (security
// quality of service, version 3): the run time refuses the call when the
// endpoint is served by a process of another account.
[[nodiscard]] RPC_STATUS RequireServerAccount(RPC_BINDING_HANDLE binding,
                                              const std::wstring& accountSid);

// A client of the local UpdateRPC endpoint (ncalrpc:"kgupdate-rpc").
//
// Any local user can register that endpoint while no worker runs, so the
// client sends nothing to a server that does not run as LocalSystem (the
// worker) or as the caller's own account (a server of one's own account gains
// the caller nothing): each call is bound for LocalSystem first and, when the
// run time refuses that server's identity, for the caller's account.
class UpdateRpcClient {
  public:
    explicit UpdateRpcClient(RequireServerAccountFunction require = &RequireServerAccount);

    // Makes the binding; no call is made yet. RPC status, 0 on success.
    [[nodiscard]] RPC_STATUS Bind();

    // Sends one request text. Returns 0 when the call completed (response is
    // then the text, hasResponse false for a null response), else the RPC
    // failure's code (for example 1722: the endpoint is not served; 5 or
    // 1825: the server runs as neither accepted account).
    [[nodiscard]] DWORD Call(const std::wstring& request, std::wstring& response,
                             bool& hasResponse);

    // The accounts a server is accepted as, in the order tried.
    [[nodiscard]] const std::vector<std::wstring>& AcceptedAccounts() const { return accounts_; }

  private:
    // Binds anew for the account at `index` of accounts_.
    [[nodiscard]] RPC_STATUS BindFor(size_t index);

    // Binds for the first account from `first` on whose requirement is set.
    [[nodiscard]] RPC_STATUS BindFrom(size_t first);

    RequireServerAccountFunction require_;
    std::vector<std::wstring> accounts_;
    size_t current_ = 0;
    RPC_STATUS bindStatus_ = RPC_S_INVALID_BINDING;
    RpcBinding binding_;
};
