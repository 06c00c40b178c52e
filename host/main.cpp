// Process entry of kgclient_update.

#include <windows.h>

#include "common/trace_scope.h"

int wmain() {
    TraceScope trace(L"%s", ::GetCommandLineW());
    return 0;
}
