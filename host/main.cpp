// Process entry of kgclient_update: command-line mode (the worker, or a run
// by hand) serves the local RPC endpoint; "-service" runs the service role.

#include <windows.h>

#include <string>

#include "common/trace_scope.h"
#include "host/service_host.h"

int wmain() {
    TraceScope trace;
    serviceHost.Run(std::wstring(::GetCommandLineW()));
    return 0;
}
