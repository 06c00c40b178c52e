#include "http/download_error.h"

#include <winhttp.h>

#include "common/redact_credentials.h"
#include "common/system_error_text.h"

namespace {

struct NamedError {
    DWORD code;
    const wchar_t* text;
};

// The WinHTTP errors a download meets, in words (the system has no message
// text for them outside winhttp.dll).
const NamedError kWinHttpErrors[] = {
    {ERROR_WINHTTP_TIMEOUT, L"the server did not answer in time"},
    {ERROR_WINHTTP_INTERNAL_ERROR, L"WinHTTP failed internally"},
    {ERROR_WINHTTP_INVALID_URL, L"the URL is not valid"},
    {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, L"the URL's scheme is not supported"},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, L"the server name could not be resolved"},
    {ERROR_WINHTTP_OPERATION_CANCELLED, L"the request was cancelled"},
    {ERROR_WINHTTP_CANNOT_CONNECT, L"no connection could be made to the server"},
    {ERROR_WINHTTP_CONNECTION_ERROR, L"the connection to the server was reset or lost"},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, L"the server's answer is not valid HTTP"},
    {ERROR_WINHTTP_HEADER_NOT_FOUND, L"the server's answer lacks a header it needs"},
    {ERROR_WINHTTP_REDIRECT_FAILED, L"a redirection could not be followed"},
    {ERROR_WINHTTP_SECURE_FAILURE,
     L"the secure connection failed: the server's TLS certificate is not trusted or not valid"},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, L"the server's TLS certificate has expired"},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, L"the server's TLS certificate is for another name"},
    {ERROR_WINHTTP_SECURE_INVALID_CA,
     L"the server's TLS certificate is issued by an authority that is not trusted"},
    {ERROR_WINHTTP_SECURE_CERT_REV_FAILED,
     L"the revocation of the server's TLS certificate could not be checked"},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR,
     L"the secure channel to the server failed: the server's TLS certificate may not be trusted, "
     L"or the server speaks no TLS version both sides accept"},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, L"the server asks for a client certificate"},
    {ERROR_WINHTTP_RESEND_REQUEST, L"the request would have to be sent again"},
};

}  // namespace

std::wstring DescribeNetworkError(DWORD error) {
    for (const NamedError& named : kWinHttpErrors) {
        if (named.code == error) {
            return named.text + std::wstring(L" (WinHTTP ") + Common::ErrorNumber(error) + L")";
        }
    }
    return Common::DescribeSystemError(error);
}

std::wstring DescribeDownloadFailure(const std::wstring& url, const DownloadError& error) {
    std::wstring shown = url;
    (void)Common::RedactCredentials(shown);
    return L"Downloading " + shown + L" failed: " +
           (error.reason.empty() ? std::wstring(L"the reason is not known") : error.reason) + L".";
}
