#include "common/disk_reserve.h"

#include <windows.h>

#include <algorithm>

#include "common/log.h"

bool LeavesReserve(const std::wstring& path, uint64_t bytes) {
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
    ULARGE_INTEGER available = {};
    ULARGE_INTEGER total = {};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, &total, nullptr)) {
        // Unknown room is no reason to refuse: a write that fails still
        // fails the download.
        Log::Warning(L"The free space of [%s] cannot be read, error [%lu]", folder.c_str(),
                     ::GetLastError());
        return true;
    }
    const uint64_t reserve = std::min<uint64_t>(kDiskReserveBytes, total.QuadPart / 20);
    if (available.QuadPart < bytes || available.QuadPart - bytes < reserve) {
        Log::Error(L"Refusing to download [%llu] bytes into [%s]: [%llu] bytes are free and "
                   L"[%llu] must stay free; nothing is written",
                   static_cast<unsigned long long>(bytes), folder.c_str(),
                   static_cast<unsigned long long>(available.QuadPart),
                   static_cast<unsigned long long>(reserve));
        return false;
    }
    return true;
}
