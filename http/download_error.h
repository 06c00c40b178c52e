#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Why one URL's download failed: `code` is the server's HTTP status when the
// server answered with one that is refused, otherwise the WinHTTP or Windows
// error (0 when none applies); `reason` says what went wrong in words, to
// follow "Downloading <url> failed: ".
struct DownloadError {
    uint32_t code = 0;
    std::wstring reason;
};

// A WinHTTP or Windows error in words, with its number: "the server name
// could not be resolved (WinHTTP error 12007)", "... (error 112)".
[[nodiscard]] std::wstring DescribeNetworkError(DWORD error);

// The sentence an administrator reads: "Downloading <url> failed: <reason>."
// with the URL's secrets masked.
[[nodiscard]] std::wstring DescribeDownloadFailure(const std::wstring& url,
                                                   const DownloadError& error);
