#include "update/update_policy.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_handle.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"
#include "tests/support/text_checks.h"

namespace {

using namespace testsupport;

constexpr wchar_t kTestKey[] = L"Software\\kestrelGATE-tests\\PolicyReading";

// A policy key of the test's own under HKEY_CURRENT_USER, removed after.
class PolicyKey {
  public:
    PolicyKey() {
        (void)::RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
        EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, key_.Receive(),
                                                   nullptr));
    }
    ~PolicyKey() { (void)::RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey); }

    void Number(const wchar_t* name, DWORD value) {
        EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key_.Get(), name, 0, REG_DWORD,
                                                  reinterpret_cast<const BYTE*>(&value),
                                                  sizeof(value)));
    }
    // `strings` as REG_MULTI_SZ (each ended, then one more end).
    void Strings(const wchar_t* name, const std::vector<std::wstring>& strings,
                 DWORD type = REG_MULTI_SZ) {
        std::wstring data;
        for (const auto& s : strings) {
            data += s;
            data.push_back(L'\0');
        }
        data.push_back(L'\0');
        EXPECT_EQ(ERROR_SUCCESS,
                  ::RegSetValueExW(key_.Get(), name, 0, type,
                                   reinterpret_cast<const BYTE*>(data.data()),
                                   static_cast<DWORD>(data.size() * sizeof(wchar_t))));
    }

  private:
    Common::RegistryKey key_;
};

TEST(ReadUpdatePolicy, WithoutAKeyOnlyTheBuiltInRulesApply) {
    (void)::RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    const UpdatePolicy policy = ReadUpdatePolicy(HKEY_CURRENT_USER, kTestKey);
    EXPECT_FALSE(policy.present);
    EXPECT_FALSE(policy.DisablesUpdates());
    EXPECT_TRUE(policy.AllowsHost(L"any.example.com"));
    EXPECT_TRUE(policy.AllowsArguments(L""));
    EXPECT_FALSE(policy.AllowsArguments(L"/passive"));
    EXPECT_FALSE(policy.AllowsDowngrade());
    // Says what is true: no restriction, and what callers may do without one.
    const std::string described = Narrow(policy.Describe());
    EXPECT_TRUE(Has(described, "not present: no update is restricted by policy; administrators "
                               "may pass any installer arguments and install any release that is "
                               "not older than the installed one; other callers may pass no "
                               "installer arguments and install only a newer release"))
        << described;
}

TEST(ReadUpdatePolicy, ReadsTheFourValues) {
    PolicyKey key;
    key.Number(kPolicyUpdatesDisabled, 1);
    key.Strings(kPolicyAllowedHosts, {L"updates.example.com", L"", L"Mirror.Example.net"});
    key.Strings(kPolicyAllowedArguments, {L"/passive"});
    key.Number(kPolicyAllowDowngrade, 1);
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const UpdatePolicy policy = ReadUpdatePolicy(HKEY_CURRENT_USER, kTestKey);
    const std::string log = capture.Take();
    ASSERT_TRUE(policy.Grants()) << Narrow(policy.untrustedBecause) << log;
    EXPECT_TRUE(policy.DisablesUpdates());
    EXPECT_TRUE(policy.restrictsHosts);
    EXPECT_EQ((std::vector<std::wstring>{L"updates.example.com", L"Mirror.Example.net"}),
              policy.allowedHosts);
    EXPECT_TRUE(policy.AllowsHost(L"mirror.example.NET"));
    EXPECT_TRUE(policy.AllowsHost(L"mirror.example.net."));
    EXPECT_FALSE(policy.AllowsHost(L"example.net"));
    EXPECT_FALSE(policy.AllowsHost(L""));
    EXPECT_EQ(std::vector<std::wstring>{L"/passive"}, policy.allowedArguments);
    EXPECT_TRUE(policy.AllowsArguments(L"/passive"));
    EXPECT_TRUE(policy.AllowsDowngrade());
    const std::string described = Narrow(policy.Describe());
    EXPECT_TRUE(Has(described, "  UpdatesDisabled: 1 (no update runs)\n")) << described;
    EXPECT_TRUE(Has(described, "  AllowedHosts: \"updates.example.com\", \"Mirror.Example.net\"\n"))
        << described;
    EXPECT_TRUE(Has(described, "\"/passive\"\n")) << described;
    EXPECT_TRUE(Has(described, "  AllowDowngrade (administrators): 1 (older releases may be "
                               "installed)\n"))
        << described;
}

