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

// The status's name, as the run summary and the control tool show it
// ("unknown" for a value outside the four).
[[nodiscard]] inline const wchar_t* StatusName(int32_t status) {
    static const wchar_t* const kNames[] = {L"Downloading", L"Installing", L"Completed",
                                            L"Failed"};
    return status >= Downloading && status <= Failed ? kNames[status] : L"unknown";
}
