#include "http/download_file.h"

#include "common/checked_open.h"
#include "common/file_system.h"
#include "common/log.h"
#include "common/trace_scope.h"

namespace {

constexpr DWORD kFileAccess = GENERIC_READ | FILE_APPEND_DATA | DELETE | READ_CONTROL;

}  // namespace

bool DownloadFile::Examine(uint32_t& size) const {
    LARGE_INTEGER openSize;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (file_ && ::GetFileSizeEx(file_.Get(), &openSize)) {
        size = static_cast<uint32_t>(openSize.QuadPart);
    } else if (!file_ &&
               ::GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &attributes)) {
        size = attributes.nFileSizeLow;
    } else {
        return false;
    }
    Log::Info(L"File: [%s] has a size of: [%lu] bytes.", path_.c_str(),
              static_cast<unsigned long>(size));
    return true;
}

bool DownloadFile::OpenExisting() {
    Common::CheckedEntry entry =
        Common::OpenChecked(path_, kFileAccess, FILE_SHARE_READ, OPEN_EXISTING,
                            Common::Expect::kPlainTrustedFile);
    if (!entry.Opened()) {
        if (entry.error != ERROR_FILE_NOT_FOUND && entry.error != ERROR_PATH_NOT_FOUND) {
            Log::Error(L"Failed to open file: [%s], with error: [%lu]", path_.c_str(), entry.error);
        }
        return false;
    }
    if (entry.accepted) {
        file_ = std::move(entry.handle);
        return true;
    }
    Log::Warning(L"Cache entry: [%s] is not a plain file of a trusted owner (attributes [0x%lx], "
                 L"links [%lu], owner [%s], error [%lu]); deleting it and downloading afresh",
                 path_.c_str(), entry.facts.attributes, entry.facts.links,
                 entry.facts.ownerSid.c_str(), entry.error);
    if (!Common::DeleteThroughHandle(entry.handle.Get())) {
        Log::Error(L"Failed to delete file: [%s], with error: [%lu]", path_.c_str(),
                   ::GetLastError());
    }
    return false;
}

bool DownloadFile::Exists() {
    TraceScope trace;
    uint32_t size = 0;
    const bool exists = (file_ || OpenExisting()) && Examine(size);
    Log::Info(exists ? L"File: [%s], exists" : L"File: [%s], does not exist", path_.c_str());
    return exists;
}

bool DownloadFile::Size(uint32_t& size) const {
    TraceScope trace;
    return Examine(size);
}

bool DownloadFile::Write(const uint8_t* bytes, size_t count) {
    TraceScope trace;
    if (!file_) {
        // Never an entry that appeared since: a new file or nothing.
        file_ = Common::Files().Open(path_, kFileAccess, FILE_SHARE_READ, CREATE_NEW);
        if (!file_) {
            Log::Error(L"Call to CreateFile failed with: [%lu]", ::GetLastError());
            Log::Error(L"Failed to open file for appending: [%s]", path_.c_str());
            return false;
        }
    }
    LARGE_INTEGER end = {};
    DWORD written = 0;
    if (!::SetFilePointerEx(file_.Get(), end, nullptr, FILE_END) ||
        !::WriteFile(file_.Get(), bytes, static_cast<DWORD>(count), &written, nullptr) ||
        written != count) {
        Log::Error(L"Failed to write to file: [%s], [%lu] of [%lu] bytes written, error: [%lu]",
                   path_.c_str(), static_cast<unsigned long>(written),
                   static_cast<unsigned long>(count), ::GetLastError());
        return false;
    }
    return true;
}

void DownloadFile::Close() {
    TraceScope trace;
    file_.Reset();
}

void DownloadFile::Delete() {
    TraceScope trace;
    if (file_) {
        (void)Common::DeleteThroughHandle(file_.Get());
        file_.Reset();
        return;
    }
    (void)Common::DeleteWithoutFollowing(path_);
}
