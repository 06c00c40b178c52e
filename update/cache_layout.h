#pragma once

#include <string>

// Where the service keeps what it downloads, runs and logs. Every program and
// test that looks there takes the names from here (the whole-process tests
// read this file).
//
//   <ProgramData>\kestrelGATE\Client\AutoUpdate\       the cache folder
//       <64 hexadecimal digits>.exe                    installers, partial downloads
//       kgclient_update_worker.exe                     the worker copy
//       logs\                                          the workers' run logs

// The cache folder's levels below the ProgramData known folder, outermost first.
inline constexpr const wchar_t* kCacheFolderLevels[] = {L"kestrelGATE", L"Client", L"AutoUpdate"};

// The cache folder below `programData`, with its final backslash.
inline std::wstring CacheFolderBelow(const std::wstring& programData) {
    std::wstring folder = programData;
    for (const wchar_t* level : kCacheFolderLevels) {
        folder += L"\\";
        folder += level;
    }
    return folder + L"\\";
}

// The folder of the workers' run log files, below the cache folder. The
// cleaning of ".exe" files never touches it.
inline constexpr wchar_t kRunLogFolder[] = L"logs";

// The extension of every file the service keeps in the cache folder.
inline constexpr wchar_t kEntryExtension[] = L".exe";

// The worker copy's file name in the cache folder.
inline constexpr wchar_t kWorkerFileName[] = L"kgclient_update_worker.exe";
