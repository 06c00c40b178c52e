// service_watch: follows one service's status for the tests, printing every
// change of (state, check point, wait hint, controls accepted) that a poll
// sees as
//   state=<n> checkpoint=<n> waithint=<n> controls=0x<hex>
// and every status the Service Control Manager notifies (each report the
// service makes is handed to the registered watchers as it is made, so a
// report that lasts only microseconds is not lost to the poll) as
//   notified state=<n> checkpoint=<n> waithint=<n> controls=0x<hex>
// until the service has stopped after having been seen not stopped, or the
// given seconds have passed. A line "watching" is printed once it polls.
//
//   service_watch <service name> <seconds>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>

namespace {

constexpr DWORD kAllStates = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_START_PENDING |
                             SERVICE_NOTIFY_STOP_PENDING | SERVICE_NOTIFY_RUNNING |
                             SERVICE_NOTIFY_CONTINUE_PENDING | SERVICE_NOTIFY_PAUSE_PENDING |
                             SERVICE_NOTIFY_PAUSED;

SERVICE_NOTIFYW notify = {};
bool notified = false;

DWORD NotifyMaskFor(DWORD state) {
    // The state the service is in now would be notified at once: leave it out.
    return kAllStates & ~(1u << (state - 1));
}

void CALLBACK OnNotify(void* parameter) {
    const auto* note = static_cast<SERVICE_NOTIFYW*>(parameter);
    const SERVICE_STATUS_PROCESS& status = note->ServiceStatus;
    std::printf("notified state=%lu checkpoint=%lu waithint=%lu controls=0x%lx\n",
                status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint,
                status.dwControlsAccepted);
    std::fflush(stdout);
    notified = true;
}

bool Register(SC_HANDLE service, DWORD state) {
    notify = {};
    notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    notify.pfnNotifyCallback = &OnNotify;
    notify.pContext = nullptr;
    return ::NotifyServiceStatusChangeW(service, NotifyMaskFor(state), &notify) == ERROR_SUCCESS;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: service_watch <service name> <seconds>\n");
        return 2;
    }
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr
                            ? ::OpenServiceW(manager, argv[1], SERVICE_QUERY_STATUS)
                            : nullptr;
    if (service == nullptr) {
        std::printf("cannot open service: %lu\n", ::GetLastError());
        return 1;
    }
    SERVICE_STATUS_PROCESS last = {};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&last),
                                sizeof(last), &needed) ||
        !Register(service, last.dwCurrentState)) {
        std::printf("cannot watch service: %lu\n", ::GetLastError());
        return 1;
    }
    std::printf("watching\n");
    std::fflush(stdout);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(_wtoi(argv[2]));
    bool first = true;
    bool seenActive = false;
    bool stopped = false;
    bool stopNotified = false;
    while (std::chrono::steady_clock::now() < end && !stopNotified) {
        SERVICE_STATUS_PROCESS status = {};
        if (!stopped && ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                               reinterpret_cast<BYTE*>(&status), sizeof(status),
                                               &needed)) {
            if (first || status.dwCurrentState != last.dwCurrentState ||
                status.dwCheckPoint != last.dwCheckPoint || status.dwWaitHint != last.dwWaitHint ||
                status.dwControlsAccepted != last.dwControlsAccepted) {
                std::printf("state=%lu checkpoint=%lu waithint=%lu controls=0x%lx\n",
                            status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint,
                            status.dwControlsAccepted);
                std::fflush(stdout);
                first = false;
                last = status;
            }
            seenActive = seenActive || status.dwCurrentState != SERVICE_STOPPED;
            if (seenActive && status.dwCurrentState == SERVICE_STOPPED) {
                // The poll is done; the stop's notification may still be on its way.
                stopped = true;
                end = std::min(end, std::chrono::steady_clock::now() + std::chrono::seconds(2));
            }
        }
        ::SleepEx(stopped ? 10 : 0, TRUE);  // notifications arrive as calls queued to this thread
        if (notified) {
            notified = false;
            stopNotified = seenActive && notify.ServiceStatus.dwCurrentState == SERVICE_STOPPED;
            if (!stopNotified) {
                (void)Register(service, notify.ServiceStatus.dwCurrentState);
            }
        }
    }
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return 0;
}
