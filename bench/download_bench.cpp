// One timed download of a URL, in one of three ways, printing its seconds:
//   download_bench --ours <url> <file>     Downloader::Download into a fresh
//                                          file: ours=<seconds>
//   download_bench --bare <url>            a bare WinHTTP read loop that
//                                          discards the body (the platform's
//                                          own ceiling: TLS and reads):
//                                          reads=<seconds>
//   download_bench --bounded <url> <file>  a loop that reads only what is
//                                          available, as the downloader must
//                                          so that no trickle can hold a
//                                          read, gathering into the same
//                                          chunk size and writing once per
//                                          chunk (the honest ceiling for a
//                                          reader with that guarantee):
//                                          bounded=<seconds>
// The benchmark scripts alternate them, one process each.

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "http/downloader.h"
#include "http/http_request.h"
#include "http/winhttp_handle.h"

namespace {

// An open GET through WinHTTP's own calls only (no proxy lookup, no header
// queries); null when any step failed.
WinHttpHandle OpenBareRequest(const std::wstring& url, WinHttpHandle& session,
                              WinHttpHandle& connection) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = static_cast<DWORD>(std::size(host));
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = static_cast<DWORD>(std::size(path));
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        return WinHttpHandle();
    }
    session.Reset(::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0));
    connection.Reset(session ? ::WinHttpConnect(session.Get(), host, parts.nPort, 0) : nullptr);
    WinHttpHandle request(connection ? ::WinHttpOpenRequest(connection.Get(), L"GET", path,
                                                             nullptr, WINHTTP_NO_REFERER,
                                                             WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                             WINHTTP_FLAG_SECURE)
                                      : nullptr);
    if (!request || !::WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.Get(), nullptr)) {
        return WinHttpHandle();
    }
    return request;
}

// The body read in the downloader's chunk size and discarded.
double BareWinHttpSeconds(const std::wstring& url) {
    const double start = NowSeconds();
    WinHttpHandle session;
    WinHttpHandle connection;
    const WinHttpHandle request = OpenBareRequest(url, session, connection);
    if (!request) {
        return -1;
    }
    std::vector<char> buffer(Downloader::kReadChunkBytes);
    DWORD available = 0;
    while (::WinHttpQueryDataAvailable(request.Get(), &available) && available > 0) {
        DWORD read = 0;
        if (!::WinHttpReadData(request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                               &read) ||
            read == 0) {
            break;
        }
    }
    return NowSeconds() - start;
}

// The body read no further than what is available, gathered into chunks of
// the downloader's size, each written to `path` at once; nothing else.
double BoundedWinHttpSeconds(const std::wstring& url, const std::wstring& path) {
    ::DeleteFileW(path.c_str());
    const double start = NowSeconds();
    WinHttpHandle session;
    WinHttpHandle connection;
    const WinHttpHandle request = OpenBareRequest(url, session, connection);
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!request || file == INVALID_HANDLE_VALUE) {
        if (file != INVALID_HANDLE_VALUE) {
            ::CloseHandle(file);
        }
        return -1;
    }
    std::vector<char> chunk(Downloader::kReadChunkBytes);
    DWORD gathered = 0;
    bool ok = true;
    for (;;) {
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(request.Get(), &available)) {
            ok = false;
            break;
        }
        const DWORD room = static_cast<DWORD>(chunk.size()) - gathered;
        DWORD read = 0;
        if (available > 0 &&
            !::WinHttpReadData(request.Get(), chunk.data() + gathered,
                               available < room ? available : room, &read)) {
            ok = false;
            break;
        }
        gathered += read;
        if (gathered == chunk.size() || (available == 0 && gathered > 0)) {
            DWORD written = 0;
            if (!::WriteFile(file, chunk.data(), gathered, &written, nullptr)) {
                ok = false;
                break;
            }
            gathered = 0;
        }
        if (available == 0) {
            break;
        }
    }
    ::CloseHandle(file);
    const double seconds = NowSeconds() - start;
    ::DeleteFileW(path.c_str());
    return ok ? seconds : -1;
}

// Downloader::Download of `url` into a fresh `path`; -1 when it failed.
double DownloaderSeconds(const std::wstring& url, const std::wstring& path) {
    ::DeleteFileW(path.c_str());
    const double start = NowSeconds();
    bool ok;
    {
        Downloader downloader(std::make_unique<HttpRequest>(),
                              std::make_unique<DownloadFile>(path));
        ok = downloader.Download(url);
    }
    return ok ? NowSeconds() - start : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc >= 3 ? argv[1] : L"";
    double seconds = -1;
    const char* name = "";
    if (mode == L"--ours" && argc == 4) {
        name = "ours";
        seconds = DownloaderSeconds(argv[2], argv[3]);
    } else if (mode == L"--bare" && argc == 3) {
        name = "reads";
        seconds = BareWinHttpSeconds(argv[2]);
    } else if (mode == L"--bounded" && argc == 4) {
        name = "bounded";
        seconds = BoundedWinHttpSeconds(argv[2], argv[3]);
    } else {
        std::fprintf(stderr, "usage: download_bench --ours <url> <file> | --bare <url> | "
                             "--bounded <url> <file>\n");
        return 2;
    }
    if (seconds < 0) {
        std::fprintf(stderr, "the %s download failed\n", name);
        return 1;
    }
    std::printf("%s=%.4f\n", name, seconds);
    return 0;
}
