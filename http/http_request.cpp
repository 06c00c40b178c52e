#include "http/http_request.h"

#include <climits>
#include <cwchar>

#include <cstdint>
#include <vector>

#include "common/log.h"
#include "common/trace_scope.h"
#include "common/wide_format.h"
#include "http/proxy_settings.h"
#include "http/redirect_target.h"
#include "http/url_components.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Auto-Update-Service";
constexpr size_t kRangeHeaderChars = 255;

const wchar_t* NullIfEmpty(const std::wstring& text) {
    return text.empty() ? nullptr : text.c_str();
}

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

}  // namespace

void HttpRequest::RequestModernTls() {
    // TLS 1.2 and 1.3, so that Windows 7 to 8.1 (TLS 1.0 by default) need no
    // registry change; a system that does not know TLS 1.3 gets TLS 1.2 alone.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (::WinHttpSetOption(session_.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                           sizeof(protocols))) {
        return;
    }
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    if (!::WinHttpSetOption(session_.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                            sizeof(protocols))) {
        Log::Warning(L"Call to WinHttpSetOption (secure protocols) failed with: [%lu]",
                     ::GetLastError());
    }
}

bool HttpRequest::Send(const std::wstring& url, uint32_t rangeStart, int32_t expectedLength) {
    TraceScope trace;
    refusedRedirect_.clear();
    if (!redirectCheck_) {
        return SendOnce(url, rangeStart, expectedLength);
    }
    // Followed here, one at a time, so that each target is checked before
    // anything is sent to it.
    std::wstring current = url;
    for (int redirects = 0;; ++redirects) {
        if (!SendOnce(current, rangeStart, expectedLength)) {
            return false;
        }
        const std::wstring target = RedirectTarget(current);
        if (target.empty()) {
            return true;
        }
        if (!MayFollow(target, redirects)) {
            return false;
        }
        Log::Info(L"Following a redirect to: [%s]", target.c_str());
        CloseHandles();
        current = target;
    }
}

std::wstring HttpRequest::RedirectTarget(const std::wstring& url) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(request_.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        return std::wstring();
    }
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) {
        return std::wstring();
    }
    std::wstring location;
    if (!QueryRequestHeader(WINHTTP_QUERY_LOCATION, location) || location.empty()) {
        return std::wstring();  // a redirect without a target: its status stands
    }
    return ResolveRedirect(url, location);
}

bool HttpRequest::MayFollow(const std::wstring& target, int followed) {
    UrlComponents components(target);
    if (followed >= kMaxRedirects) {
        refusedRedirect_ = L"the server redirected more than " + std::to_wstring(kMaxRedirects) +
                           L" times";
    } else if (!components.Crack()) {
        refusedRedirect_ = L"the server redirected to a URL that cannot be read";
    } else if (_wcsicmp(components.scheme.c_str(), L"https") != 0) {
        refusedRedirect_ = L"the server redirected from HTTPS to " + components.scheme +
                           L", which is never followed";
    } else if (!redirectCheck_(components.hostName)) {
        refusedRedirect_ = L"the server redirected to the host " + components.hostName +
                           L", which is not among the allowed hosts (AllowedHosts)";
    }
    if (refusedRedirect_.empty()) {
        return true;
    }
    Log::Error(L"Redirect refused: %s", refusedRedirect_.c_str());
    ::SetLastError(ERROR_WINHTTP_REDIRECT_FAILED);
    return false;
}

