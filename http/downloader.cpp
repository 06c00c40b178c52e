#include "http/downloader.h"

#include <algorithm>

#include <winhttp.h>

#include <memory>
#include <vector>

#include "common/disk_reserve.h"
#include "common/log.h"
#include "common/run_log.h"
#include "common/system_error_text.h"
#include "common/wide_format.h"
#include "common/trace_scope.h"

namespace {

constexpr int32_t kStatusOk = 200;
constexpr int32_t kStatusPartialContent = 206;

// The Content-Length as the server wrote it, its digits only and at most a
// few dozen of them, for the sentence that refuses it.
std::wstring AnnouncedLength(HttpRequest& request) {
    std::wstring text;
    if (!request.QueryRequestHeader(WINHTTP_QUERY_CONTENT_LENGTH, text)) {
        return L"2 GiB or more";
    }
    size_t digits = 0;
    while (digits < text.size() && digits < 40 && text[digits] >= L'0' && text[digits] <= L'9') {
        ++digits;
    }
    return text.substr(0, digits) + (digits < text.size() && digits == 40 ? L"..." : L"");
}

}  // namespace

bool Downloader::IsExpectedRange(uint32_t start, int32_t contentLength) {
    std::wstring range;
    if (!request_->QueryRequestHeader(WINHTTP_QUERY_CONTENT_RANGE, range)) {
        range = L"(none)";
    }
    wchar_t expected[96];
    Common::FormatWide(expected, L"bytes %lu-%d/%d", static_cast<unsigned long>(start),
                       static_cast<int>(contentLength - 1), static_cast<int>(contentLength));
    if (range == expected) {
        return true;
    }
    Log::Error(L"The partial content is not the requested range: Content-Range [%s], expected "
               L"[%s]; nothing is appended",
               range.c_str(), expected);
    Fail(kStatusPartialContent, L"the server sent another part of the file than the one asked for "
                                L"(Content-Range " + range + L")");
    return false;
}

bool Downloader::ContinueFrom(const std::wstring& url, uint32_t existingSize,
                              int32_t contentLength) {
    TraceScope trace;
    request_->Close();
    if (!request_->Send(url, existingSize, contentLength)) {
        FailNetwork(::GetLastError());
        Log::Error(L"Failed to connect to url");
        Log::Error(L"Failed to connect to remote resource at: [%s]", url.c_str());
        return false;
    }
    int32_t statusCode = 0;
    int32_t rangedLength = 0;  // the length of the whole resource stays
    if (!request_->GetRequestHeaders(statusCode, rangedLength)) {
        FailNetwork(::GetLastError());
        Log::Error(L"Failed to request header information from url");
        Log::Error(L"Failed to connect to remote resource at: [%s]", url.c_str());
        return false;
    }
    if (statusCode == kStatusPartialContent) {
        if (!IsExpectedRange(existingSize, contentLength)) {
            return false;
        }
        Log::Info(L"Attempting to continue a partial download, status code: [%d]", statusCode);
        return true;
    }
    if (statusCode == kStatusOk) {
        Log::Info(
            L"Partial download has been deleted from cache since http connection will return "
            L"full content.");
        file_->Delete();
        if (progress_ != nullptr) {
            progress_->Received(0);
        }
        Log::Info(L"Beginning a fresh download, status code: [%d]", statusCode);
        return true;
    }
    Log::Error(L"Unexpected status code, error [%d]", statusCode);
    FailStatus(statusCode);
    return false;
}

bool Downloader::ReadChunk(ReadBuffer& buffer, DWORD& bytesRead) {
    bytesRead = 0;
    bool failed = false;
    const auto started = std::chrono::steady_clock::now();
    for (;;) {
        DWORD available = 0;
        if (!request_->QueryDataAvailable(available)) {
            FailNetwork(::GetLastError());
            Log::Error(L"Call to WinHttpQueryDataAvailable failed with: [%lu]", error_.code);
            failed = true;
            break;
        }
        if (available == 0) {
            break;  // the body has ended
        }
        if (buffer.size() != kReadChunkBytes) {
            Log::Info(L"Sizing vector: [%d]", static_cast<int>(kReadChunkBytes));
            buffer.resize(kReadChunkBytes);
        }
        // No more than is there: a larger read would wait for the rest of
        // the chunk however slowly it came, and no pace check could end it.
        const DWORD room = static_cast<DWORD>(kReadChunkBytes) - bytesRead;
        const DWORD toRead = available < room ? available : room;
        DWORD read = 0;
        if (!request_->ReadData(buffer.data() + bytesRead, toRead, read)) {
            const DWORD error = ::GetLastError();
            Log::Error(L"Call to WinHttpReadData failed with: [%lu]", error);
            FailNetwork(error);
            failed = true;
            break;
        }
        bytesRead += read;
        if (read == 0 || bytesRead == kReadChunkBytes ||
            std::chrono::steady_clock::now() - started >= kChunkFillTime) {
            if (bytesRead < kReadChunkBytes) {
                Log::Info(L"Sizing vector: [%d]", static_cast<int>(bytesRead));
                buffer.resize(bytesRead);
            }
            return true;
        }
    }
    // Ended by the body's end or a failure: what arrived before stays.
    if (buffer.size() != bytesRead) {
        if (bytesRead < kReadChunkBytes && !buffer.empty()) {
            Log::Info(L"Sizing vector: [%d]", static_cast<int>(bytesRead));
        }
        buffer.resize(bytesRead);
    }
    return !failed;
}

