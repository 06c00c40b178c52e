#include "http/downloader.h"

#include <winhttp.h>

#include <memory>
#include <vector>

#include "common/log.h"
#include "common/trace_scope.h"

namespace {

// Leaves new elements uninitialised: the read buffer is resized to a whole
// chunk before every read and only the bytes read are ever looked at, so
// zero-filling half a megabyte per network read would be wasted work.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using ReadBuffer = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

constexpr int32_t kStatusOk = 200;
constexpr int32_t kStatusPartialContent = 206;

}  // namespace

bool Downloader::Connect(const std::wstring& url, uint32_t existingSize, int32_t& statusCode,
                         int32_t& contentLength) {
    TraceScope trace;
    if (!request_->Send(url, 0, 0)) {
        return false;
    }
    if (!request_->GetRequestHeaders(statusCode, contentLength)) {
        Log::Error(L"Failed to request header information from url");
        return false;
    }
    if (existingSize == 0) {
        return true;
    }
    request_->Close();
    if (!request_->Send(url, existingSize, contentLength)) {
        Log::Error(L"Failed to connect to url");
        return false;
    }
    int32_t rangedLength = 0;  // the length of the whole resource stays
    if (!request_->GetRequestHeaders(statusCode, rangedLength)) {
        Log::Error(L"Failed to request header information from url");
        return false;
    }
    return true;
}

bool Downloader::ReadToFile(uint32_t targetSize) {
    TraceScope trace;
    uint32_t size = 0;
    ReadBuffer buffer;
    bool result = true;
    for (;;) {
        DWORD bytesRead = 0;
        bool chunkFailed = false;
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(request_->RequestHandle(), &available)) {
            Log::Error(L"Call to WinHttpQueryDataAvailable failed with: [%lu]", ::GetLastError());
            chunkFailed = true;
        } else if (available > 0) {
            if (buffer.size() != kReadChunkBytes) {
                Log::Info(L"Sizing vector: [%d]", static_cast<int>(kReadChunkBytes));
                buffer.resize(kReadChunkBytes);
            }
            const BOOL read = ::WinHttpReadData(request_->RequestHandle(), buffer.data(),
                                                static_cast<DWORD>(kReadChunkBytes), &bytesRead);
            const DWORD error = ::GetLastError();
            if (bytesRead < kReadChunkBytes) {
                Log::Info(L"Sizing vector: [%d]", static_cast<int>(bytesRead));
                buffer.resize(bytesRead);
            }
            if (!read) {
                Log::Error(L"Call to WinHttpReadData failed with: [%lu]", error);
                chunkFailed = true;
            }
        }

        if (!chunkFailed && bytesRead > 0) {
            Log::Info(L"Read: [%lu] bytes of data", static_cast<unsigned long>(bytesRead));
            if (file_->Write(buffer.data(), buffer.size())) {
                Log::Info(L"Written: [%lu] bytes of data",
                          static_cast<unsigned long>(buffer.size()));
            } else {
                chunkFailed = true;  // never read on into a file that is not there
            }
            buffer.clear();
        }
        if (chunkFailed) {
            Log::Error(L"Failed to read next binary data chunk");
        }

        // A failed chunk fails the download whatever the file's size says:
        // bytes that were not written must not count as received.
        if (chunkFailed) {
            result = false;
            break;
        }
        uint32_t current = 0;
        if (file_->Size(current)) {
            size = current;
        }
        if (size >= targetSize) {
            break;
        }
        if (bytesRead == 0) {
            break;
        }
    }
    return result;
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

    int32_t statusCode = 0;
    int32_t contentLength = 0;
    if (!Connect(url, existingSize, statusCode, contentLength)) {
        Log::Error(L"Failed to connect to remote resource at: [%s]", url.c_str());
        return false;
    }

    // Signed comparisons of the existing size with the announced length.
    const int32_t existing = static_cast<int32_t>(existingSize);
    if (existing >= contentLength) {
        Log::Info(L"Downloaded binary filesize matches the expected content length: [%d]",
                  contentLength);
        return true;
    }
    if (statusCode == kStatusPartialContent) {
        Log::Info(L"Attempting to continue a partial download, status code: [%d]", statusCode);
    } else if (statusCode == kStatusOk) {
        if (existingSize > 0) {
            Log::Info(
                L"Partial download has been deleted from cache since http connection will return "
                L"full content.");
            file_->Delete();
        }
        Log::Info(L"Beginning a fresh download, status code: [%d]", statusCode);
    } else {
        Log::Error(L"Unexpected status code, error [%d]", statusCode);
        return false;
    }

    if (!ReadToFile(static_cast<uint32_t>(contentLength))) {
        Log::Error(L"Failed to complete download of remote resource at: [%s]", url.c_str());
        Log::Info(L"Download failed but will resume on next connection attempt.");
        return false;
    }
    uint32_t finalSize = 0;
    if (!file_->Size(finalSize)) {
        finalSize = 0;
    }
    file_->Close();
    if (finalSize != static_cast<uint32_t>(contentLength)) {
        Log::Error(
            L"File download completed but its size: [%lu], does not match expected length: [%d].",
            static_cast<unsigned long>(finalSize), contentLength);
        return false;
    }
    Log::Info(L"Final binary file size matches expected content length: [%lu]",
              static_cast<unsigned long>(finalSize));
    return true;
}
