#pragma once

#include <string>

#include "common/process_account.h"
#include "common/unique_handle.h"
#include "update/download_cache.h"

// The standalone worker: a copy of this executable in the download cache
// (kWorkerFileName), started without options, that serves the RPC endpoint by
// itself.

// How long the service watches a worker it started: one that ends within this
// time did not serve the endpoint.
inline constexpr DWORD kWorkerStartCheckMs = 3000;

// Starts the worker from the cache below `cacheRoot` unless the worker copy
// already runs, and reports (ERROR) a worker that ends within
// kWorkerStartCheckMs. Nothing is started without a usable cache.
void RespawnWorker(const CacheRoot& cacheRoot);

// Waits up to `waitMs` for the started worker; when it has ended by then,
// logs an ERROR with its exit code.
void ReportEarlyEnd(HANDLE worker, DWORD waitMs);

// True when a running process is the worker copy at `workerPath`: its name
// is the worker's (any letter case), its full image path is `workerPath`, and
// it runs as `account` (the service's own, SYSTEM). A process of that name
// from anywhere else, or of another account, is ignored (WARNING line).
[[nodiscard]] bool FindWorkerProcess(const std::wstring& workerPath,
                                     const std::wstring& account = Common::OwnAccountSid());

// True when PendingFileRenameOperations already deletes `path` at the next
// restart.
[[nodiscard]] bool IsScheduledForDeletion(const std::wstring& path);

// Copies this executable into the cache as the worker, replacing whatever
// stood at that name (deleted itself, never a link's target), schedules the
// copy for deletion at restart, and fills `path` with it and `copy` with a
// handle that denies writing, renaming and deleting it until it has been
// started. False when there is no own path, or the copy failed.
[[nodiscard]] bool CopyWorkerExecutable(const DownloadCache& cache, std::wstring& path,
                                        Common::KernelHandle& copy);