bool Downloader::ReadToFile(uint32_t targetSize) {
    TraceScope trace;
    // The lines of each chunk go to the console and ETW; the run's log file
    // gets a progress line every few seconds instead.
    const RunLog::Quiet quiet;
    uint32_t size = 0;
    ReadBuffer buffer;
    PaceCheck pace(pace_, PaceCheck::Clock::now());
    for (;;) {
        DWORD bytesRead = 0;
        bool chunkFailed = !ReadChunk(buffer, bytesRead);
        // What arrived is written even when the read then failed: on disk is
        // exactly what was received, in order, and a resume asks for the rest.
        if (bytesRead > 0) {
            if (!WriteChunk(buffer)) {
                chunkFailed = true;  // never read on into a file that is not there
            }
            buffer.clear();
        }
        // A failed chunk fails the download whatever the file's size says:
        // bytes that were not written must not count as received.
        if (chunkFailed) {
            Log::Error(L"Failed to read next binary data chunk");
            return false;
        }
        if (ReportProgress(size, targetSize) || bytesRead == 0) {
            return true;
        }
        if (!KeepsPace(pace, bytesRead)) {
            return false;
        }
    }
}

bool Downloader::WriteChunk(const ReadBuffer& buffer) {
    Log::Info(L"Read: [%lu] bytes of data", static_cast<unsigned long>(buffer.size()));
    if (!file_->Write(buffer.data(), buffer.size())) {
        const DWORD error = ::GetLastError();
        Fail(error, L"writing the cache file failed: " + Common::DescribeSystemError(error));
        return false;
    }
    Log::Info(L"Written: [%lu] bytes of data", static_cast<unsigned long>(buffer.size()));
    return true;
}

bool Downloader::ReportProgress(uint32_t& size, uint32_t targetSize) {
    uint32_t current = 0;
    if (file_->Size(current)) {
        size = current;
    }
    if (progress_ != nullptr) {
        progress_->Received(size);
    }
    const bool complete = size >= targetSize;
    if (throttle_.Due(ProgressThrottle::Clock::now(), complete)) {
        wchar_t line[96];
        Common::FormatWide(line, L"Downloaded [%llu] of [%llu] bytes",
                           static_cast<unsigned long long>(size),
                           static_cast<unsigned long long>(targetSize));
        RunLog::Note(line);
    }
    return complete;
}

bool Downloader::KeepsPace(PaceCheck& pace, DWORD bytesRead) {
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    switch (pace.Count(bytesRead, PaceCheck::Clock::now())) {
        case PaceCheck::Verdict::kKeepsPace:
            return true;
        case PaceCheck::Verdict::kDeadlineReached:
            Log::Error(
                L"The update's downloads have reached their time limit of [%lu] seconds; "
                L"the partial file is kept",
                static_cast<unsigned long>(duration_cast<seconds>(pace_.updateLimit).count()));
            Fail(ERROR_TIMEOUT, L"the update's downloads reached their time limit");
            return false;
        case PaceCheck::Verdict::kTooSlow:
            break;
    }
    const auto windowSeconds = duration_cast<seconds>(pace_.window).count();
    const uint64_t windowBytes = pace.WindowBytes();
    Log::Error(L"The download is too slow: [%lu] bytes in the last [%lu] seconds, at "
               L"least [%lu] are needed; the partial file is kept",
               static_cast<unsigned long>(windowBytes), static_cast<unsigned long>(windowSeconds),
               static_cast<unsigned long>(pace_.floorBytes));
    Fail(ERROR_TIMEOUT, L"the server sends too slowly (" + std::to_wstring(windowBytes) +
                            L" bytes in the last " + std::to_wstring(windowSeconds) +
                            L" seconds)");
    return false;
}

void Downloader::Fail(uint32_t code, std::wstring reason) {
    error_.code = code;
    error_.reason = std::move(reason);
}

