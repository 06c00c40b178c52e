// Downloads one URL with Downloader::Download into a fresh file, and reads the
// same URL once more through bare WinHTTP calls that discard the body (the
// platform's own cost: TLS and reads), printing
//   ours=<seconds> reads=<seconds> bytes=<file size>
//
//   download_bench <url> <file>

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "http/downloader.h"
#include "http/http_request.h"

namespace {

double ReadOnlySeconds(const std::wstring& url) {
    HttpRequest request;
    const double start = NowSeconds();
    if (!request.Send(url, 0, 0)) {
        return -1;
    }
    std::vector<char> buffer(Downloader::kReadChunkBytes);
    DWORD available = 0;
    while (::WinHttpQueryDataAvailable(request.RequestHandle(), &available) && available > 0) {
        DWORD read = 0;
        if (!::WinHttpReadData(request.RequestHandle(), buffer.data(),
                               static_cast<DWORD>(buffer.size()), &read) ||
            read == 0) {
            break;
        }
    }
    return NowSeconds() - start;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: download_bench <url> <file>\n");
        return 2;
    }
    const std::wstring url = argv[1];
    const std::wstring path = argv[2];
    ::DeleteFileW(path.c_str());

    const double start = NowSeconds();
    bool ok;
    {
        Downloader downloader(std::make_unique<HttpRequest>(),
                              std::make_unique<DownloadFile>(path));
        ok = downloader.Download(url);
    }
    const double ours = NowSeconds() - start;
    if (!ok) {
        std::fprintf(stderr, "download failed\n");
        return 1;
    }
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes);
    const double reads = ReadOnlySeconds(url);
    std::printf("ours=%.4f reads=%.4f bytes=%lu\n", ours, reads, attributes.nFileSizeLow);
    return 0;
}
