#include "update/download_cache.h"

#include <memory>
#include <string>
#include <utility>

#include "common/log.h"
#include "common/trace_scope.h"

DWORD DownloadCache::Open(const CacheRoot& root, std::unique_ptr<DownloadCache>& cache) {
    TraceScope trace;
    cache.reset();
    std::wstring rootPath;
    const HRESULT resolved = root.Resolve(rootPath);
    if (resolved != S_OK) {
        return HRESULT_FACILITY(resolved) == FACILITY_WIN32 ? HRESULT_CODE(resolved)
                                                            : ERROR_PATH_NOT_FOUND;
    }
    std::unique_ptr<DownloadCache> opened(new DownloadCache());
    const DWORD prepared = opened->PrepareFolder(rootPath);
    if (prepared != ERROR_SUCCESS) {
        return prepared;
    }
    opened->folder_ = CacheFolderBelow(rootPath);
    cache = std::move(opened);
    return ERROR_SUCCESS;
}
