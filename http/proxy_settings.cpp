#include "http/proxy_settings.h"

#include <winhttp.h>

#include "common/log.h"
#include "common/unique_handle.h"
#include "common/trace_scope.h"

namespace {

// Windows 8.1 (6.3) or later, comparing major, minor and service-pack major
// as one version number. Needs the application manifest to see beyond 6.2.
bool IsWindows81OrLater() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 3;
    version.wServicePackMajor = 0;
    ULONGLONG condition = 0;
    condition = ::VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = ::VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = ::VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return ::VerifyVersionInfoW(&version,
                                VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                                condition) != FALSE;
}

// The texts WinHTTP allocates in the user's proxy configuration.
struct GlobalTextTraits {
    using Handle = LPWSTR;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::GlobalFree(h); }
};
using GlobalText = Common::UniqueHandle<GlobalTextTraits>;

}  // namespace

ProxySettings GetProxySettings() {
    TraceScope trace;
    ProxySettings settings;
    if (IsWindows81OrLater()) {
        settings.accessType = WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
        Log::Info(L"Using Automatic proxy detection");
        return settings;
    }

    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    const BOOL read = ::WinHttpGetIEProxyConfigForCurrentUser(&config);
    const DWORD error = ::GetLastError();
    const GlobalText autoConfigUrl(config.lpszAutoConfigUrl);
    const GlobalText proxy(config.lpszProxy);
    const GlobalText bypass(config.lpszProxyBypass);
    if (read && proxy.IsValid() && proxy.Get()[0] != L'\0') {
        settings.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        settings.proxyName = proxy.Get();
        settings.proxyBypass = bypass.IsValid() ? bypass.Get() : L"";
        Log::Info(L"Using named proxy: [%s], proxybypass: [%s]", settings.proxyName.c_str(),
                  settings.proxyBypass.c_str());
        return settings;
    }
    settings.accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    Log::Error(
        L"Call to WinHttpGetIEProxyConfigForCurrentUser failed with: [%lu].  Will use default "
        L"proxy.",
        error);
    return settings;
}
