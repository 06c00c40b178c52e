#include "host/service_main.h"

#include <string>

#include <gtest/gtest.h>

#include "host/service_host.h"
#include "tests/support/log_capture.h"

namespace {

using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;

TEST(ServiceStatus, PendingStatesCarryTheCheckPointOthersZero) {
    uint32_t checkPoint = 0;
    const SERVICE_STATUS starting = BuildServiceStatus(SERVICE_START_PENDING, 0, 3000, checkPoint);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), starting.dwServiceType);
    EXPECT_EQ(0u, starting.dwCheckPoint);
    EXPECT_EQ(3000u, starting.dwWaitHint);
    EXPECT_EQ(0x84u, starting.dwControlsAccepted);
    const SERVICE_STATUS running = BuildServiceStatus(SERVICE_RUNNING, 0, 0, checkPoint);
    EXPECT_EQ(0u, running.dwCheckPoint);
    EXPECT_EQ(0x85u, running.dwControlsAccepted);
    const SERVICE_STATUS stopping = BuildServiceStatus(SERVICE_STOP_PENDING, 0, 0, checkPoint);
    EXPECT_EQ(1u, stopping.dwCheckPoint);  // never reset
    EXPECT_EQ(0x85u, stopping.dwControlsAccepted);
    const SERVICE_STATUS stopped = BuildServiceStatus(SERVICE_STOPPED, 0, 0, checkPoint);
    EXPECT_EQ(0u, stopped.dwCheckPoint);
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
    EXPECT_EQ(0u, stopped.dwServiceSpecificExitCode);
    EXPECT_EQ(2u, checkPoint);
}

struct Control {
    DWORD result;
    std::string log;
    uint32_t checkPointAdvance;
};

Control Send(DWORD control, DWORD eventType = 0) {
    ScopedLogSettings settings(LogDestination::Console, 6);
    StdoutCapture capture;
    const uint32_t before = serviceHost.checkPoint;
    const DWORD result = HandlerEx(control, eventType, nullptr, nullptr);
    return {result, capture.Take(), serviceHost.checkPoint - before};
}

TEST(HandlerEx, AnswersEachControl) {
    const Control interrogate = Send(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(0u, interrogate.result);
    EXPECT_EQ(0u, interrogate.checkPointAdvance);
    EXPECT_EQ("  ENTER : control [4] event [0]\n   EXIT : 0\n", interrogate.log);

    const Control session = Send(SERVICE_CONTROL_SESSIONCHANGE, 5);
    EXPECT_EQ(120u, session.result);
    EXPECT_NE(std::string::npos,
              session.log.find("VERBOSE : Unhandled service control event, with dwControl=14\n"));

    const Control time = Send(SERVICE_CONTROL_TIMECHANGE);
    EXPECT_EQ(120u, time.result);
    EXPECT_NE(std::string::npos, time.log.find("   INFO : The SYSTEM TIME changed\n"));

    for (DWORD stop :
         {static_cast<DWORD>(SERVICE_CONTROL_STOP), static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN)}) {
        const Control stopped = Send(stop);
        EXPECT_EQ(120u, stopped.result);
        EXPECT_EQ(1u, stopped.checkPointAdvance) << "one stop-pending report";
        const size_t pending = stopped.log.find("  ENTER : state=3, exitCode=0, waitHint=0\n");
        ASSERT_NE(std::string::npos, pending) << stopped.log;
        EXPECT_NE(std::string::npos,
                  stopped.log.find("  ENTER : state=1, exitCode=0, waitHint=0\n", pending));
        EXPECT_NE(std::string::npos, stopped.log.find("   EXIT : 120\n"));
    }
}

TEST(OnServiceArgument, OnlyDebugwaitStopsTheParse) {
    for (const wchar_t* name : {L"service", L"debugwait2", L"debug", L"C"}) {
        EXPECT_TRUE(OnServiceArgument(name, L"")) << name;
    }
}

TEST(ServiceHost, AServiceRunNotStartedByTheServiceManagerLogsAndReturns) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    serviceHost.Run(L"\"C:\\kg\\kgclient_update.exe\" -service");
    EXPECT_NE(
        std::string::npos,
        capture.Take().find(
            "  ERROR : Call to StartServiceCtrlDispatcher returned FALSE. Error code is 1063\n"));
}

// A worker whose endpoint another process registered first: it ends at once
// with an ERROR instead of waiting 30 seconds without serving.
TEST(FrontEndRunner, AWorkerWithoutItsEndpointEndsAtOnce) {
    // Every call counts; the endpoint is taken.
    struct EndpointTaken : RpcRuntime {
        int calls = 0;
        RPC_STATUS UseProtseqEp(RPC_WSTR, unsigned int, RPC_WSTR, void*) override {
            ++calls;
            return RPC_S_DUPLICATE_ENDPOINT;
        }
        RPC_STATUS RegisterIf(RPC_IF_HANDLE, UUID*, RPC_MGR_EPV*, unsigned int, unsigned int,
                              unsigned int, RPC_IF_CALLBACK_FN*) override {
            return ++calls, RPC_S_OK;
        }
        RPC_STATUS InqBindings(RPC_BINDING_VECTOR**) override { return ++calls, RPC_S_OK; }
        RPC_STATUS EpRegister(RPC_IF_HANDLE, RPC_BINDING_VECTOR*, UUID_VECTOR*,
                              RPC_WSTR) override {
            return ++calls, RPC_S_OK;
        }
        RPC_STATUS RegisterAuthInfo(RPC_WSTR, unsigned long, RPC_AUTH_KEY_RETRIEVAL_FN,
                                    void*) override {
            return ++calls, RPC_S_OK;
        }
        RPC_STATUS Listen(unsigned int, unsigned int, unsigned int) override {
            return ++calls, RPC_S_OK;
        }
        RPC_STATUS StopListening(RPC_BINDING_HANDLE) override { return ++calls, RPC_S_OK; }
        RPC_STATUS UnregisterIf(RPC_IF_HANDLE, UUID*, unsigned int) override {
            return ++calls, RPC_S_OK;
        }
        RPC_STATUS EpUnregister(RPC_IF_HANDLE, RPC_BINDING_VECTOR*, UUID_VECTOR*) override {
            return ++calls, RPC_S_OK;
        }
        RPC_STATUS BindingVectorFree(RPC_BINDING_VECTOR**) override { return ++calls, RPC_S_OK; }
    } endpointTaken;
    const Common::ScopedOverride<RpcRuntime> seam(endpointTaken);
    int& calls = endpointTaken.calls;
    FrontEndRunner runner;
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    EXPECT_FALSE(runner.Run());  // would wait 30 s per check if it served
    const std::string log = capture.Take();
    EXPECT_EQ(1, calls) << "nothing after the refused endpoint";
    EXPECT_NE(std::string::npos, log.find("  ERROR : RpcServerUseProtseqEp returned [1740]\n"));
    EXPECT_NE(std::string::npos,
              log.find("  ERROR : The update endpoint [kgupdate-rpc] is taken by another process; "
                       "callers send nothing to it unless it runs as LocalSystem or as themselves\n"))
        << log;
    EXPECT_NE(std::string::npos,
              log.find("  ERROR : The update endpoint could not be served; the worker ends\n"));
    EXPECT_EQ(std::string::npos, log.find("process triggered")) << log;
}

}  // namespace
