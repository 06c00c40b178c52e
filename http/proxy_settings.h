#pragma once

#include <windows.h>

#include <string>

// How requests reach the network.
struct ProxySettings {
    DWORD accessType = 0;    // WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, _NAMED_PROXY or _AUTOMATIC_PROXY
    std::wstring proxyName;  // only with a named proxy
    std::wstring proxyBypass;  // only with a named proxy
};

// Windows 8.1 and later: automatic proxy discovery. Before: the current
// user's named proxy if there is one, else the default.
[[nodiscard]] ProxySettings GetProxySettings();
