#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http/download_file.h"
#include "http/http_request.h"

// Downloads one URL into one cache file, continuing a partial file left by an
// earlier attempt. A failed download keeps what it wrote.
class Downloader {
  public:
    Downloader(std::unique_ptr<HttpRequest> request, std::unique_ptr<DownloadFile> file)
        : request_(std::move(request)), file_(std::move(file)) {}

    // True when the file holds as many bytes as the server announces for
    // the resource.
    [[nodiscard]] bool Download(const std::wstring& url);

    // Bytes read from the network at a time.
    static constexpr size_t kReadChunkBytes = 524288;

  private:
    // The plain request, and a ranged one for bytes existingSize.. when a
    // partial file exists. contentLength is the whole resource's length.
    [[nodiscard]] bool Connect(const std::wstring& url, uint32_t existingSize, int32_t& statusCode,
                               int32_t& contentLength);

    // Appends the response body until the file reaches targetSize, the body
    // ends, or a read or write fails (false).
    [[nodiscard]] bool ReadToFile(uint32_t targetSize);

    std::unique_ptr<HttpRequest> request_;
    std::unique_ptr<DownloadFile> file_;
};
