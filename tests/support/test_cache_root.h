#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/cache_folder.h"
#include "update/cache_layout.h"
#include "update/cache_root.h"
#include "update/download_cache.h"

namespace testsupport {

// A cache root of the test's own, below the temporary folder: the service's
// folder levels and its cache folder are made below it, never below the
// machine's ProgramData, so tests that use one share nothing with each other
// or with a worker running beside them. Removed whole when it goes.
class TestCacheRoot {
  public:
    TestCacheRoot() {
        static std::atomic<unsigned> counter{0};
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        EXPECT_NE(0u, length);
        path_ = std::wstring(temp, length) + L"kg-cache-root-" +
                std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        RemoveTree(path_);
        EXPECT_TRUE(::CreateDirectoryW(path_.c_str(), nullptr)) << ::GetLastError();
    }
    ~TestCacheRoot() { RemoveTree(path_); }

    TestCacheRoot(const TestCacheRoot&) = delete;
    TestCacheRoot& operator=(const TestCacheRoot&) = delete;

    // The root folder, without a final backslash.
    [[nodiscard]] const std::wstring& Path() const { return path_; }
    [[nodiscard]] CacheRoot Root() const { return CacheRoot::Folder(path_); }
    // The cache folder below it, with its final backslash.
    [[nodiscard]] std::wstring CacheFolder() const { return CacheFolderBelow(path_); }

    // The cache below it; null when it cannot be used (`error` and `refusal`
    // say why).
    [[nodiscard]] std::unique_ptr<DownloadCache> Open(DWORD* error = nullptr,
                                                      CacheRefusal* refusal = nullptr) const {
        std::unique_ptr<DownloadCache> cache;
        const DWORD opened = DownloadCache::Open(Root(), cache, refusal);
        if (error != nullptr) {
            *error = opened;
        }
        return cache;
    }

    // Removes every level the service made below the root.
    void Clear() const { RemoveTree(path_ + L"\\" + kCacheFolderLevels[0]); }

  private:
    std::wstring path_;
};

}  // namespace testsupport
