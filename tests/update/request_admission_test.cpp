#include "update/request_admission.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"
#include "tests/support/text_checks.h"

namespace {

using namespace testsupport;

Caller Known(const wchar_t* sid, bool administrator) {
    Caller caller;
    caller.known = true;
    caller.sid = sid;
    caller.account = L"KG\\someone";
    caller.administrator = administrator;
    return caller;
}

const Caller kSystem = Known(L"S-1-5-18", true);
const Caller kAdministrator = Known(L"S-1-5-21-1-2-3-500", true);
const Caller kUser = Known(L"S-1-5-21-1-2-3-1001", false);
const Caller kUnknown;

UpdatePolicy Absent() {
    return UpdatePolicy();
}

UpdatePolicy InForce() {
    UpdatePolicy policy;
    policy.present = true;
    return policy;
}

UpdatePolicy Disabled() {
    UpdatePolicy policy = InForce();
    policy.updatesDisabled = true;
    return policy;
}

UpdatePolicy Hosts(std::vector<std::wstring> hosts) {
    UpdatePolicy policy = InForce();
    policy.restrictsHosts = true;
    policy.allowedHosts = std::move(hosts);
    return policy;
}

UpdatePolicy Arguments(std::vector<std::wstring> allowed) {
    UpdatePolicy policy = InForce();
    policy.allowedArguments = std::move(allowed);
    return policy;
}

// A key that others may write is no policy: it neither restricts nor allows.
UpdatePolicy Ignored(UpdatePolicy policy) {
    policy.ignored = true;
    return policy;
}

const std::wstring kA = L"https://updates.example.com/a.exe";
const std::wstring kB = L"https://MIRROR.example.net:8443/b.exe";
const std::wstring kC = L"https://elsewhere.example.org/c.exe";

TEST(AdmitRequest, CallersPolicyAndArgumentsDecideWhatIsCarriedOut) {
    const struct {
        const char* what;
        Caller caller;
        std::wstring args;
        UpdatePolicy policy;
        std::vector<std::wstring> admitted;  // empty: refused
        const char* because;
    } cases[] = {
        // No policy: administrators as before; others without arguments only.
        {"system, arguments", kSystem, L"/l*v C:\\x.log", Absent(), {kA, kB}, ""},
        {"administrator, arguments", kAdministrator, L"TRANSFORMS=x.mst", Absent(), {kA, kB}, ""},
        {"user, none", kUser, L"", Absent(), {kA, kB}, ""},
        {"user, arguments", kUser, L"/l*v C:\\x.log", Absent(), {},
         "The installer arguments \"/l*v C:\\x.log\" are refused"},
        {"unknown, arguments", kUnknown, L"--exit=0", Absent(), {}, "are refused"},
        // Allowed arguments: exactly the text, for users; administrators as before.
        {"user, allowed", kUser, L"/passive", Arguments({L"/passive", L"/norestart"}), {kA, kB},
         ""},
        {"user, allowed but longer", kUser, L"/passive x=1", Arguments({L"/passive"}), {},
         "are refused"},
        {"user, other case", kUser, L"/PASSIVE", Arguments({L"/passive"}), {}, "are refused"},
        {"user, key others may write", kUser, L"/passive", Ignored(Arguments({L"/passive"})), {},
         "are refused"},
        // Updates turned off: every caller.
        {"system, disabled", kSystem, L"", Disabled(), {}, "updates are turned off by policy"},
        {"user, disabled", kUser, L"", Disabled(), {}, "updates are turned off by policy"},
        {"ignored disabled", kUser, L"", Ignored(Disabled()), {kA, kB}, ""},
        // Allowed hosts: every caller; the host alone, case ignored, port aside.
        {"hosts, one left", kAdministrator, L"", Hosts({L"mirror.EXAMPLE.net"}), {kB}, ""},
        {"hosts, both", kUser, L"", Hosts({L"updates.example.com", L"mirror.example.net"}),
         {kA, kB}, ""},
        {"hosts, none left", kSystem, L"", Hosts({kC}), {}, "names a host that policy allows"},
        {"hosts, empty list", kSystem, L"", Hosts({}), {}, "names a host that policy allows"},
        {"hosts, a suffix is not the host", kUser, L"", Hosts({L"example.com"}), {},
         "names a host that policy allows"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        std::vector<std::wstring> urls;
        UpdateFailure failure;
        const bool admitted = AdmitRequest({kA, kB}, c.args, c.caller, c.policy, urls, failure);
        const std::string log = capture.Take();
        EXPECT_EQ(!c.admitted.empty(), admitted) << log;
        EXPECT_EQ(c.admitted, urls);
        if (c.admitted.empty()) {
            EXPECT_EQ(std::wstring(kStageRequest), failure.stage);
            EXPECT_NE(std::string::npos, Narrow(failure.text).find(c.because))
                << Narrow(failure.text);
            EXPECT_TRUE(Has(log, "  ERROR : The update is refused: ")) << log;
        } else {
            EXPECT_FALSE(failure.IsSet());
        }
    }
}

TEST(AdmitRequest, ARefusedHostIsLoggedWithItsUrl) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    std::vector<std::wstring> urls;
    UpdateFailure failure;
    EXPECT_TRUE(AdmitRequest({kC, kA}, L"", kUser, Hosts({L"updates.example.com"}), urls,
                             failure));
    EXPECT_EQ(std::vector<std::wstring>{kA}, urls);
    const std::string log = capture.Take();
    EXPECT_TRUE(Has(log, "WARNING : URL refused by policy: its host [elsewhere.example.org] is "
                         "not among the allowed hosts: [https://elsewhere.example.org/c.exe]\n"))
        << log;
}

}  // namespace
