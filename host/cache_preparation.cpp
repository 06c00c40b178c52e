#include "host/cache_preparation.h"

#include <cwchar>
#include <memory>

#include "common/event_log.h"
#include "common/log.h"
#include "common/trace_scope.h"
#include "update/download_cache.h"
#include "update/update_events.h"

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

}  // namespace

bool IsPrepareCacheRun(const std::wstring& commandLine) {
    size_t at = 0;
    // The program's path: up to the closing quote, or to the first blank.
    if (at < commandLine.size() && commandLine[at] == L'"') {
        const size_t closing = commandLine.find(L'"', at + 1);
        at = closing == std::wstring::npos ? commandLine.size() : closing + 1;
    }
    while (at < commandLine.size() && !IsBlank(commandLine[at])) {
        ++at;
    }
    const size_t optionLength = std::wcslen(kPrepareCacheOption);
    while (at < commandLine.size()) {
        while (at < commandLine.size() && IsBlank(commandLine[at])) {
            ++at;
        }
        size_t end = at;
        while (end < commandLine.size() && !IsBlank(commandLine[end])) {
            ++end;
        }
        if (end - at == optionLength &&
            _wcsnicmp(commandLine.c_str() + at, kPrepareCacheOption, optionLength) == 0) {
            return true;
        }
        at = end;
    }
    return false;
}

DWORD PrepareCache(const CacheRoot& root) {
    TraceScope trace;
    std::unique_ptr<DownloadCache> cache;
    CacheRefusal refusal;
    const DWORD opened = DownloadCache::Open(root, cache, &refusal);
    if (opened != ERROR_SUCCESS) {
        Log::Error(L"The cache folder cannot be prepared, error [%lu]: [%s] (%s). %s", opened,
                   refusal.folder.c_str(), refusal.why.c_str(), refusal.remedy.c_str());
        Common::TheEventLog().Report(CacheUnusableEvent(refusal));
        return opened;
    }
    Log::Info(L"The cache folder is ready: [%s]", cache->Folder().c_str());
    return ERROR_SUCCESS;
}
