// Built with the application manifest: the system's real version shows, and
// from Windows 8.1 on the user's proxy configuration is never read.

#include "http/proxy_settings.h"

#include <winhttp.h>

#include <gtest/gtest.h>

#include "http/downloader.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"

namespace {

using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;

TEST(ProxySettings81, UsesAutomaticDiscovery) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const ProxySettings proxy = GetProxySettings();
    EXPECT_EQ(static_cast<DWORD>(WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY), proxy.accessType);
    EXPECT_TRUE(proxy.proxyName.empty());
    EXPECT_EQ("   INFO : Using Automatic proxy detection\n", capture.Take());
}

// The product's own path: automatic discovery is what WinHttpOpen gets.
TEST(ProxySettings81, DownloadsThroughAutomaticDiscovery) {
    testsupport::ScratchFile file(L"automatic.exe");
    Downloader downloader(std::make_unique<HttpRequest>(),
                          std::make_unique<DownloadFile>(file.Path()));
    EXPECT_TRUE(
        downloader.Download(testsupport::kServer + testsupport::GeneratedPath(2000, L"automatic")));
    EXPECT_EQ(testsupport::GeneratedBytes(0, 2000), file.Read());
}

}  // namespace
