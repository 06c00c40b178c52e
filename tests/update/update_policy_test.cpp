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

TEST(ReadUpdatePolicy, AnAbsentKeyChangesNothing) {
    (void)::RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    const UpdatePolicy policy = ReadUpdatePolicy(HKEY_CURRENT_USER, kTestKey);
    EXPECT_FALSE(policy.present);
    EXPECT_FALSE(policy.InForce());
    EXPECT_TRUE(policy.AllowsHost(L"any.example.com"));
    EXPECT_TRUE(policy.AllowsArguments(L""));
    EXPECT_FALSE(policy.AllowsArguments(L"/passive"));
    EXPECT_TRUE(Has(Narrow(policy.Describe()), "not present"));
}

TEST(ReadUpdatePolicy, ReadsTheThreeValues) {
    PolicyKey key;
    key.Number(kPolicyUpdatesDisabled, 1);
    key.Strings(kPolicyAllowedHosts, {L"updates.example.com", L"", L"Mirror.Example.net"});
    key.Strings(kPolicyAllowedArguments, {L"/passive"});
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const UpdatePolicy policy = ReadUpdatePolicy(HKEY_CURRENT_USER, kTestKey);
    const std::string log = capture.Take();
    ASSERT_TRUE(policy.InForce()) << Narrow(policy.ignoredBecause) << log;
    EXPECT_TRUE(policy.updatesDisabled);
    EXPECT_TRUE(policy.restrictsHosts);
    EXPECT_EQ((std::vector<std::wstring>{L"updates.example.com", L"Mirror.Example.net"}),
              policy.allowedHosts);
    EXPECT_TRUE(policy.AllowsHost(L"mirror.example.NET"));
    EXPECT_FALSE(policy.AllowsHost(L"example.net"));
    EXPECT_EQ(std::vector<std::wstring>{L"/passive"}, policy.allowedArguments);
    const std::string described = Narrow(policy.Describe());
    EXPECT_TRUE(Has(described, "  UpdatesDisabled: 1 (no update runs)\n")) << described;
    EXPECT_TRUE(Has(described, "  AllowedHosts: \"updates.example.com\", \"Mirror.Example.net\"\n"))
        << described;
    EXPECT_TRUE(Has(described, "\"/passive\"\n")) << described;
}

// Values of another type are not guessed at: a number that is not 1 does not
// turn updates off; hosts that cannot be read allow no host rather than all.
TEST(ReadUpdatePolicy, ValuesOfAnotherTypeAreNotTakenAsAllowing) {
    PolicyKey key;
    key.Number(kPolicyUpdatesDisabled, 2);
    key.Strings(kPolicyAllowedHosts, {L"updates.example.com"}, REG_SZ);
    key.Number(kPolicyAllowedArguments, 1);
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const UpdatePolicy policy = ReadUpdatePolicy(HKEY_CURRENT_USER, kTestKey);
    const std::string log = capture.Take();
    ASSERT_TRUE(policy.InForce()) << Narrow(policy.ignoredBecause);
    EXPECT_FALSE(policy.updatesDisabled);
    EXPECT_FALSE(policy.AllowsHost(L"updates.example.com"));
    EXPECT_TRUE(policy.allowedArguments.empty());
    EXPECT_TRUE(Has(log, "WARNING : The update policy value [AllowedHosts] is not of the expected "
                         "type; no host is allowed\n"))
        << log;
    EXPECT_TRUE(Has(log, "WARNING : The update policy value [AllowedArguments] is not of the "
                         "expected type; it is ignored\n"))
        << log;
}

}  // namespace
