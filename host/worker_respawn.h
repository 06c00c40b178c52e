#pragma once

#include <string>

// The standalone worker: a copy of this executable in the download cache,
// started without options, that serves the RPC endpoint by itself.
inline constexpr wchar_t kWorkerFileName[] = L"kgclient_update_worker.exe";

// Starts the worker unless a process of its name already runs. Never waits
// for it.
void RespawnWorker();

// True when a running process has the worker's file name (any letter case,
// any folder).
[[nodiscard]] bool FindWorkerProcess();

// Copies this executable into the cache as the worker (overwriting an earlier
// copy), schedules the copy for deletion at restart, and fills `path` with it.
// False when there is no usable cache folder, no own path, or the copy failed.
[[nodiscard]] bool CopyWorkerExecutable(std::wstring& path);
