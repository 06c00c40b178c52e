#include "update/cache_root.h"

#include "common/known_folder.h"
#include "common/log.h"

CacheRoot CacheRoot::KnownFolder(const KNOWNFOLDERID& id) {
    CacheRoot root;
    root.knownFolder_ = id;
    return root;
}

CacheRoot CacheRoot::Folder(const std::wstring& path) {
    CacheRoot root;
    root.byPath_ = true;
    root.path_ = path;
    return root;
}

HRESULT CacheRoot::Resolve(std::wstring& path) const {
    if (byPath_) {
        if (path_.empty()) {
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        }
        path = path_;
        return S_OK;
    }
    const HRESULT result = Common::KnownFolderPath(knownFolder_, path);
    if (result != S_OK) {
        Log::Error(L"Call to SHGetKnownFolderPath failed with error code: [%ld]",
                   static_cast<long>(result));
        return result;
    }
    Log::Info(L"SHGetKnownFolderPath returned: [%s]", path.c_str());
    return S_OK;
}