// Values of another type are not guessed at in the allowing direction: an
// UpdatesDisabled that is not a number still turns updates off, hosts that
// cannot be read allow no host, allowances of another type allow nothing.
TEST(ReadUpdatePolicy, ValuesOfAnotherTypeNeverAllowMore) {
    const struct {
        const char* what;
        void (*plant)(PolicyKey&);
        bool disabled;
        bool anyHost;
        bool downgrade;
        const char* warning;
    } cases[] = {
        {"UpdatesDisabled as text",
         [](PolicyKey& key) { key.Strings(kPolicyUpdatesDisabled, {L"1"}, REG_SZ); }, true, true,
         false,
         "WARNING : The update policy value [UpdatesDisabled] is not of the expected type "
         "([REG_SZ]); it counts as set: no update runs\n"},
        {"UpdatesDisabled as a list",
         [](PolicyKey& key) { key.Strings(kPolicyUpdatesDisabled, {L"0"}); }, true, true, false,
         "([REG_MULTI_SZ]); it counts as set"},
        {"UpdatesDisabled 2", [](PolicyKey& key) { key.Number(kPolicyUpdatesDisabled, 2); },
         false, true, false, ""},
        {"AllowedHosts as text",
         [](PolicyKey& key) {
             key.Strings(kPolicyAllowedHosts, {L"updates.example.com"}, REG_SZ);
         },
         false, false, false,
         "WARNING : The update policy value [AllowedHosts] is not of the expected type "
         "([REG_SZ]); no host is allowed\n"},
        {"AllowedArguments as a number",
         [](PolicyKey& key) { key.Number(kPolicyAllowedArguments, 1); }, false, true, false,
         "[AllowedArguments] is not of the expected type ([REG_DWORD]); it is ignored\n"},
        {"AllowDowngrade as text",
         [](PolicyKey& key) { key.Strings(kPolicyAllowDowngrade, {L"1"}, REG_SZ); }, false, true,
         false, "[AllowDowngrade] is not of the expected type ([REG_SZ]); it is ignored\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PolicyKey key;
        c.plant(key);
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        const UpdatePolicy policy = ReadUpdatePolicy(HKEY_CURRENT_USER, kTestKey);
        const std::string log = capture.Take();
        ASSERT_TRUE(policy.Grants()) << Narrow(policy.untrustedBecause);
        EXPECT_EQ(c.disabled, policy.DisablesUpdates());
        EXPECT_EQ(c.anyHost, policy.AllowsHost(L"updates.example.com"));
        EXPECT_FALSE(policy.AllowsArguments(L"1"));
        EXPECT_EQ(c.downgrade, policy.AllowsDowngrade());
        EXPECT_TRUE(Has(log, c.warning)) << log;
        if (c.warning[0] == '\0') {
            EXPECT_EQ("", log);
        }
    }
}

// A key that others may change keeps restricting: only what it allows is
// dropped, and the WARNING says which.
TEST(ReadUpdatePolicy, AKeyOthersMayChangeRestrictsButAllowsNothing) {
    const struct {
        const char* what;
        const wchar_t* sddl;
        bool trusted;
    } keys[] = {
        {"SYSTEM and Administrators only", L"O:BAD:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)", true},
        {"users may set values", L"O:BAD:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KW;;;BU)", false},
        {"a user owns it", L"O:S-1-5-21-1-2-3-1001D:P(A;;KA;;;SY)(A;;KA;;;BA)", false},
        {"no access list", L"O:BA", false},
    };
    PolicyKey key;
    key.Number(kPolicyUpdatesDisabled, 1);
    key.Strings(kPolicyAllowedHosts, {L"updates.example.com"});
    key.Strings(kPolicyAllowedArguments, {L"/passive"});
    key.Number(kPolicyAllowDowngrade, 1);
    for (const auto& k : keys) {
        SCOPED_TRACE(k.what);
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        const UpdatePolicy policy =
            ReadUpdatePolicyJudgedAsForTesting(k.sddl, HKEY_CURRENT_USER, kTestKey);
        const std::string log = capture.Take();
        EXPECT_EQ(k.trusted, policy.trusted);
        // Restrictions whoever could write them.
        EXPECT_TRUE(policy.DisablesUpdates());
        EXPECT_TRUE(policy.AllowsHost(L"updates.example.com"));
        EXPECT_FALSE(policy.AllowsHost(L"elsewhere.example.org"));
        // Allowances only from a protected key.
        EXPECT_EQ(k.trusted, policy.AllowsArguments(L"/passive"));
        EXPECT_EQ(k.trusted, policy.AllowsDowngrade());
        const std::string described = Narrow(policy.Describe());
        if (k.trusted) {
            EXPECT_EQ("", log);
            EXPECT_FALSE(Has(described, "NOT PROTECTED")) << described;
        } else {
            EXPECT_TRUE(Has(log, "WARNING : The update policy key [" + Narrow(kTestKey) +
                                     "] is not protected: "))
                << log;
            EXPECT_TRUE(Has(log, ". Its restrictions (UpdatesDisabled, AllowedHosts) still apply; "
                                 "what it allows is ignored: [AllowedArguments, AllowDowngrade]\n"))
                << log;
            EXPECT_TRUE(Has(described, "  NOT PROTECTED: ")) << described;
            EXPECT_TRUE(Has(described, "  AllowDowngrade (administrators): ignored (the key is "
                                       "not protected)\n"))
                << described;
        }
    }
}

}  // namespace
