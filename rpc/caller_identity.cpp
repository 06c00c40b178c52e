#include "rpc/caller_identity.h"

#include <windows.h>
#include <rpc.h>
#include <rpcdcep.h>
#include <sddl.h>

#include <vector>

#include "common/log.h"
#include "common/process_account.h"
#include "common/unique_handle.h"

namespace {

// Ends the impersonation of the caller on every path out of its scope.
class Impersonation {
  public:
    Impersonation() : status_(::RpcImpersonateClient(nullptr)) {}
    ~Impersonation() {
        if (status_ == RPC_S_OK) {
            (void)::RpcRevertToSelf();
        }
    }
    Impersonation(const Impersonation&) = delete;
    Impersonation& operator=(const Impersonation&) = delete;

    [[nodiscard]] RPC_STATUS Status() const { return status_; }

  private:
    RPC_STATUS status_;
};

// The caller's token, opened while impersonating and kept after reverting.
Common::KernelHandle OpenCallerToken(RPC_STATUS& status) {
    Common::KernelHandle token;
    const Impersonation impersonation;
    status = impersonation.Status();
    if (status != RPC_S_OK) {
        return token;
    }
    // Opened as this process (OpenAsSelf): nothing is done as the caller.
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive())) {
        status = static_cast<RPC_STATUS>(::GetLastError());
    }
    return token;
}

std::vector<BYTE> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    (void)::GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, kind, buffer.data(), size, &size)) {
        buffer.clear();
    }
    return buffer;
}

std::wstring AccountName(PSID sid, const std::wstring& sidText) {
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (!::LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        return sidText;
    }
    return domainLength > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
}

// A member of Administrators whose token holds the group enabled (elevated):
// a filtered token holds it for denial only and does not count.
bool IsElevatedAdministrator(HANDLE token) {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
        return false;
    }
    BOOL member = FALSE;
    return ::CheckTokenMembership(token, administrators, &member) && member;
}

std::wstring ProcessImage(DWORD processId) {
    Common::KernelHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        return std::wstring();
    }
    wchar_t path[MAX_PATH * 2] = {};
    DWORD length = MAX_PATH * 2;
    return ::QueryFullProcessImageNameW(process.Get(), 0, path, &length)
               ? std::wstring(path, length)
               : std::wstring();
}

}  // namespace

CallerIdentity& CallerIdentity::Platform() {
    static CallerIdentity platform;
    return platform;
}

Caller CallerIdentity::OfCurrentCall() {
    Caller caller;
    unsigned long processId = 0;
    if (::I_RpcBindingInqLocalClientPID(nullptr, &processId) == RPC_S_OK) {
        caller.processId = processId;
        caller.image = ProcessImage(processId);
    }
    RPC_STATUS status = RPC_S_OK;
    const Common::KernelHandle token = OpenCallerToken(status);
    if (!token) {
        Log::Warning(L"The caller's token cannot be read, error [%lu]; it counts as an ordinary "
                     L"user",
                     static_cast<unsigned long>(status));
        return caller;
    }
    const std::vector<BYTE> user = TokenInformation(token.Get(), TokenUser);
    if (user.empty()) {
        return caller;
    }
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    caller.sid = Common::SidText(sid);
    if (caller.sid.empty()) {
        return caller;
    }
    caller.known = true;
    caller.account = AccountName(sid, caller.sid);
    caller.administrator = caller.sid == L"S-1-5-18" || caller.sid == Common::OwnAccountSid() ||
                           IsElevatedAdministrator(token.Get());
    return caller;
}
