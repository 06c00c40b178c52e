#include "update/download_cache.h"

#include <memory>
#include <string>
#include <utility>

#include "common/log.h"
#include "common/trace_scope.h"
#include "common/wide_format.h"

DWORD DownloadCache::Open(const CacheRoot& root, std::unique_ptr<DownloadCache>& cache,
                          CacheRefusal* refusal) {
    TraceScope trace;
    cache.reset();
    std::wstring rootPath;
    const HRESULT resolved = root.Resolve(rootPath);
    if (resolved != S_OK) {
        if (refusal != nullptr) {
            wchar_t code[16];
            Common::FormatWide(code, L"0x%08lX", static_cast<unsigned long>(resolved));
            *refusal = {L"the folder below which the cache lies (ProgramData)",
                        std::wstring(L"it cannot be resolved, error ") + code,
                        L"Check that the ProgramData folder exists and that SYSTEM can read it."};
        }
        return HRESULT_FACILITY(resolved) == FACILITY_WIN32 ? HRESULT_CODE(resolved)
                                                            : ERROR_PATH_NOT_FOUND;
    }
    std::unique_ptr<DownloadCache> opened(new DownloadCache());
    const DWORD prepared = opened->PrepareFolder(rootPath);
    if (prepared != ERROR_SUCCESS) {
        if (refusal != nullptr) {
            *refusal = opened->refusal_;
        }
        return prepared;
    }
    opened->folder_ = CacheFolderBelow(rootPath);
    cache = std::move(opened);
    return ERROR_SUCCESS;
}

DWORD DownloadCache::Refuse(DWORD error, const std::wstring& folder, std::wstring why,
                            const wchar_t* remedy) {
    if (refusal_.folder.empty()) {
        refusal_ = {folder, std::move(why), remedy};
    }
    return error;
}
