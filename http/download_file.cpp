#include "http/download_file.h"

#include <windows.h>

#include <io.h>
#include <sys/stat.h>

#include "common/console_text.h"
#include "common/log.h"
#include "common/trace_scope.h"

bool DownloadFile::Examine(uint32_t& size) const {
    // While the stream is open (every chunk of a download) its handle is
    // asked: one call instead of a lookup by path.
    LARGE_INTEGER openSize;
    struct _stat64 status;
    if (stream_.IsValid() &&
        ::GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_.Get()))),
                        &openSize)) {
        size = static_cast<uint32_t>(openSize.QuadPart);
    } else if (_wstat64(path_.c_str(), &status) == 0) {
        size = static_cast<uint32_t>(status.st_size);
    } else {
        return false;
    }
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
