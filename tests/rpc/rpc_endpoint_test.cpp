#include "rpc/rpc_endpoint.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/process_account.h"
#include "rpc/update_rpc_client.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"

namespace {

using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;

// A run time that records its calls and fails the one it is told to.
std::vector<std::string> calls;
std::string failing;
RPC_STATUS failure = 0;

RPC_STATUS Record(const char* name) {
    calls.push_back(name);
    return failing == name ? failure : RPC_S_OK;
}

RPC_BINDING_VECTOR fakeVector = {0, {nullptr}};

// What the interface was registered with.
struct Registration {
    unsigned int flags = 0;
    unsigned int maxCalls = 0;
    unsigned int maxRpcSize = 0;
    RPC_IF_CALLBACK_FN* callback = nullptr;
} registration;
unsigned int listenMaxCalls = 0;

struct RecordingRuntime : RpcRuntime {
    RPC_STATUS UseProtseqEp(RPC_WSTR, unsigned int, RPC_WSTR, void*) override {
        return Record("useProtseqEp");
    }
    RPC_STATUS RegisterIf(RPC_IF_HANDLE, UUID*, RPC_MGR_EPV*, unsigned int flags,
                          unsigned int maxCalls, unsigned int maxRpcSize,
                          RPC_IF_CALLBACK_FN* callback) override {
        registration = {flags, maxCalls, maxRpcSize, callback};
        return Record("registerIf");
    }
    RPC_STATUS InqBindings(RPC_BINDING_VECTOR** vector) override {
        const RPC_STATUS status = Record("inqBindings");
        *vector = status == RPC_S_OK ? &fakeVector : nullptr;
        return status;
    }
    RPC_STATUS EpRegister(RPC_IF_HANDLE, RPC_BINDING_VECTOR*, UUID_VECTOR*, RPC_WSTR) override {
        return Record("epRegister");
    }
    RPC_STATUS RegisterAuthInfo(RPC_WSTR, unsigned long, RPC_AUTH_KEY_RETRIEVAL_FN,
                                void*) override {
        return Record("registerAuthInfo");
    }
    RPC_STATUS Listen(unsigned int, unsigned int maxCalls, unsigned int) override {
        listenMaxCalls = maxCalls;
        return Record("listen");
    }
    RPC_STATUS StopListening(RPC_BINDING_HANDLE) override { return Record("stopListening"); }
    RPC_STATUS UnregisterIf(RPC_IF_HANDLE, UUID*, unsigned int) override {
        return Record("unregisterIf");
    }
    RPC_STATUS EpUnregister(RPC_IF_HANDLE, RPC_BINDING_VECTOR*, UUID_VECTOR*) override {
        return Record("epUnregister");
    }
    RPC_STATUS BindingVectorFree(RPC_BINDING_VECTOR** vector) override {
        EXPECT_EQ(&fakeVector, *vector) << "only the vector the run time gave is freed";
        *vector = nullptr;
        return Record("bindingVectorFree");
    }
} recordingRuntime;

struct Outcome {
    std::vector<std::string> calls;
    std::string log;
    bool started = false;
};

Outcome StartWith(const std::string& failingCall, RPC_STATUS status) {
    calls.clear();
    failing = failingCall;
    failure = status;
    ScopedLogSettings settings(LogDestination::Console, 6);
    StdoutCapture capture;
    const Common::ScopedOverride<RpcRuntime> seam(recordingRuntime);
    const bool started = StartListening();
    return {calls, capture.Take(), started};
}

TEST(StartListening, UndoesWhatWasRegisteredWhenAStepFails) {
    using Calls = std::vector<std::string>;
    const struct {
        const char* failing;
        const char* message;
        Calls expected;
    } cases[] = {
        {"useProtseqEp", "RpcServerUseProtseqEp returned [1740]", {"useProtseqEp"}},
        {"registerIf",
         "RpcServerRegisterIf UpdateRPC returned [1740]",
         {"useProtseqEp", "registerIf"}},
        {"inqBindings",
         "RpcServerInqBindings returned [1740]",
         {"useProtseqEp", "registerIf", "inqBindings", "unregisterIf"}},
        {"epRegister",
         "RpcEpRegister returned [1740]",
         {"useProtseqEp", "registerIf", "inqBindings", "epRegister", "unregisterIf",
          "bindingVectorFree"}},
        {"registerAuthInfo",
         "RpcServerRegisterAuthInfo returned [1740]",
         {"useProtseqEp", "registerIf", "inqBindings", "epRegister", "registerAuthInfo",
          "unregisterIf", "bindingVectorFree"}},
        {"listen",
         "RpcServerListen returned [1740]",
         {"useProtseqEp", "registerIf", "inqBindings", "epRegister", "registerAuthInfo", "listen",
          "unregisterIf", "bindingVectorFree"}},
    };
    for (const auto& c : cases) {
        const Outcome outcome = StartWith(c.failing, 1740);
        EXPECT_FALSE(outcome.started) << c.failing;
        EXPECT_EQ(c.expected, outcome.calls) << c.failing;
        EXPECT_NE(std::string::npos, outcome.log.find(std::string("  ERROR : ") + c.message + "\n"))
            << outcome.log;
        EXPECT_EQ(0u, outcome.log.rfind("  ENTER : Entering RPC StartListening\n", 0));
        EXPECT_NE(std::string::npos, outcome.log.find("   EXIT : Exiting RPC StartListening\n"));
        EXPECT_EQ(nullptr, bindingVector);
    }
}

TEST(StopListening, ReleasesTheBindingsOnceAndReportsASecondStop) {
    const Outcome started = StartWith("", 0);
    EXPECT_TRUE(started.started);
    ASSERT_EQ(&fakeVector, bindingVector);
    EXPECT_EQ(std::string::npos, started.log.find("ERROR"));

    calls.clear();
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const Common::ScopedOverride<RpcRuntime> seam(recordingRuntime);
    StopListening();
    EXPECT_EQ((std::vector<std::string>{"stopListening", "unregisterIf", "epUnregister",
                                        "bindingVectorFree"}),
              calls);
    EXPECT_EQ(nullptr, bindingVector);

    calls.clear();
    failing = "unregisterIf";
    failure = 1717;
    StopListening();
    EXPECT_EQ((std::vector<std::string>{"stopListening", "unregisterIf"}), calls);
    EXPECT_EQ("  ERROR : RpcServerUnregisterIf UpdateRpc returned [1717]\n", capture.Take());
}

TEST(StartListening, RegistersForLocalCallersWithBoundedCallsAndSizes) {
    const Outcome started = StartWith("", 0);
    ASSERT_TRUE(started.started);
    EXPECT_NE(0u, registration.flags & RPC_IF_ALLOW_LOCAL_ONLY);
    EXPECT_NE(0u, registration.flags & RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH)
        << "local callers that did not authenticate still reach the callback";
    EXPECT_EQ(&AdmitLocalCallers, registration.callback);
    EXPECT_EQ(kMaxConcurrentCalls, registration.maxCalls);
    EXPECT_EQ(kMaxConcurrentCalls, listenMaxCalls);
    EXPECT_EQ(kMaxRequestBytes, registration.maxRpcSize);
    // A whole instruction of the longest kind fits; ten of them do not.
    EXPECT_GT(kMaxRequestBytes, 2 * 65536u + 1024u);
    EXPECT_LT(kMaxRequestBytes, 10 * 2 * 65536u);
    const Common::ScopedOverride<RpcRuntime> seam(recordingRuntime);
    StopListening();
}

// The security callback, called directly with bindings of each transport
// (Wine's run time does not refuse remote transports for it).
TEST(AdmitLocalCallers, AdmitsTheLocalTransportOnly) {
    const struct {
        const wchar_t* binding;
        RPC_STATUS expected;
    } cases[] = {
        {L"ncalrpc:[kgupdate-rpc]", RPC_S_OK},
        {L"NCALRPC:[other]", RPC_S_OK},
        {L"ncacn_ip_tcp:127.0.0.1[4747]", RPC_S_ACCESS_DENIED},
        {L"ncacn_np:\\\\server[\\pipe\\kgupdate]", RPC_S_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        RPC_BINDING_HANDLE binding = nullptr;
        ASSERT_EQ(RPC_S_OK, ::RpcBindingFromStringBindingW(
                                reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(c.binding)),
                                &binding));
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        EXPECT_EQ(c.expected, AdmitLocalCallers(nullptr, binding)) << testsupport::Narrow(c.binding);
        const std::string log = capture.Take();
        EXPECT_EQ(c.expected != RPC_S_OK,
                  log.find("only local callers are served") != std::string::npos)
            << log;
        ::RpcBindingFree(&binding);
    }
    EXPECT_EQ(RPC_S_ACCESS_DENIED, AdmitLocalCallers(nullptr, nullptr));
    EXPECT_FALSE(IsLocalProtocolSequence(nullptr));
    EXPECT_FALSE(IsLocalProtocolSequence(L"ncalrpc2"));
}

// The client sends nothing unless the server's account is LocalSystem or the
// caller's own. Whether the run time enforces the requirement is Windows'
// part (Wine runs every process as one account and does not check it); what
// the client asks for, in which order, and that it sends nothing when both
// are refused, is tested through the requirement's seam.
std::vector<std::wstring> asked;
std::vector<std::wstring> refused;

RPC_STATUS RequireForTest(RPC_BINDING_HANDLE, const std::wstring& account) {
    asked.push_back(account);
    for (const auto& r : refused) {
        if (r == account) {
            return RPC_S_SEC_PKG_ERROR;
        }
    }
    return RPC_S_OK;
}

// Called while the endpoint is served (the run time serves it once a process).
void ExpectClientsSendOnlyToAServerOfLocalSystemOrTheCallersOwnAccount() {
    const std::wstring own = Common::OwnAccountSid();
    ASSERT_FALSE(own.empty());
    ASSERT_NE(std::wstring(kLocalSystemSid), own) << "Wine runs tests as a user account";
    struct Case {
        const char* what;
        std::vector<std::wstring> refused;
        std::vector<std::wstring> asked;
        bool sent;
    };
    const Case cases[] = {
        {"a LocalSystem server", {}, {kLocalSystemSid}, true},
        {"a server of the caller's account", {kLocalSystemSid}, {kLocalSystemSid, own}, true},
        {"a server of another account", {kLocalSystemSid, own}, {kLocalSystemSid, own}, false},
    };
    for (const Case& c : cases) {
        asked.clear();
        refused = c.refused;
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        UpdateRpcClient client(&RequireForTest);
        (void)client.Bind();
        std::wstring response;
        bool hasResponse = true;
        const DWORD code = client.Call(L"{\"id\":\"noSuchInstruction\"}", response, hasResponse);
        const std::string log = capture.Take();
        EXPECT_EQ(c.asked, asked) << c.what;
        EXPECT_EQ(c.sent ? 0u : static_cast<DWORD>(RPC_S_SEC_PKG_ERROR), code) << c.what;
        EXPECT_EQ(c.sent, log.find("RPC Invoke: raw request") != std::string::npos) << c.what << log;
    }

    // The real requirement is accepted by the run time on this binding.
    RPC_BINDING_HANDLE binding = nullptr;
    ASSERT_EQ(RPC_S_OK, ::RpcBindingFromStringBindingW(
                            reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc:[kgupdate-rpc]")),
                            &binding));
    EXPECT_EQ(RPC_S_OK, RequireServerAccount(binding, kLocalSystemSid));
    EXPECT_NE(RPC_S_OK, RequireServerAccount(binding, L"not a SID"));
    ::RpcBindingFree(&binding);
}

// The real endpoint, called through the real client stub in this process.
TEST(UpdateRpcEndpoint, ServesInvokeOverLocalRpc) {
    ScopedLogSettings settings(LogDestination::Console, 1);
    StdoutCapture capture;
    ASSERT_TRUE(StartListening());
    UpdateRpcClient client;
    ASSERT_EQ(RPC_S_OK, client.Bind());
    std::wstring response = L"unchanged";
    bool hasResponse = true;
    EXPECT_EQ(0u, client.Call(L"{\"id\":\"noSuchInstruction\"}", response, hasResponse));
    EXPECT_FALSE(hasResponse) << "a null response, and the call completes";
    EXPECT_EQ(0u, client.Call(L"{\"id\":\"queryAutoUpdateProgress\"}", response, hasResponse));
    EXPECT_FALSE(hasResponse);
    EXPECT_EQ("", capture.Take());
    ExpectClientsSendOnlyToAServerOfLocalSystemOrTheCallersOwnAccount();
    StdoutCapture stopping;
    StopListening();
    StopListening();
    EXPECT_EQ("  ERROR : RpcServerUnregisterIf UpdateRpc returned [1717]\n", stopping.Take());

    // Nobody serves the endpoint any more: the client survives the failure.
    UpdateRpcClient late;
    ASSERT_EQ(RPC_S_OK, late.Bind());
    EXPECT_NE(0u, late.Call(L"{\"id\":\"queryAutoUpdateProgress\"}", response, hasResponse));
}

}  // namespace
