#include "http/url_components.h"

#include <winhttp.h>

#include "common/log.h"
#include "common/trace_scope.h"

bool UrlComponents::Crack() {
    TraceScope trace;
    Log::Info(L"Attempting to crack url: [%s]", url.c_str());

    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        Log::Error(L"Failed to crack url.  Error code: [%lu]", ::GetLastError());
        return false;
    }

    scheme = parts.nScheme == INTERNET_SCHEME_HTTPS ? L"https" : L"http";
    const size_t hostStart =
        parts.lpszHostName != nullptr ? parts.lpszHostName - url.c_str() : url.size();
    host = url.substr(hostStart);
    path =
        parts.lpszUrlPath != nullptr ? url.substr(parts.lpszUrlPath - url.c_str()) : std::wstring();
    host.resize(host.size() >= path.size() ? host.size() - path.size() : 0);

    // The host text holds ":port" when the URL names a port; that port is
    // used with the bare host name. Without one the request goes to 443.
    hostName = host.substr(0, parts.dwHostNameLength);
    port = host.size() > hostName.size() && host[hostName.size()] == L':' ? parts.nPort : 0;

    Log::Info(L"Cracked url into components.  Scheme: [%s], Host: [%s], Path: [%s]", scheme.c_str(),
              host.c_str(), path.c_str());
    return true;
}
