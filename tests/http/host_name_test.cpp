#include "http/host_name.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_server.h"

namespace {

using testsupport::Narrow;

// Hosts are compared in their ASCII (IDNA) form, letter case ignored, with
// one trailing dot removed; what cannot be a host name matches nothing.
TEST(ComparableHostName, OneFormForEverySpellingOfAHost) {
    const struct {
        const wchar_t* host;
        const wchar_t* comparable;
    } cases[] = {
        {L"Updates.Example.COM", L"updates.example.com"},
        {L"updates.example.com.", L"updates.example.com"},
        {L"updates.example.com..", L"updates.example.com."},
        {L"B\u00FCcher.example", L"xn--bcher-kva.example"},
        {L"xn--bcher-kva.example.", L"xn--bcher-kva.example"},
        {L"127.0.0.1", L"127.0.0.1"},
        {L"Updates.Example.com:8443", L"updates.example.com"},
        {L"updates.example.com.:443", L"updates.example.com"},
        {L"[::1]:8443", L"[::1]"},
        {L"::1", L"::1"},
        {L"", L""},
        {L".", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::wstring(c.comparable), ComparableHostName(c.host)) << Narrow(c.comparable);
    }
    EXPECT_EQ(L"", FoldAsciiHostName(L"b\u00FCcher.example"));
}

}  // namespace
