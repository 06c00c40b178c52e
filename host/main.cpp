// Process entry of kgclient_update: command-line mode (the worker, or a run
// by hand) serves the local RPC endpoint; "-service" runs the service role.

#include <windows.h>

#include <string>

#include "common/crash_report.h"
#include "common/system_library.h"
#include "common/trace_scope.h"
#include "host/process_timings.h"
#include "host/service_host.h"

int wmain() {
    // Before anything loads a library at run time.
    Common::RestrictLibrarySearchToSystemFolder();
    // Before the first log line, which registers the trace provider.
    StartCrashReporting();
    TraceScope trace;
    serviceHost.timings = ProcessTimings();
    serviceHost.Run(std::wstring(::GetCommandLineW()));
    return static_cast<int>(serviceHost.exitCode);
}