bool HttpRequest::SendOnce(const std::wstring& url, uint32_t rangeStart, int32_t expectedLength) {
    UrlComponents components(url);
    if (!components.Crack()) {
        Log::Error(L"Unable to crack url");
        return false;
    }
    const ProxySettings proxy = GetProxySettings();

    session_.Reset(::WinHttpOpen(kUserAgent, proxy.accessType, NullIfEmpty(proxy.proxyName),
                                 NullIfEmpty(proxy.proxyBypass), 0));
    if (!session_.IsValid()) {
        Log::Error(L"Call to WinHttpOpen failed with: [%lu]", ::GetLastError());
        return false;
    }
    RequestModernTls();
    connection_.Reset(
        ::WinHttpConnect(session_.Get(), components.hostName.c_str(), components.port, 0));
    if (!connection_.IsValid()) {
        Log::Error(L"Call to WinHttpConnect failed with: [%lu]", ::GetLastError());
        return false;
    }
    const wchar_t* acceptTypes[] = {L"application/octet-stream", nullptr};
    request_.Reset(::WinHttpOpenRequest(connection_.Get(), L"GET", components.path.c_str(), nullptr,
                                        WINHTTP_NO_REFERER, acceptTypes, WINHTTP_FLAG_SECURE));
    if (!request_.IsValid()) {
        Log::Error(L"Call to WinHttpOpenRequest failed with: [%lu]", ::GetLastError());
        return false;
    }
    if (!ApplyDeadline()) {
        return false;
    }
    if (redirectCheck_) {
        DWORD disabled = WINHTTP_DISABLE_REDIRECTS;
        if (!::WinHttpSetOption(request_.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabled,
                                sizeof(disabled))) {
            // Not followed by itself, or not sent at all.
            Log::Error(L"Call to WinHttpSetOption (no redirects) failed with: [%lu]",
                       ::GetLastError());
            return false;
        }
    }

    if (rangeStart != 0 && expectedLength > 0) {
        wchar_t header[kRangeHeaderChars];
        Common::FormatWide(header, L"Range: bytes=%lu-%d", static_cast<unsigned long>(rangeStart),
                           static_cast<int>(expectedLength - 1));
        Log::Info(L"Adding range header: [%s]", header);
        if (!::WinHttpAddRequestHeaders(request_.Get(), header, static_cast<DWORD>(-1),
                                        WINHTTP_ADDREQ_FLAG_ADD)) {
            Log::Error(L"Call to WinHttpAddRequestHeaders failed with: [%lu]", ::GetLastError());
            return false;
        }
    }
    if (!::WinHttpSendRequest(request_.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        Log::Error(L"Call to WinHttpSendRequest failed with: [%lu]", ::GetLastError());
        return false;
    }
    if (!::WinHttpReceiveResponse(request_.Get(), nullptr)) {
        Log::Error(L"Call to WinHttpReceiveResponse failed with: [%lu]", ::GetLastError());
        return false;
    }
    return true;
}

bool HttpRequest::ApplyDeadline() {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    if (deadline_ == std::chrono::steady_clock::time_point::max()) {
        return true;
    }
    const auto left = duration_cast<milliseconds>(deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        Log::Error(L"The update's time limit has passed; no request is sent");
        ::SetLastError(ERROR_TIMEOUT);
        return false;
    }
    // WinHTTP's own limits (resolve: none, connect: 60 s, send and receive:
    // 30 s each, for every step), none beyond the deadline; the response
    // headers as a whole too, so that no trickle of header lines holds it.
    const int cap = left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
    const auto within = [cap](int limit) { return limit < cap ? limit : cap; };
    if (!::WinHttpSetTimeouts(request_.Get(), cap, within(60000), within(30000), within(30000))) {
        Log::Warning(L"Call to WinHttpSetTimeouts failed with: [%lu]", ::GetLastError());
    }
    DWORD headers = static_cast<DWORD>(cap);
    if (!::WinHttpSetOption(request_.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers,
                            sizeof(headers))) {
        Log::Warning(L"Call to WinHttpSetOption (response time limit) failed with: [%lu]",
                     ::GetLastError());
    }
    return true;
}

int32_t HttpRequest::ParseHeaderNumber(const std::wstring& text) {
    int64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            break;
        }
        value = value * 10 + (c - L'0');
        if (value > INT32_MAX) {
            return kHeaderNumberTooLarge;
        }
    }
    return static_cast<int32_t>(value);
}

bool HttpRequest::GetRequestHeaders(int32_t& statusCode, int32_t& contentLength) {
    std::wstring lengthText;
    if (!QueryRequestHeader(WINHTTP_QUERY_CONTENT_LENGTH, lengthText)) {
        Log::Error(L"Call to QueryRequestHeader (ContentLength) failed with: [%lu]",
                   ::GetLastError());
        return false;
    }
    std::wstring statusText;
    if (!QueryRequestHeader(WINHTTP_QUERY_STATUS_CODE, statusText)) {
        Log::Error(L"Call to QueryRequestHeader (StatusCode) failed with: [%lu]", ::GetLastError());
        return false;
    }
    statusCode = ParseHeaderNumber(statusText);
    contentLength = ParseHeaderNumber(lengthText);
    Log::Info(L"GetRequestHeaders returning, StatusCode: [%d], ContentLength: [%d]", statusCode,
              contentLength);
    return true;
}

bool HttpRequest::QueryRequestHeader(DWORD infoLevel, std::wstring& text) {
    TraceScope trace;
    DWORD bytes = 0;
    if (::WinHttpQueryHeaders(request_.Get(), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX,
                              WINHTTP_NO_OUTPUT_BUFFER, &bytes, WINHTTP_NO_HEADER_INDEX) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        Log::Error(L"Call to WinHttpQueryHeaders failed with: [%lu]", ::GetLastError());
        return false;
    }
    // The length is in bytes and counts the terminating NUL.
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!::WinHttpQueryHeaders(request_.Get(), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX,
                               buffer.data(), &bytes, WINHTTP_NO_HEADER_INDEX)) {
        Log::Error(L"Call to WinHttpQueryHeaders failed with: [%lu]", ::GetLastError());
        return false;
    }
    text = buffer.data();
    Log::Info(L"Request Header is: [%s]", text.c_str());
    return true;
}

void HttpRequest::CloseHandles() {
    TraceScope trace;
    request_.Reset();
    connection_.Reset();
    session_.Reset();
}

bool HttpRequest::QueryDataAvailable(DWORD& available) {
    available = 0;
    return ::WinHttpQueryDataAvailable(request_.Get(), &available) != FALSE;
}

bool HttpRequest::ReadData(uint8_t* buffer, DWORD size, DWORD& read) {
    read = 0;
    return ::WinHttpReadData(request_.Get(), buffer, size, &read) != FALSE;
}
