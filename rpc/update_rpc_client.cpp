#include "rpc/update_rpc_client.h"

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

RPC_STATUS UpdateRpcClient::Bind() {
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
    return status;
}

DWORD UpdateRpcClient::Call(const std::wstring& request, std::wstring& response,
                            bool& hasResponse) {
    CallContext call{binding_.Get(), request.c_str(), nullptr};
    const DWORD code = Common::RunWithExceptionGuard(&CallInvoke, &call);
    hasResponse = code == 0 && call.response != nullptr;
    response = hasResponse ? call.response : L"";
    if (call.response != nullptr) {
        midl_user_free(call.response);
    }
    return code;
}
