#pragma once

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "http/winhttp_handle.h"

// One HTTP GET over TLS through WinHTTP. After Send the response headers have
// arrived and the body is read with QueryDataAvailable and ReadData.
// Its owner (Downloader) receives it through its constructor; a test can hand
// it one of its own that overrides any step, body reading included.
class HttpRequest {
  public:
    HttpRequest() = default;
    // Closes what is still open (CloseHandles: a destructor reaches no
    // subclass's Close).
    virtual ~HttpRequest() { CloseHandles(); }
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    // Sends the request; adds "Range: bytes=<rangeStart>-<expectedLength - 1>"
    // when rangeStart is not 0 and expectedLength is positive. False (logged)
    // at the first failing step; handles opened so far stay until Close.
    // Redirects are followed (at most kMaxRedirects, never from HTTPS to plain
    // HTTP); with a redirect check, each one's target is checked before it is
    // requested, and a refused one fails the send with
    // ERROR_WINHTTP_REDIRECT_FAILED (RefusedRedirect says why).
    [[nodiscard]] virtual bool Send(const std::wstring& url, uint32_t rangeStart,
                                    int32_t expectedLength);

    // Decides whether a redirect may lead to `host` (the target's host name,
    // as its URL names it); false refuses it.
    using RedirectCheck = std::function<bool(const std::wstring& host)>;
    // Without one (the default), WinHTTP follows redirects by itself.
    void SetRedirectCheck(RedirectCheck check) { redirectCheck_ = std::move(check); }
    static constexpr int kMaxRedirects = 10;

    // After a send that failed on a redirect: the sentence that says which
    // and why; empty otherwise.
    [[nodiscard]] const std::wstring& RefusedRedirect() const { return refusedRedirect_; }

    // Status code and Content-Length of the last response, as decimal numbers.
    [[nodiscard]] virtual bool GetRequestHeaders(int32_t& statusCode, int32_t& contentLength);

    // One response header (a WINHTTP_QUERY_* info level) as text.
    [[nodiscard]] virtual bool QueryRequestHeader(DWORD infoLevel, std::wstring& text);

    // The body's bytes that can be read now without waiting for more to
    // arrive (0 at its end). False (error kept) when the connection failed.
    [[nodiscard]] virtual bool QueryDataAvailable(DWORD& available);

    // Reads up to `size` bytes of the body; `read` 0 at its end. False
    // (error kept) when the connection failed.
    [[nodiscard]] virtual bool ReadData(uint8_t* buffer, DWORD size, DWORD& read);

    // Closes request, connection and session, in that order.
    virtual void Close() { CloseHandles(); }

    // No step of a later Send (resolving, connecting, sending, waiting for
    // the response headers however slowly they come) lasts past `deadline`:
    // WinHTTP's time limits are cut to what is left.
    void SetDeadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }

    // The decimal value of a header text: its leading digits, 0 when there
    // are none, kHeaderNumberTooLarge when they exceed the largest 32-bit
    // value (a Content-Length of 2 GiB or more).
    [[nodiscard]] static int32_t ParseHeaderNumber(const std::wstring& text);
    static constexpr int32_t kHeaderNumberTooLarge = -1;

  private:
    void CloseHandles();

    // Opens session, connection and request for `url` and sends it, waiting
    // for the response headers. False (logged) at the first failing step.
    [[nodiscard]] bool SendOnce(const std::wstring& url, uint32_t rangeStart,
                                int32_t expectedLength);

    // When the last response is a redirect, its target's URL, resolved
    // against `url`; empty otherwise.
    [[nodiscard]] std::wstring RedirectTarget(const std::wstring& url);

    // Whether a redirect to `target`, after `followed` others, may be
    // followed; false (refusedRedirect_ set, logged, the error
    // ERROR_WINHTTP_REDIRECT_FAILED) when not.
    [[nodiscard]] bool MayFollow(const std::wstring& target, int followed);

    RedirectCheck redirectCheck_;
    std::wstring refusedRedirect_;

    // Cuts the time limits of the session and the request to the deadline.
    // False (error ERROR_TIMEOUT) when it has passed already.
    [[nodiscard]] bool ApplyDeadline();

    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();

    // Asks the session for TLS 1.2 and 1.3 (TLS 1.2 alone where 1.3 is unknown).
    void RequestModernTls();

    WinHttpHandle session_;
    WinHttpHandle connection_;
    WinHttpHandle request_;
};
