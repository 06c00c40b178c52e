#pragma once

#include <cstdint>
#include <string>

// What a write into the cache must leave free on its volume: 1 GiB, or 5 %
// of the volume when that is less, so that no caller can fill the disk.
inline constexpr uint64_t kDiskReserveBytes = 1024ull * 1024 * 1024;

// True when writing `bytes` more into the folder of `path` leaves the volume
// its reserve (see kDiskReserveBytes); false with an ERROR otherwise. A volume
// whose free space cannot be read passes (WARNING).
[[nodiscard]] bool LeavesReserve(const std::wstring& path, uint64_t bytes);
