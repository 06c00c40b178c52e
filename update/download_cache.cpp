#include "update/download_cache.h"

#include <string>

#include "common/known_folder.h"
#include "common/log.h"
#include "common/trace_scope.h"

DownloadCache::DownloadCache(const KNOWNFOLDERID& root) {
    TraceScope trace;
    std::wstring rootPath;
    const HRESULT result = Common::KnownFolderPath(root, rootPath);
    if (result != S_OK) {
        Log::Error(L"Call to SHGetKnownFolderPath failed with error code: [%ld]",
                   static_cast<long>(result));
        return;
    }
    Log::Info(L"SHGetKnownFolderPath returned: [%s]", rootPath.c_str());
    if (!PrepareFolder(rootPath)) {
        heldFolders_.clear();
        return;
    }
    folder = CacheFolderBelow(rootPath);
}
