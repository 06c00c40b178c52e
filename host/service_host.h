#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "common/unique_handle.h"
#include "rpc/rpc_endpoint.h"
#include "update/worker_timings.h"

// The command-line serving loop: serves the RPC endpoint until, at one of
// its checks (every 30 seconds in the product), no update is in progress.
class FrontEndRunner {
  public:
    FrontEndRunner();

    // Serves until done. A worker that cannot get its endpoint (another
    // process registered it first) logs an ERROR and returns at once:
    // running on without serving would only keep callers waiting.
    // False when the endpoint could not be served (logged).
    [[nodiscard]] bool Run(std::chrono::milliseconds idleCheck = WorkerTimings().idleCheck);

    // Manual-reset, created non-signalled at static initialisation; only Run
    // signals it. Invalid if it could not be created.
    Common::KernelHandle doneEvent;
};

// The one process-wide host: chooses the run mode from the command line and
// runs it.
class ServiceHost {
  public:
    virtual void OnTimeChange();
    virtual ~ServiceHost() = default;

    void Run(const std::wstring& processCommandLine);

    // The process's exit code: 0, or kEndpointNotServed for a worker that
    // could not serve the endpoint (so that the service that started it can
    // tell), or, for "-preparecache", why the cache cannot be used.
    static constexpr DWORD kEndpointNotServed = 2;
    DWORD exitCode = 0;

    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    std::wstring commandLine;
    uint32_t checkPoint = 0;
    FrontEndRunner frontEnd;
    // The worker's periods, set by the program before Run (ProcessTimings).
    WorkerTimings timings;

  private:
    void RunCommandLineMode();

    // "-preparecache": creates or judges the cache folder chain and ends;
    // the exit code says whether the cache is usable (host/cache_preparation.h).
    void RunPrepareCacheMode();

    // Opens the run's log file in the cache folder's logs\ (besides ETW and
    // the console); a failure costs the run nothing but the file.
    void StartRunLog();
};

extern ServiceHost serviceHost;
