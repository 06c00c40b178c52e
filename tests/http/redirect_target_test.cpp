#include "http/redirect_target.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_server.h"

namespace {

using testsupport::Narrow;

TEST(ResolveRedirect, TakesTheLocationRelativeToTheRedirectedUrl) {
    const std::wstring base = L"https://a.example:8443/dir/file.exe?x=1#part";
    const struct {
        const wchar_t* location;
        const wchar_t* target;
    } cases[] = {
        {L"https://b.example/other.exe", L"https://b.example/other.exe"},
        {L"HTTP://b.example/other.exe", L"HTTP://b.example/other.exe"},
        {L"//b.example/other.exe", L"https://b.example/other.exe"},
        {L"/top.exe?y=2", L"https://a.example:8443/top.exe?y=2"},
        {L"next.exe", L"https://a.example:8443/dir/next.exe"},
        {L"../up.exe", L"https://a.example:8443/dir/../up.exe"},
        {L"?y=2", L"https://a.example:8443/dir/file.exe?y=2"},
        {L"", L"https://a.example:8443/dir/"},
        // A colon after a slash is no scheme.
        {L"sub/a:b.exe", L"https://a.example:8443/dir/sub/a:b.exe"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::wstring(c.target), ResolveRedirect(base, c.location)) << Narrow(c.location);
    }
    // A base without a path.
    EXPECT_EQ(L"https://a.example/x.exe", ResolveRedirect(L"https://a.example", L"x.exe"));
    EXPECT_EQ(L"https://a.example/?q", ResolveRedirect(L"https://a.example", L"?q"));
}

}  // namespace
