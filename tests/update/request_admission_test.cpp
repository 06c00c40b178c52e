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
    policy.trusted = true;
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

// A key that others may write: it still restricts, it allows nothing.
UpdatePolicy Unprotected(UpdatePolicy policy) {
    policy.trusted = false;
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
        {"user, key others may write", kUser, L"/passive", Unprotected(Arguments({L"/passive"})),
         {}, "are refused"},
        // Updates turned off: every caller.
        {"system, disabled", kSystem, L"", Disabled(), {}, "updates are turned off by policy"},
        {"user, disabled", kUser, L"", Disabled(), {}, "updates are turned off by policy"},
        {"disabled by a key others may write", kAdministrator, L"", Unprotected(Disabled()), {},
         "updates are turned off by policy"},
        // Allowed hosts: every caller; the host alone, case ignored, port aside.
        {"hosts, one left", kAdministrator, L"", Hosts({L"mirror.EXAMPLE.net"}), {kB}, ""},
        {"hosts, both", kUser, L"", Hosts({L"updates.example.com", L"mirror.example.net"}),
         {kA, kB}, ""},
        {"hosts, none left", kSystem, L"", Hosts({kC}), {}, "names a host that policy allows"},
        {"hosts, empty list", kSystem, L"", Hosts({}), {}, "names a host that policy allows"},
        {"hosts, a suffix is not the host", kUser, L"", Hosts({L"example.com"}), {},
         "names a host that policy allows"},
        {"hosts of a key others may write", kUser, L"", Unprotected(Hosts({L"mirror.example.net"})),
         {kB}, ""},
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

namespace {

// What a begin asks for is judged before anything is requested: a URL to
// try, a digest that is one, then who asks and policy. An admitted request
// passes again unchanged, with no warning, as the update re-checks it.
TEST(AdmitBegin, ChecksTheRequestThenCallerAndPolicy) {
    const std::wstring lower(64, L'a');
    const struct {
        const char* what;
        UpdateRequest request;
        Caller caller;
        UpdatePolicy policy;
        bool admitted;
        int64_t code;
        const char* log;  // the ERROR that says why
    } cases[] = {
        {"no URL", {{}, L"", L""}, kSystem, Absent(), false, 87,
         "  ERROR : The update request names no URL; nothing to download.\n"},
        {"a path for a hash", {{kA}, L"..\\..\\x", L""}, kSystem, Absent(), false, 87,
         "  ERROR : The policy hash is not 64 hexadecimal digits; the update is refused.\n"},
        {"a drive for a hash", {{kA}, L"C:x", L""}, kSystem, Absent(), false, 87,
         "  ERROR : The policy hash is not 64 hexadecimal digits"},
        {"arguments of a user", {{kA}, L"", L"/x"}, kUser, Absent(), false, 5,
         "  ERROR : The update is refused: "},
        {"turned off", {{kA}, lower, L""}, kSystem, Disabled(), false, 5,
         "  ERROR : The update is refused: updates are turned off by policy\n"},
        {"sound, digest in lower case", {{kC, kA}, lower, L"/x"}, kAdministrator,
         Hosts({L"updates.example.com"}), true, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        UpdateRequest admitted;
        UpdateFailure failure;
        EXPECT_EQ(c.admitted, AdmitBegin(c.request, c.caller, c.policy, admitted, failure));
        const std::string log = capture.Take();
        EXPECT_TRUE(Has(log, c.log)) << log;
        if (!c.admitted) {
            EXPECT_EQ(std::wstring(kStageRequest), failure.stage);
            EXPECT_EQ(c.code, failure.code);
            EXPECT_TRUE(admitted.urls.empty());
            continue;
        }
        EXPECT_EQ(std::vector<std::wstring>{kA}, admitted.urls);
        EXPECT_EQ(std::wstring(64, L'A'), admitted.hash);
        EXPECT_EQ(L"/x", admitted.args);
        StdoutCapture again;
        UpdateRequest twice;
        EXPECT_TRUE(AdmitBegin(admitted, c.caller, c.policy, twice, failure));
        EXPECT_EQ(admitted.urls, twice.urls);
        EXPECT_EQ(admitted.hash, twice.hash);
        const std::string second = again.Take();
        EXPECT_FALSE(Has(second, "WARNING") || Has(second, "ERROR")) << second;
    }
}

}  // namespace

namespace {

// An older release only for an administrator's begin under a protected key
// that allows it; a key others may change allows nothing.
TEST(AdmittedReleases, AnOlderReleaseOnlyForAdministratorsWhenPolicyAllowsIt) {
    UpdatePolicy allowing = InForce();
    allowing.allowDowngrade = true;
    const struct {
        const char* what;
        Caller caller;
        UpdatePolicy policy;
        ReleaseRule rule;
    } cases[] = {
        {"system, no key", kSystem, Absent(), ReleaseRule::kNotOlder},
        {"system, allowed", kSystem, allowing, ReleaseRule::kOlderAllowed},
        {"administrator, allowed", kAdministrator, allowing, ReleaseRule::kOlderAllowed},
        {"administrator, key others may write", kAdministrator, Unprotected(allowing),
         ReleaseRule::kNotOlder},
        {"administrator, not set", kAdministrator, InForce(), ReleaseRule::kNotOlder},
        {"user, allowed", kUser, allowing, ReleaseRule::kNewerOnly},
        {"user, no key", kUser, Absent(), ReleaseRule::kNewerOnly},
        {"unknown, allowed", kUnknown, allowing, ReleaseRule::kNewerOnly},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.rule, AdmittedReleases(c.caller, c.policy)) << c.what;
    }
}

}  // namespace
