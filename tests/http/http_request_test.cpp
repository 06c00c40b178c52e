#include "http/http_request.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"

namespace {

using namespace testsupport;

TEST(HttpRequest, ReadsStatusAndContentLength) {
    HttpRequest request;
    ASSERT_TRUE(request.Send(kServer + GeneratedPath(1000, L"headers"), 0, 0));
    int32_t status = 0;
    int32_t length = 0;
    ASSERT_TRUE(request.GetRequestHeaders(status, length));
    EXPECT_EQ(200, status);
    EXPECT_EQ(1000, length);
    std::wstring contentType;
    ASSERT_TRUE(request.QueryRequestHeader(WINHTTP_QUERY_CONTENT_TYPE, contentType));
    EXPECT_EQ(L"application/octet-stream", contentType);
}

TEST(HttpRequest, AddsARangeOnlyForAStartAndAPositiveLength) {
    const struct {
        uint32_t rangeStart;
        int32_t expectedLength;
        const char* range;
        int status;
    } cases[] = {
        {1000, 5000, "bytes=1000-4999", 206},
        {0, 5000, "-", 200},
        {1000, 0, "-", 200},
        {1000, -1, "-", 200},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::wstring path = GeneratedPath(5000, L"range-" + std::to_wstring(n++));
        HttpRequest request;
        ASSERT_TRUE(request.Send(kServer + path, c.rangeStart, c.expectedLength));
        int32_t status = 0;
        int32_t length = 0;
        ASSERT_TRUE(request.GetRequestHeaders(status, length));
        EXPECT_EQ(c.status, status);
        request.Close();
        const auto served = ServerRequests(Narrow(path), 1);
        ASSERT_EQ(1u, served.size());
        EXPECT_EQ(c.range, served[0].range);
    }
}

TEST(HttpRequest, LogsTheRangeHeader) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    HttpRequest request;
    ASSERT_TRUE(request.Send(kServer + GeneratedPath(5000, L"range-log"), 1000, 5000));
    EXPECT_NE(std::string::npos,
              capture.Take().find("   INFO : Adding range header: [Range: bytes=1000-4999]\n"));
}

TEST(HttpRequest, GoesOverTlsWhateverTheSchemeAndToTheNamedPort) {
    const struct {
        std::wstring url;
        int port;
    } cases[] = {
        {L"http://localhost" + GeneratedPath(10, L"scheme-http"), 443},
        {kServerPort8443 + GeneratedPath(10, L"port-8443"), 8443},
        {L"https://127.0.0.1" + GeneratedPath(10, L"by-address"), 443},
    };
    for (const auto& c : cases) {
        HttpRequest request;
        ASSERT_TRUE(request.Send(c.url, 0, 0)) << Narrow(c.url);
        int32_t status = 0;
        int32_t length = 0;
        ASSERT_TRUE(request.GetRequestHeaders(status, length));
        EXPECT_EQ(200, status);
        const std::string path = Narrow(c.url.substr(c.url.find(L"/gen/")));
        const auto served = ServerRequests(path, 1);
        ASSERT_EQ(1u, served.size()) << path;
        EXPECT_EQ(c.port, served[0].port) << path;
    }
}

TEST(HttpRequest, KeepsTheQueryString) {
    HttpRequest request;
    ASSERT_TRUE(request.Send(kServer + GeneratedPath(10, L"query") + L"?channel=stable&x=1", 0, 0));
    EXPECT_EQ(1u, ServerRequests("/query?channel=stable&x=1", 1).size());
}

TEST(HttpRequest, AMissingContentLengthFailsTheHeaders) {
    ScopedLogSettings settings(LogDestination::Console, 1);
    StdoutCapture capture;
    HttpRequest request;
    ASSERT_TRUE(request.Send(kServer + L"/_/no-length" + GeneratedPath(10, L"no-length"), 0, 0));
    int32_t status = 0;
    int32_t length = 0;
    EXPECT_FALSE(request.GetRequestHeaders(status, length));
    EXPECT_NE(std::string::npos,
              capture.Take().find(
                  "  ERROR : Call to WinHttpQueryHeaders failed with: [12150]\n"
                  "  ERROR : Call to QueryRequestHeader (ContentLength) failed with: [12150]\n"));
}

TEST(HttpRequest, FailsOnAnUntrustedCertificateAndAnUnknownHost) {
    const struct {
        std::wstring url;
        const char* message;
    } cases[] = {
        {kUntrustedServer + GeneratedPath(10, L"untrusted"),
         "  ERROR : Call to WinHttpSendRequest failed with: ["},
        {L"https://no-such-host.invalid/setup.exe",
         "  ERROR : Call to WinHttpSendRequest failed with: [12007]"},
    };
    for (const auto& c : cases) {
        ScopedLogSettings settings(LogDestination::Console, 1);
        StdoutCapture capture;
        HttpRequest request;
        EXPECT_FALSE(request.Send(c.url, 0, 0)) << Narrow(c.url);
        const std::string output = capture.Take();
        EXPECT_NE(std::string::npos, output.find(c.message)) << output;
    }
    EXPECT_TRUE(ServerRequests("/untrusted").empty());
}

TEST(HttpRequest, ParsesHeaderNumbersLikeTheServerSentThem) {
    const struct {
        const wchar_t* text;
        int32_t value;
    } cases[] = {
        {L"1000", 1000},
        {L"0", 0},
        {L"", 0},
        {L"abc", 0},
        {L"12abc", 12},
        {L"-5", 0},
        {L"2147483647", 2147483647},
        {L"2147483648", HttpRequest::kHeaderNumberTooLarge},  // 2 GiB
        {L"99999999999999999999", HttpRequest::kHeaderNumberTooLarge},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value, HttpRequest::ParseHeaderNumber(c.text)) << c.text;
    }
}

}  // namespace
