// A download cut by the server, then resumed: runs Downloader::Download on
// each URL in turn into the same file and reports whether the last one
// completed. The server's request log tells how many bytes were sent.
//
//   resume_bench <file> <url> [<url> ...]

#include <windows.h>

#include <cstdio>
#include <memory>

#include "http/downloader.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: resume_bench <file> <url> [<url> ...]\n");
        return 2;
    }
    ::DeleteFileW(argv[1]);
    bool ok = false;
    for (int i = 2; i < argc; ++i) {
        Downloader downloader(std::make_unique<HttpRequest>(),
                              std::make_unique<DownloadFile>(argv[1]));
        ok = downloader.Download(argv[i]);
        std::printf("attempt %d: %s\n", i - 1, ok ? "complete" : "failed");
    }
    return ok ? 0 : 1;
}
