#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

// The parts of a download URL that a request needs.
struct UrlComponents {
    explicit UrlComponents(std::wstring u) : url(std::move(u)) {}

    // Fills the parts from `url`; false (logged) when WinHTTP cannot crack it.
    [[nodiscard]] bool Crack();

    std::wstring url;
    std::wstring scheme;    // "https" or "http"; shown in the log only
    std::wstring host;      // from the host name up to the path: "host" or "host:8443"
    std::wstring path;      // from the path to the end, query included; may be empty
    std::wstring hostName;  // the host name alone
    // The port the URL names, or 0 (INTERNET_DEFAULT_PORT: 443 over TLS)
    // when it names none. Every request is made over TLS.
    INTERNET_PORT port = 0;
};
