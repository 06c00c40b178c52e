#include "rpc/update_rpc_client.h"

#include <sddl.h>

#include "common/process_account.h"
#include "common/seh_compat.h"
#include "rpc/json.h"
#include "rpc/update_rpc_interface.h"

namespace {

struct CallContext {
    RPC_BINDING_HANDLE binding;
    const wchar_t* request;
    wchar_t* response;
};

void CallInvoke(void* context) {
    auto* call = static_cast<CallContext*>(context);
    Client_Invoke(call->binding, call->request, &call->response);
}

}  // namespace

int ResponseStatus(const std::wstring& response) {
    JsonDocument document;
    document.Parse(response.c_str());
    if (!document.IsObject() || !document.HasMember(L"data") || !document[L"data"].IsObject()) {
        return -1;
    }
    const JsonValue& data = document[L"data"];
    return data.HasMember(L"status") && data[L"status"].IsInt() ? data[L"status"].GetInt() : -1;
}

RPC_STATUS RequireServerAccount(RPC_BINDING_HANDLE binding, const std::wstring& accountSid) {
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(accountSid.c_str(), &sid)) {
        return ::GetLastError();
    }
    const Common::LocalMemory owned(sid);
    RPC_SECURITY_QOS_V3_W qos = {};
    qos.Version = 3;
    qos.Capabilities = RPC_C_QOS_CAPABILITIES_MUTUAL_AUTH;
    qos.IdentityTracking = RPC_C_QOS_IDENTITY_STATIC;
    qos.ImpersonationType = RPC_C_IMP_LEVEL_IDENTIFY;
    qos.Sid = sid;  // copied by the run time
    return ::RpcBindingSetAuthInfoExW(binding, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                      RPC_C_AUTHN_WINNT, nullptr, RPC_C_AUTHZ_NONE,
                                      reinterpret_cast<RPC_SECURITY_QOS*>(&qos));
}

UpdateRpcClient::UpdateRpcClient(RequireServerAccountFunction require) : require_(require) {
    accounts_.push_back(kLocalSystemSid);
    const std::wstring& own = Common::OwnAccountSid();
    if (!own.empty() && own != kLocalSystemSid) {
        accounts_.push_back(own);
    }
}

namespace {

// The run time's answers when the server's identity is not the one required.
bool IsIdentityRefusal(DWORD code) {
    return code == RPC_S_ACCESS_DENIED || code == RPC_S_SEC_PKG_ERROR ||
           code == static_cast<DWORD>(SEC_E_WRONG_PRINCIPAL) ||
           code == static_cast<DWORD>(SEC_E_LOGON_DENIED);
}

}  // namespace

RPC_STATUS UpdateRpcClient::Bind() {
    return BindFrom(0);
}

RPC_STATUS UpdateRpcClient::BindFrom(size_t first) {
    RPC_STATUS status = RPC_S_INVALID_BINDING;
    for (size_t index = first; index < accounts_.size(); ++index) {
        status = BindFor(index);
        if (status == RPC_S_OK || !IsIdentityRefusal(status)) {
            break;
        }
    }
    bindStatus_ = status;
    return status;
}

RPC_STATUS UpdateRpcClient::BindFor(size_t index) {
    binding_.Reset();
    current_ = index;
    RPC_WSTR text = nullptr;
    RPC_STATUS status = ::RpcStringBindingComposeW(
        nullptr, reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(kUpdateRpcProtocolSequence)),
        nullptr, reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(kUpdateRpcEndpoint)), nullptr,
        &text);
    if (status != RPC_S_OK) {
        return status;
    }
    status = ::RpcBindingFromStringBindingW(text, binding_.Receive());
    ::RpcStringFreeW(&text);
    if (status != RPC_S_OK) {
        return status;
    }
    status = require_(binding_.Get(), accounts_[index]);
    if (status != RPC_S_OK) {
        binding_.Reset();  // never a call without the requirement
    }
    return status;
}

DWORD UpdateRpcClient::Call(const std::wstring& request, std::wstring& response,
                            bool& hasResponse) {
    hasResponse = false;
    response.clear();
    for (;;) {
        if (!binding_) {
            return bindStatus_;
        }
        CallContext call{binding_.Get(), request.c_str(), nullptr};
        const DWORD code = Common::RunWithExceptionGuard(&CallInvoke, &call);
        hasResponse = code == 0 && call.response != nullptr;
        response = hasResponse ? call.response : L"";
        if (call.response != nullptr) {
            midl_user_free(call.response);
        }
        // A server of another account than this binding requires: the next
        // accepted account, if any; else the refusal is the answer.
        if (!IsIdentityRefusal(code) || current_ + 1 >= accounts_.size()) {
            return code;
        }
        const RPC_STATUS rebound = BindFrom(current_ + 1);
        if (rebound != RPC_S_OK) {
            return IsIdentityRefusal(rebound) ? code : rebound;
        }
    }
}
