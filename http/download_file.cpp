#include "http/download_file.h"

#include <windows.h>

#include <sys/stat.h>

#include "common/console_text.h"
#include "common/log.h"
#include "common/trace_scope.h"

bool DownloadFile::Examine(uint32_t& size) const {
    struct _stat64 status;
    if (_wstat64(path_.c_str(), &status) != 0) {
        return false;
    }
    size = static_cast<uint32_t>(status.st_size);
    Log::Info(L"File: [%s] has a size of: [%lu] bytes.", path_.c_str(),
              static_cast<unsigned long>(size));
    return true;
}

bool DownloadFile::Exists() const {
    TraceScope trace;
    uint32_t size = 0;
    const bool exists = Examine(size);
    Log::Info(exists ? L"File: [%s], exists" : L"File: [%s], does not exist", path_.c_str());
    return exists;
}

bool DownloadFile::Size(uint32_t& size) const {
    TraceScope trace;
    return Examine(size);
}

bool DownloadFile::Write(const uint8_t* bytes, size_t count) {
    TraceScope trace;
    if (!stream_.IsValid()) {
        stream_.Reset(std::fopen(ToConsoleNarrow(path_).c_str(), "a+b"));
        if (!stream_.IsValid()) {
            Log::Error(L"Failed to open file for appending: [%s]", path_.c_str());
            return false;
        }
    }
    (void)std::fwrite(bytes, 1, count, stream_.Get());
    (void)std::fflush(stream_.Get());
    return true;
}

void DownloadFile::Close() {
    TraceScope trace;
    stream_.Reset();
}

void DownloadFile::Delete() {
    TraceScope trace;
    stream_.Reset();
    (void)::DeleteFileW(path_.c_str());
}
