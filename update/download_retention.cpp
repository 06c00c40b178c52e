#include "update/download_cache.h"

// What the cache keeps: the newest other downloads, and nothing once an update
// has installed.

#include <algorithm>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "common/file_system.h"
#include "common/log.h"
#include "common/trace_scope.h"

void DownloadCache::DeleteFoundFile(const Common::FolderEntry& entry) const {
    TraceScope trace;
    if (!IsUsable() || (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return;
    }
    Log::Info(L"Deleting file: [%s]", entry.name.c_str());
    (void)DeleteEntry(entry.name);  // a file in use stays
}

DWORD DownloadCache::DeleteEntry(const std::wstring& name) const {
    if (!IsUsable() || heldFolders_.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    return Common::DeleteChild(heldFolders_.back().Get(), name);
}

namespace {

bool HasEntryExtension(const std::wstring& name) {
    constexpr size_t kExtensionChars = sizeof(kEntryExtension) / sizeof(wchar_t) - 1;
    return name.size() > kExtensionChars &&
           _wcsicmp(name.c_str() + name.size() - kExtensionChars, kEntryExtension) == 0;
}

}  // namespace

DWORD DownloadCache::ListEntries(std::vector<Common::FolderEntry>& entries) const {
    entries.clear();
    if (!IsUsable() || heldFolders_.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::vector<Common::FolderEntry> all;
    if (!Common::ListFolder(heldFolders_.back().Get(), all)) {
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_CANT_ACCESS_FILE;
    }
    for (Common::FolderEntry& entry : all) {
        if (HasEntryExtension(entry.name)) {
            entries.push_back(std::move(entry));
        }
    }
    return ERROR_SUCCESS;
}

void DownloadCache::KeepNewestDownloads(const std::wstring& current) const {
    TraceScope trace;
    if (!IsUsable()) {
        return;
    }
    const std::wstring currentName = current.substr(current.find_last_of(L'\\') + 1);
    std::vector<Common::FolderEntry> entries;
    if (ListEntries(entries) != ERROR_SUCCESS) {
        return;  // nothing is deleted that was not seen
    }
    std::vector<Common::FolderEntry> downloads;
    for (Common::FolderEntry& entry : entries) {
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsCacheFileName(entry.name) &&
            _wcsicmp(entry.name.c_str(), kWorkerFileName) != 0 &&
            _wcsicmp(entry.name.c_str(), currentName.c_str()) != 0) {
            downloads.push_back(std::move(entry));
        }
    }
    if (downloads.size() <= kKeptOtherDownloads) {
        return;
    }
    std::sort(downloads.begin(), downloads.end(),
              [](const Common::FolderEntry& a, const Common::FolderEntry& b) {
                  return ::CompareFileTime(&a.lastWrite, &b.lastWrite) > 0;
              });
    Log::Info(L"The cache holds [%lu] other downloads; the [%lu] most recent are kept",
              static_cast<unsigned long>(downloads.size()),
              static_cast<unsigned long>(kKeptOtherDownloads));
    for (size_t i = kKeptOtherDownloads; i < downloads.size(); ++i) {
        DeleteFoundFile(downloads[i]);
    }
}

void DownloadCache::CleanBinaries() const {
    TraceScope trace;
    Log::Info(L"Cleaning cache of all binary files");
    if (!IsUsable()) {
        Log::Error(L"The cache folder is unknown; nothing is cleaned");
        return;
    }
    std::vector<Common::FolderEntry> entries;
    DWORD error = ListEntries(entries);
    if (error == ERROR_SUCCESS && entries.empty()) {
        error = ERROR_FILE_NOT_FOUND;  // nothing of the pattern there, as a search by it says
    }
    if (error != ERROR_SUCCESS) {
        const std::wstring pattern = folder_ + L"*" + kEntryExtension;
        Log::Error(L"Failed to enumerate files in cache, pattern [%s], error [%lu]",
                   pattern.c_str(), static_cast<unsigned long>(error));
        return;
    }
    for (const Common::FolderEntry& entry : entries) {
        DeleteFoundFile(entry);
    }
}
