#include "common/process_account.h"

#include <sddl.h>

#include "common/unique_handle.h"

namespace Common {

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) {
        return std::wstring();
    }
    const LocalMemory owned(text);
    return std::wstring(text);
}

std::wstring ProcessAccountSid(HANDLE process) {
    KernelHandle token;
    if (!::OpenProcessToken(process, TOKEN_QUERY, token.Receive())) {
        return std::wstring();
    }
    DWORD size = 0;
    (void)::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    LocalMemory buffer(::LocalAlloc(LPTR, size));
    if (!buffer || !::GetTokenInformation(token.Get(), TokenUser, buffer.Get(), size, &size)) {
        return std::wstring();
    }
    return SidText(static_cast<TOKEN_USER*>(buffer.Get())->User.Sid);
}

const std::wstring& OwnAccountSid() {
    static const std::wstring own = ProcessAccountSid(::GetCurrentProcess());
    return own;
}

}  // namespace Common
