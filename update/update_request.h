#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The parsed "beginAutoUpdate" instruction.
struct UpdateRequest {
    std::vector<std::wstring> urls;  // tried in this order
    std::wstring hash;               // policy SHA-256 digest text; empty: none
    std::wstring args;               // extra installer arguments; empty: none
};

// Progress of the one update of a process, as callers see it.
enum UpdateStatus : int32_t {
    Downloading = 0,
    Installing = 1,
    Completed = 2,
    Failed = 3,
};
