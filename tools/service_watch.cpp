// service_watch: follows one service's status for the tests, printing every
// change of (state, check point, wait hint, controls accepted) as
//   state=<n> checkpoint=<n> waithint=<n> controls=0x<hex>
// until the service has stopped after having been seen not stopped, or the
// given seconds have passed. A line "watching" is printed once it polls.
//
//   service_watch <service name> <seconds>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: service_watch <service name> <seconds>\n");
        return 2;
    }
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr ? ::OpenServiceW(manager, argv[1], SERVICE_QUERY_STATUS) : nullptr;
    if (service == nullptr) {
        std::printf("cannot open service: %lu\n", ::GetLastError());
        return 1;
    }
    std::printf("watching\n");
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(_wtoi(argv[2]));
    SERVICE_STATUS_PROCESS last = {};
    bool first = true;
    bool seenActive = false;
    while (std::chrono::steady_clock::now() < end) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                   reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
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
                break;
            }
        }
        ::Sleep(0);
    }
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return 0;
}
