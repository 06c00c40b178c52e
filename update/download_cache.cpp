#include "update/download_cache.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <utility>
#include <vector>

#include "common/access_list.h"
#include "common/checked_open.h"
#include "common/file_system.h"
#include "common/known_folder.h"
#include "common/log.h"
#include "common/run_log.h"
#include "common/trace_scope.h"
#include "common/wide_format.h"
#include "update/sha256.h"

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
