#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace testsupport {

// Removes a folder tree the service created. Under Wine, the protected
// descriptor of the cache folders (owner Administrators, not the Wine user)
// becomes Unix mode r-x for the owner, which Wine reports as read-only and
// then refuses to delete: the attribute is cleared first.
inline void RemoveTree(const std::wstring& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        return;
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    for (auto it = std::filesystem::recursive_directory_iterator(path, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::filesystem::remove_all(path, error);
}

}  // namespace testsupport