void Downloader::FailNetwork(DWORD error) {
    if (error == ERROR_WINHTTP_REDIRECT_FAILED && !request_->RefusedRedirect().empty()) {
        Fail(error, request_->RefusedRedirect());
        return;
    }
    // A request cut by the update's deadline failed by the deadline, whatever
    // WinHTTP calls it.
    if (std::chrono::steady_clock::now() >= pace_.deadline) {
        Log::Error(L"The update's downloads have reached their time limit of [%lu] seconds; "
                   L"the partial file is kept",
                   static_cast<unsigned long>(
                       std::chrono::duration_cast<std::chrono::seconds>(pace_.updateLimit).count()));
        Fail(ERROR_TIMEOUT, L"the update's downloads reached their time limit");
        return;
    }
    Fail(error, DescribeNetworkError(error));
}

void Downloader::FailStatus(int32_t statusCode) {
    Fail(static_cast<uint32_t>(statusCode),
         L"the server answered with HTTP status " + std::to_wstring(statusCode));
}

bool Downloader::Download(const std::wstring& url) {
    TraceScope trace;
    uint32_t existingSize = 0;
    if (file_->Exists()) {
        if (!file_->Size(existingSize)) {
            existingSize = 0;
        }
        Log::Info(L"A downloaded binary of size: [%lu], already exists in cache.",
                  static_cast<unsigned long>(existingSize));
    }
    if (progress_ != nullptr) {
        progress_->Start(existingSize, 0);  // the length is unknown until the server answers
    }

    request_->SetDeadline(pace_.deadline);
    // The plain request first: only a good answer says how long the resource is.
    int32_t statusCode = 0;
    int32_t contentLength = 0;
    const bool sent = request_->Send(url, 0, 0);
    if (!sent) {
        FailNetwork(::GetLastError());
    } else if (!request_->GetRequestHeaders(statusCode, contentLength)) {
        FailNetwork(::GetLastError());
        Log::Error(L"Failed to request header information from url");
    }
    if (!sent || statusCode == 0) {
        Log::Error(L"Failed to connect to remote resource at: [%s]", url.c_str());
        return false;
    }
    if (statusCode != kStatusOk) {
        // The connection worked: the status line says what failed.
        Log::Error(L"Unexpected status code, error [%d]", statusCode);
        FailStatus(statusCode);
        return false;  // whatever is cached stays for a good server
    }
    if (contentLength == HttpRequest::kHeaderNumberTooLarge) {
        // The lengths are 32 bits: such a file could only be cut short.
        const std::wstring announced = AnnouncedLength(*request_);
        Log::Error(L"The server announced a length of [%s] bytes, 2 GiB or more, which no download "
                   L"can hold; nothing is downloaded from: [%s]",
                   announced.c_str(), url.c_str());
        Fail(0, L"the server announced a length of " + announced +
                    L" bytes; a download is refused at 2 GiB or more");
        return false;
    }
    if (contentLength <= 0) {
        Log::Error(L"The server announced a length of [%d] bytes; nothing is downloaded from: [%s]",
                   contentLength, url.c_str());
        Fail(0, L"the server announced a length of " + std::to_wstring(contentLength) + L" bytes");
        return false;
    }

    const uint32_t announced = static_cast<uint32_t>(contentLength);
    if (existingSize > announced) {
        Log::Info(L"The cached file of [%lu] bytes is larger than the resource of [%d] bytes: it "
                  L"is not this resource. Deleting it and downloading afresh.",
                  static_cast<unsigned long>(existingSize), contentLength);
        file_->Delete();
        existingSize = 0;
    }
    if (progress_ != nullptr) {
        progress_->Start(existingSize, announced);
    }
    if (existingSize == announced) {
        Log::Info(L"Downloaded binary filesize matches the expected content length: [%d]",
                  contentLength);
        file_->Close();
        return true;
    }
    if (!LeavesReserve(file_->Path(), announced - existingSize)) {
        Fail(ERROR_DISK_FULL, L"its " + std::to_wstring(announced - existingSize) +
                                  L" bytes would leave the disk less free space than it must keep");
        return false;  // what is cached stays
    }
    if (existingSize == 0) {
        Log::Info(L"Beginning a fresh download, status code: [%d]", statusCode);
    } else if (!ContinueFrom(url, existingSize, contentLength)) {
        return false;  // a failed connection is logged there; a refused answer needs no more
    }

    if (!ReadToFile(announced)) {
        Log::Error(L"Failed to complete download of remote resource at: [%s]", url.c_str());
        Log::Info(L"Download failed but will resume on next connection attempt.");
        return false;
    }
    uint32_t finalSize = 0;
    if (!file_->Size(finalSize)) {
        finalSize = 0;
    }
    file_->Close();
    if (finalSize != announced) {
        Log::Error(
            L"File download completed but its size: [%lu], does not match expected length: [%d].",
            static_cast<unsigned long>(finalSize), contentLength);
        Fail(0, L"the server ended the file after " + std::to_wstring(finalSize) + L" of " +
                    std::to_wstring(announced) + L" bytes");
        return false;
    }
    Log::Info(L"Final binary file size matches expected content length: [%lu]",
              static_cast<unsigned long>(finalSize));
    return true;
}
