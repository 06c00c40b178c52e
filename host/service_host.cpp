#include "host/service_host.h"

#include <conio.h>

#include <cstdio>
#include <memory>

#include "common/contains_no_case.h"
#include "common/log.h"
#include "common/run_log.h"
#include "common/trace_scope.h"
#include "host/cache_preparation.h"
#include "host/service_main.h"
#include "rpc/rpc_endpoint.h"
#include "rpc/update_rpc_server.h"
#include "update/binary_validation.h"
#include "update/download_cache.h"
#include "update/product_version.h"
#include "update/run_summary.h"
#include "update/update_controller.h"

// Built before main from plain members and one event object: nothing in it
// throws (its periods' chrono values are not marked so).
ServiceHost serviceHost;  // NOLINT(cert-err58-cpp)

namespace {

// One key press at the console, read without echo and without Enter.
void WaitForKey(const char* prompt) {
    std::printf("%s\n", prompt);
    std::fflush(stdout);
    (void)_getch();
}

}  // namespace

FrontEndRunner::FrontEndRunner() : doneEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

bool FrontEndRunner::Run(std::chrono::milliseconds idleCheck) {
    TraceScope trace;
    if (!StartListening()) {
        Log::Error(L"The update endpoint could not be served; the worker ends");
        return false;
    }
    Log::Info(L"kestrelGATE client auto update process triggered");
    for (;;) {
        const DWORD waited =
            ::WaitForSingleObject(doneEvent.Get(), static_cast<DWORD>(idleCheck.count()));
        if (waited == WAIT_TIMEOUT) {
            if (!TheUpdateRpcServer().IsWorkInProgress()) {
                ::SetEvent(doneEvent.Get());
            }
        } else if (waited == WAIT_OBJECT_0) {
            break;
        }
    }
    Log::Info(L"kestrelGATE client auto update process completed");
    StopListening();
    return true;
}

void ServiceHost::OnTimeChange() {
    TraceScope trace;
    Log::Info(L"The SYSTEM TIME changed");
}

void ServiceHost::Run(const std::wstring& processCommandLine) {
    TraceScope trace(L"%s", processCommandLine.c_str());
    commandLine = processCommandLine;
    // Judged first and strictly (one whole argument): the package runs it
    // from a folder whose path could hold any other option's text.
    if (IsPrepareCacheRun(commandLine)) {
        RunPrepareCacheMode();
        return;
    }
    if (ContainsNoCase(commandLine, L"-service")) {
        Log::Verbose(L"Running as a service");
        // The service's name is not used: it runs in a process of its own.
        wchar_t serviceName[] = L"";
        const SERVICE_TABLE_ENTRYW table[] = {{serviceName, &ServiceMain}, {nullptr, nullptr}};
        if (!::StartServiceCtrlDispatcherW(table)) {
            Log::Error(L"Call to StartServiceCtrlDispatcher returned FALSE. Error code is %u",
                       static_cast<unsigned>(::GetLastError()));
        }
        return;
    }
    RunCommandLineMode();
}

void ServiceHost::RunPrepareCacheMode() {
    Log::Initialize();
    Log::destinations = LogDestination::Console;
    Log::threshold = static_cast<int32_t>(LogLevel::Info);
    exitCode = PrepareCache(CacheRoot::ProgramData());
}

void ServiceHost::StartRunLog() {
    TraceScope trace;
    std::unique_ptr<DownloadCache> cache;
    if (DownloadCache::Open(CacheRoot::ProgramData(), cache) != ERROR_SUCCESS) {
        Log::Error(L"No log file for this run: the cache folder is not usable");
        return;
    }
    if (RunLog::Start(cache->Folder() + kRunLogFolder, DownloadCache::kFolderSddl)) {
        Log::Info(L"This run's log file: [%s]", RunLog::Path().c_str());
    }
}

void ServiceHost::RunCommandLineMode() {
    Log::Verbose(L"Running as command line application");
    const bool verbose = ContainsNoCase(commandLine, L"-v");
    Log::Initialize();
    Log::destinations = LogDestination::Console;
    Log::threshold = static_cast<int32_t>(verbose ? LogLevel::Verbose : LogLevel::Info);

    if (!frontEnd.doneEvent.IsValid()) {
        Log::Error(L"Could not create the serving loop's event; the endpoint is not served");
        return;
    }
    StartRunLog();
    // Before anybody is served: a caller cannot then make the check fail by
    // holding the executable open.
    KeepServiceSignature(OwnExecutablePath());
    KeepServiceVersion(OwnExecutablePath());
    if (ContainsNoCase(commandLine, L"-pos")) {
        WaitForKey("Press any key to start");
    }
    // This run's timings, before anybody is served (nothing has created the
    // dispatcher yet, so they are taken).
    (void)SetUpdateRpcServerTimings(timings);
    const ULONGLONG started = ::GetTickCount64();
    if (!frontEnd.Run(timings.idleCheck)) {
        // The service that started this worker sees it end at once.
        exitCode = kEndpointNotServed;
    }
    // The outcome outlives the worker: its file ends with the summary.
    RunLog::Note(RunSummary(TheUpdateRpcServer().CurrentController(),
                            (::GetTickCount64() - started) / 1000,
                            TheUpdateRpcServer().AnsweredQueries())
                     .c_str());
    if (ContainsNoCase(commandLine, L"-poe")) {
        WaitForKey("Press any key to exit");
    }
}
