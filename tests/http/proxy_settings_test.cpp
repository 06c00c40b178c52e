#include "http/proxy_settings.h"

#include <winhttp.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace {

using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;

const wchar_t kConnectionsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// Sets the current user's proxy configuration for one test and restores the
// one before.
class ScopedUserProxy {
  public:
    ScopedUserProxy(const std::string& proxy, const std::string& bypass) {
        ::RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                          nullptr, &key_, nullptr);
        DWORD size = 0;
        if (::RegQueryValueExW(key_, L"DefaultConnectionSettings", nullptr, nullptr, nullptr,
                               &size) == 0) {
            saved_.resize(size);
            ::RegQueryValueExW(key_, L"DefaultConnectionSettings", nullptr, nullptr, saved_.data(),
                               &size);
            hadValue_ = true;
        }
        // Version 0x46, a counter, the flags (direct | named proxy), then the
        // proxy and bypass texts and an empty auto-configuration URL.
        std::vector<BYTE> value;
        auto put32 = [&value](DWORD v) {
            for (int i = 0; i < 4; ++i) {
                value.push_back(static_cast<BYTE>(v >> (8 * i)));
            }
        };
        auto putText = [&](const std::string& text) {
            put32(static_cast<DWORD>(text.size()));
            value.insert(value.end(), text.begin(), text.end());
        };
        put32(0x46);
        put32(1);
        put32(proxy.empty() ? 0x9 : 0x3);
        putText(proxy);
        putText(bypass);
        putText("");
        value.resize(value.size() + 32, 0);
        ::RegSetValueExW(key_, L"DefaultConnectionSettings", 0, REG_BINARY, value.data(),
                         static_cast<DWORD>(value.size()));
    }
    ~ScopedUserProxy() {
        if (hadValue_) {
            ::RegSetValueExW(key_, L"DefaultConnectionSettings", 0, REG_BINARY, saved_.data(),
                             static_cast<DWORD>(saved_.size()));
        } else {
            ::RegDeleteValueW(key_, L"DefaultConnectionSettings");
        }
        ::RegCloseKey(key_);
    }

  private:
    HKEY key_ = nullptr;
    bool hadValue_ = false;
    std::vector<BYTE> saved_;
};

// Without the application manifest the system reports a version before
// Windows 8.1, so the user's configuration decides.
TEST(ProxySettingsBefore81, UsesTheUsersNamedProxy) {
    ScopedUserProxy userProxy("proxy.corp.example:3128", "*.corp.example;<local>");
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const ProxySettings proxy = GetProxySettings();
    EXPECT_EQ(static_cast<DWORD>(WINHTTP_ACCESS_TYPE_NAMED_PROXY), proxy.accessType);
    EXPECT_EQ(L"proxy.corp.example:3128", proxy.proxyName);
    EXPECT_EQ(L"*.corp.example;<local>", proxy.proxyBypass);
    EXPECT_EQ(
        "   INFO : Using named proxy: [proxy.corp.example:3128], proxybypass: "
        "[*.corp.example;<local>]\n",
        capture.Take());
}

TEST(ProxySettingsBefore81, FallsBackToTheDefaultWithoutANamedProxy) {
    ScopedUserProxy autoDetectOnly("", "");
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const ProxySettings proxy = GetProxySettings();
    EXPECT_EQ(static_cast<DWORD>(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY), proxy.accessType);
    EXPECT_TRUE(proxy.proxyName.empty());
    EXPECT_TRUE(proxy.proxyBypass.empty());
    const std::string log = capture.Take();
    EXPECT_EQ(
        0u, log.rfind("  ERROR : Call to WinHttpGetIEProxyConfigForCurrentUser failed with: [", 0))
        << log;
    EXPECT_NE(std::string::npos, log.find("].  Will use default proxy.\n"));
}

}  // namespace
