#include "host/service_main.h"

#include <cwchar>

#include "common/cmd_line_parser.h"
#include "common/log.h"
#include "common/trace_scope.h"
#include "host/service_host.h"
#include "host/worker_respawn.h"

namespace {

constexpr DWORD kAcceptedWhileStarting = SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE;
constexpr DWORD kAccepted = kAcceptedWhileStarting | SERVICE_ACCEPT_STOP;
constexpr DWORD kStartWaitHintMs = 3000;

void StopSequence() {
    TraceScope trace;
    ReportStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
    ReportStatus(SERVICE_STOPPED, NO_ERROR, 0);
}

}  // namespace

SERVICE_STATUS BuildServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint,
                                  uint32_t& checkPoint) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? kAcceptedWhileStarting : kAccepted;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    status.dwWaitHint = waitHint;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? checkPoint++ : 0;
    return status;
}

void ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    TraceScope trace(L"state=%u, exitCode=%u, waitHint=%u", static_cast<unsigned>(state),
                     static_cast<unsigned>(exitCode), static_cast<unsigned>(waitHint));
    SERVICE_STATUS status = BuildServiceStatus(state, exitCode, waitHint, serviceHost.checkPoint);
    (void)::SetServiceStatus(serviceHost.statusHandle, &status);
}

bool OnServiceArgument(const std::wstring& name, const std::wstring&) {
    TraceScope trace;
    if (name.size() != 9 || _wcsicmp(name.c_str(), L"debugwait") != 0) {
        return true;
    }
    Log::Info(L"Waiting for a debugger to attach");
    while (!::IsDebuggerPresent()) {
        ::Sleep(1000);
    }
    Log::Info(L"Debugger attached");
    return false;
}

DWORD WINAPI HandlerEx(DWORD control, DWORD eventType, LPVOID, LPVOID) {
    TraceScope trace(L"control [%lu] event [%lu]", static_cast<unsigned long>(control),
                     static_cast<unsigned long>(eventType));
    DWORD result = ERROR_CALL_NOT_IMPLEMENTED;
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            StopSequence();
            break;
        case SERVICE_CONTROL_INTERROGATE:
            result = NO_ERROR;
            break;
        case SERVICE_CONTROL_TIMECHANGE:
            serviceHost.OnTimeChange();
            break;
        default:
            Log::Verbose(L"Unhandled service control event, with dwControl=%u",
                         static_cast<unsigned>(control));
            break;
    }
    trace.SetExitText(L"%u", static_cast<unsigned>(result));
    return result;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    TraceScope trace;
    Log::Info(L"Starting kestrelGATE Auto Update Service");
    serviceHost.statusHandle = ::RegisterServiceCtrlHandlerExW(L"", &HandlerEx, nullptr);
    if (serviceHost.statusHandle == nullptr) {
        Log::Error(L"Call to RegisterServiceCtrlHandler returned NULL. Error code is %u",
                   static_cast<unsigned>(::GetLastError()));
        return;
    }
    ReportStatus(SERVICE_START_PENDING, NO_ERROR, kStartWaitHintMs);
    ReportStatus(SERVICE_RUNNING, NO_ERROR, 0);
    {
        TraceScope work;
        try {
            Common::ParseCmdLine(serviceHost.commandLine, &OnServiceArgument);
        } catch (const Common::CmdLineParseException& e) {
            // A command line the parser refuses never stops the service from
            // doing its work.
            Log::Error(
                L"The service command line was rejected: [%s]; starting the worker all the same",
                e.Message());
        }
        RespawnWorker(CacheRoot::ProgramData());
    }
    ReportStatus(SERVICE_STOPPED, NO_ERROR, 0);
    Log::Info(L"kestrelGATE Auto Update Service Stopped");
}
