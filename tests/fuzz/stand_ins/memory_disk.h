#pragma once

// What the fuzz build's DownloadFile writes: files in memory, by path, and
// whether the volume has room (LeavesReserve).

#include <map>
#include <string>

namespace fuzz {

std::map<std::wstring, std::string>& MemoryDisk();
bool& VolumeHasRoom();

}  // namespace fuzz
