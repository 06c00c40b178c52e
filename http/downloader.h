#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "http/download_error.h"
#include "http/download_file.h"
#include "http/download_pace.h"
#include "http/download_progress.h"
#include "http/http_request.h"
#include "http/pace_check.h"
#include "http/progress_throttle.h"
#include "http/read_buffer.h"

// Downloads one URL into one cache file, continuing a partial file left by an
// earlier attempt. A failed download keeps what it wrote.
//
// Two requests: a plain one, whose answer must be 200 with a positive length
// (anything else fails this URL, keeping the partial file), then, for a
// partial file, a ranged one. A file of exactly the announced length is
// complete; a larger one is not this resource and starts afresh. A 206 is
// used only with the Content-Range "bytes S-(L-1)/L" of the request. Nothing
// is written when the rest would not leave the volume its reserve.
class Downloader {
  public:
    // `progress` (may be null) follows the file's size and the announced
    // length while the download runs.
    Downloader(std::unique_ptr<HttpRequest> request, std::unique_ptr<DownloadFile> file,
               DownloadPace pace = DownloadPace(), DownloadProgress* progress = nullptr)
        : request_(std::move(request)), file_(std::move(file)), pace_(pace), progress_(progress) {}

    // True when the file holds as many bytes as the server announces for
    // the resource.
    [[nodiscard]] bool Download(const std::wstring& url);

    // Why the last Download failed (empty reason while none has).
    [[nodiscard]] const DownloadError& LastError() const { return error_; }

    // Bytes read from the network at a time.
    static constexpr size_t kReadChunkBytes = 524288;

  private:
    // The ranged request for bytes existingSize.. of a resource of
    // contentLength bytes; false unless its answer may be read (a checked
    // 206, or a 200 after which the partial file was deleted). A failed
    // connection ends with "Failed to connect to remote resource at"; a
    // refused status or range does not (the connection worked).
    [[nodiscard]] bool ContinueFrom(const std::wstring& url, uint32_t existingSize,
                                    int32_t contentLength);

    // True when a 206's Content-Range is exactly "bytes S-(L-1)/L".
    [[nodiscard]] bool IsExpectedRange(uint32_t start, int32_t contentLength);

    // Fills `buffer` with what arrives, up to kReadChunkBytes: reads only
    // what is there (a larger read would wait for the rest however slowly
    // it came), and stops at the body's end or after kChunkFillTime, so that
    // the pace checks run. False (logged) when a read failed; `bytesRead`
    // are the bytes that arrived before, which stay in `buffer`.
    [[nodiscard]] bool ReadChunk(ReadBuffer& buffer, DWORD& bytesRead);
    static constexpr std::chrono::milliseconds kChunkFillTime{100};

    // Appends the response body until the file reaches targetSize, the body
    // ends, or a read or write fails or the server is too slow (false).
    [[nodiscard]] bool ReadToFile(uint32_t targetSize);

    // Appends one chunk to the file; false (failure recorded) when the file
    // did not take it.
    [[nodiscard]] bool WriteChunk(const ReadBuffer& buffer);

    // Reads the file's size into `size` (kept when it cannot be read) and
    // reports it; true once the file has reached targetSize.
    [[nodiscard]] bool ReportProgress(uint32_t& size, uint32_t targetSize);

    // Counts `bytesRead` into `pace`; false (logged, failure recorded) when
    // the update's downloads reached their deadline, or a window ended with
    // fewer bytes than the pace's floor.
    [[nodiscard]] bool KeepsPace(PaceCheck& pace, DWORD bytesRead);

    void Fail(uint32_t code, std::wstring reason);
    void FailNetwork(DWORD error);
    void FailStatus(int32_t statusCode);

    std::unique_ptr<HttpRequest> request_;
    std::unique_ptr<DownloadFile> file_;
    DownloadError error_;
    DownloadPace pace_;
    DownloadProgress* progress_;
    ProgressThrottle throttle_;
};
