#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The service role: registers the control handler, reports start pending and
// running, honours "debugwait" on the registered command line, makes sure
// the standalone worker runs, and reports stopped.
void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);

// The control handler: stop and shutdown report stop pending and stopped;
// interrogate answers 0; everything else is logged and answered 120.
DWORD WINAPI HandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// Sends one status report on the host's status handle.
void ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint);

// The status record of a report. Pending states take `checkPoint` and
// advance it; running and stopped carry 0.
[[nodiscard]] SERVICE_STATUS BuildServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint,
                                                uint32_t& checkPoint);

// The parser's callback: waits for a debugger at "debugwait" (any letter
// case) and then ends the parse.
[[nodiscard]] bool OnServiceArgument(const std::wstring& name, const std::wstring& value);
