#include "rpc/request_messages.h"

#include <windows.h>
#include <rpc.h>
#include <rpcndr.h>

#include <malloc.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace {

using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;

TEST(ParseInstruction, ReadsTheIdOrGivesEmpty) {
    const struct {
        const wchar_t* request;
        const wchar_t* instruction;
    } cases[] = {
        {L"{\"id\":\"queryAutoUpdateProgress\"}", L"queryAutoUpdateProgress"},
        {L"{\"data\":{},\"id\":\"beginAutoUpdate\",\"x\":[1,2]}", L"beginAutoUpdate"},
        {L" {\"id\" : \"something else\"} \n", L"something else"},
        {L"{\"id\":\"a\\u0000b\"}", L"a"},  // cut at an embedded NUL
        {L"{\"data\":{}}", L""},            // no id
        {L"{\"id\":7}", L""},               // id not a string
        {L"{\"id\":null}", L""},
        {L"[\"id\",\"beginAutoUpdate\"]", L""},  // root not an object
        {L"\"beginAutoUpdate\"", L""},
        {L"", L""},
        {L"{\"id\":\"beginAutoUpdate\"", L""},      // truncated
        {L"{\"id\":\"beginAutoUpdate\"} {}", L""},  // two roots
        {L"not json at all", L""},
        {L"{'id':'beginAutoUpdate'}", L""},
    };
    ScopedLogSettings settings(LogDestination::Console, 1);
    StdoutCapture capture;
    for (const auto& c : cases) {
        EXPECT_EQ(c.instruction, ParseInstruction(c.request))
            << testing::PrintToString(std::wstring(c.request));
    }
    EXPECT_EQ(L"", ParseInstruction(nullptr));
    EXPECT_EQ("", capture.Take()) << "invalid JSON is no error";
}

TEST(InstructionNames, CompareWholeNamesCaseSensitively) {
    EXPECT_TRUE(IsBeginInstruction(L"beginAutoUpdate"));
    EXPECT_TRUE(IsQueryInstruction(L"queryAutoUpdateProgress"));
    for (const wchar_t* other : {L"", L"BeginAutoUpdate", L"beginAutoUpdate ", L"beginAuto",
                                 L"QueryAutoUpdateProgress", L"queryAutoUpdateProgressX"}) {
        EXPECT_FALSE(IsBeginInstruction(other)) << other;
        EXPECT_FALSE(IsQueryInstruction(other)) << other;
    }
    EXPECT_FALSE(IsBeginInstruction(L"queryAutoUpdateProgress"));
    EXPECT_FALSE(IsQueryInstruction(L"beginAutoUpdate"));
    EXPECT_FALSE(IsBeginInstruction(std::wstring(L"beginAutoUpdate\0x", 17)));
}

TEST(ParseUpdateRequest, FillsUrlsHashAndArgs) {
    ScopedLogSettings settings(LogDestination::Console, 4);
    StdoutCapture capture;
    UpdateRequest request;
    ASSERT_TRUE(ParseUpdateRequest(
        L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[\"https://a/x.exe\",\"https://b/x.exe\"],"
        L"\"hash\":\"ABC123\",\"args\":\"/log x.txt\"}}",
        request));
    EXPECT_EQ((std::vector<std::wstring>{L"https://a/x.exe", L"https://b/x.exe"}), request.urls);
    EXPECT_EQ(L"ABC123", request.hash);
    EXPECT_EQ(L"/log x.txt", request.args);
    EXPECT_EQ(
        "VERBOSE : Found [2] urls\n"
        "VERBOSE : Adding url: [https://a/x.exe]\n"
        "VERBOSE : Adding url: [https://b/x.exe]\n"
        "   INFO : Parsed request into hash:[ABC123], args:[/log x.txt]\n",
        capture.Take());
}

// The digest is kept as it came: the update itself reads a digest in lower
// or mixed case as the same digest, and refuses other texts before any
// download.
TEST(ParseUpdateRequest, KeepsTheDigestAsSent) {
    const std::wstring upper(L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
         L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {upper, upper},
        {L"ba7816bf", L"ba7816bf"},                                // too short
        {upper.substr(1) + L"g", upper.substr(1) + L"g"},          // not hexadecimal
        {L"", L""},
    };
    for (const auto& [hash, stored] : cases) {
        UpdateRequest request;
        ASSERT_TRUE(ParseUpdateRequest(
            (L"{\"data\":{\"urls\":[\"a\"],\"hash\":\"" + hash + L"\"}}").c_str(), request));
        EXPECT_EQ(stored, request.hash);
    }
}

TEST(ParseUpdateRequest, SkipsUrlsThatAreNotStrings) {
    ScopedLogSettings settings(LogDestination::Console, 4);
    StdoutCapture capture;
    UpdateRequest request;
    ASSERT_TRUE(ParseUpdateRequest(L"{\"data\":{\"urls\":[\"a\",5,null,\"b\",{}],\"hash\":\"\"}}",
                                   request));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b"}), request.urls);
    EXPECT_EQ(L"", request.hash);
    EXPECT_EQ(0u, capture.Take().rfind("VERBOSE : Found [5] urls\n", 0));
}

// Each URL is tried in turn and may leave a partial file: a begin names at
// most kMaxUpdateUrls (any entries counted, strings or not).
TEST(ParseUpdateRequest, RefusesMoreThanSixteenUrls) {
    auto begin = [](size_t count) {
        std::wstring text = L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[";
        for (size_t i = 0; i < count; ++i) {
            text += (i == 0 ? L"" : L",") + std::wstring(L"\"https://h/") + std::to_wstring(i) + L"\"";
        }
        return text + L"]}}";
    };
    for (const size_t count : {size_t{1}, size_t{16}}) {
        UpdateRequest request;
        EXPECT_TRUE(ParseUpdateRequest(begin(count).c_str(), request)) << count;
        EXPECT_EQ(count, request.urls.size());
    }
    for (const size_t count : {size_t{17}, size_t{2000}}) {
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        UpdateRequest request;
        EXPECT_FALSE(ParseUpdateRequest(begin(count).c_str(), request)) << count;
        EXPECT_TRUE(request.urls.empty());
        EXPECT_EQ("  ERROR : Refusing a begin instruction with [" + std::to_string(count) +
                      "] URLs: at most [16] are accepted\n",
                  capture.Take());
    }
}

TEST(ParseUpdateRequest, AcceptsMissingPartsAsEmpty) {
    const wchar_t* requests[] = {
        L"{\"id\":\"beginAutoUpdate\"}",               // no data
        L"{\"id\":\"beginAutoUpdate\",\"data\":[1]}",  // data not an object
        L"{\"id\":\"beginAutoUpdate\",\"data\":\"x\"}",
        L"{\"data\":{}}",                // data without members
        L"{\"data\":{\"urls\":\"a\"}}",  // urls not an array
        L"[]",
        L"{\"data\":",  // not JSON
        L"",
    };
    for (const wchar_t* text : requests) {
        ScopedLogSettings settings(LogDestination::Console, 4);
        StdoutCapture capture;
        UpdateRequest request;
        EXPECT_TRUE(ParseUpdateRequest(text, request)) << text;
        EXPECT_TRUE(request.urls.empty()) << text;
        EXPECT_TRUE(request.hash.empty()) << text;
        EXPECT_TRUE(request.args.empty()) << text;
        EXPECT_EQ(std::string::npos, capture.Take().find("Found [")) << text;
    }
}

TEST(ParseUpdateRequest, RefusesAHashOrArgsThatIsNotAString) {
    const wchar_t* requests[] = {
        L"{\"data\":{\"urls\":[\"a\"],\"hash\":5}}",
        L"{\"data\":{\"urls\":[\"a\"],\"hash\":null}}",
        L"{\"data\":{\"urls\":[\"a\"],\"hash\":[\"ABC\"]}}",
        L"{\"data\":{\"urls\":[\"a\"],\"hash\":\"ABC\",\"args\":{}}}",
        L"{\"data\":{\"urls\":[\"a\"],\"args\":false}}",
    };
    for (const wchar_t* text : requests) {
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        UpdateRequest request;
        EXPECT_FALSE(ParseUpdateRequest(text, request)) << text;
        EXPECT_TRUE(request.urls.empty()) << "a refused request stays empty: " << text;
        EXPECT_EQ(0u, capture.Take().rfind("  ERROR : Request member [", 0)) << text;
    }
}

TEST(ParseUpdateRequest, TakesTextsUpToAnEmbeddedNul) {
    UpdateRequest request;
    ASSERT_TRUE(ParseUpdateRequest(
        L"{\"data\":{\"urls\":[\"https://a\\u0000evil\"],\"hash\":\"AB\\u0000CD\",\"args\":\"x\"}}",
        request));
    EXPECT_EQ(std::vector<std::wstring>{L"https://a"}, request.urls);
    EXPECT_EQ(L"AB", request.hash);
}

// Hostile texts must neither crash nor hang, and are judged like any other.
TEST(HostileRequests, DeepNestingIsParsedWithoutRecursion) {
    const size_t depth = 200000;
    std::wstring nested = L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":";
    nested += std::wstring(depth, L'[') + std::wstring(depth, L']') + L"}}";
    EXPECT_EQ(L"beginAutoUpdate", ParseInstruction(nested.c_str()));
    UpdateRequest request;
    EXPECT_TRUE(ParseUpdateRequest(nested.c_str(), request));
    EXPECT_TRUE(request.urls.empty());

    const std::wstring unbalanced = std::wstring(depth, L'{');
    EXPECT_EQ(L"", ParseInstruction(unbalanced.c_str()));
    const std::wstring objects = L"{\"id\":" + std::wstring(depth, L'[');
    EXPECT_EQ(L"", ParseInstruction(objects.c_str()));
}

TEST(HostileRequests, LargeRequestsAreParsed) {
    std::wstring text = L"{\"id\":\"beginAutoUpdate\",\"data\":{\"args\":\"";
    text += std::wstring(10 * 1024 * 1024 / sizeof(wchar_t), L'a');
    text += L"\",\"urls\":[\"u\"]}}";
    UpdateRequest request;
    ASSERT_TRUE(ParseUpdateRequest(text.c_str(), request));
    EXPECT_EQ(10u * 1024 * 1024 / sizeof(wchar_t), request.args.size());
    EXPECT_EQ(std::vector<std::wstring>{L"u"}, request.urls);
}

TEST(HostileRequests, InvalidUtf16IsCarriedNotInterpreted) {
    // Lone surrogates inside and outside strings.
    std::wstring text = L"{\"id\":\"begin\xD800\",\"data\":{\"urls\":[\"\xDC00x\"]}}";
    EXPECT_EQ(std::wstring(L"begin\xD800"), ParseInstruction(text.c_str()));
    UpdateRequest request;
    EXPECT_TRUE(ParseUpdateRequest(text.c_str(), request));
    EXPECT_EQ(std::vector<std::wstring>{L"\xDC00x"}, request.urls);
    EXPECT_EQ(L"", ParseInstruction(L"{\xD800:1}"));
    EXPECT_EQ(L"", ParseInstruction(L"\xFFFF\xFFFE"));
}

TEST(ComposeResponse, WritesTheCompactDocumentInAnRpcBuffer) {
    for (UpdateStatus status : {Downloading, Installing, Completed, Failed}) {
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        wchar_t* response = nullptr;
        ComposeResponse(status, &response);
        ASSERT_NE(nullptr, response);
        const std::wstring expected = L"{\"data\":{\"status\":" + std::to_wstring(status) + L"}}";
        EXPECT_EQ(expected, response);
        // Exactly the text and one NUL.
        EXPECT_EQ((expected.size() + 1) * sizeof(wchar_t), _msize(response));
        EXPECT_EQ("   INFO : Response set to be: [{\"data\":{\"status\":" + std::to_string(status) +
                      "}}]\n",
                  capture.Take());
        midl_user_free(response);
    }
}

TEST(IsDetailedQuery, OnlyTheLiteralTrueInDataAsksForDetail) {
    const struct {
        const wchar_t* request;
        bool detailed;
    } cases[] = {
        {L"{\"id\":\"queryAutoUpdateProgress\",\"data\":{\"detail\":true}}", true},
        {L"{\"data\":{\"other\":1,\"detail\":true},\"id\":\"queryAutoUpdateProgress\"}", true},
        {L"{\"id\":\"queryAutoUpdateProgress\"}", false},
        {L"{\"id\":\"queryAutoUpdateProgress\",\"data\":{\"detail\":false}}", false},
        {L"{\"id\":\"queryAutoUpdateProgress\",\"data\":{\"detail\":\"true\"}}", false},
        {L"{\"id\":\"queryAutoUpdateProgress\",\"data\":{\"detail\":1}}", false},
        {L"{\"id\":\"queryAutoUpdateProgress\",\"data\":true}", false},
        {L"{\"id\":\"queryAutoUpdateProgress\",\"detail\":true}", false},  // not in data
        {L"not json", false},
        {nullptr, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.detailed, IsDetailedQuery(c.request))
            << (c.request != nullptr ? testing::PrintToString(std::wstring(c.request)) : "null");
    }
}

// The reason of a failure travels only with a failed update's answer, and
// its text is escaped as JSON.
TEST(ComposeDetailedResponse, AddsReceivedAndTotalAfterTheStatusAndTheReasonOfAFailure) {
    const UpdateFailure failure{kStageHash, 0, L"The digest is \"AB\\CD\"\n."};
    const struct {
        UpdateStatus status;
        UpdateFailure failure;
        const wchar_t* expected;
    } cases[] = {
        {Downloading, UpdateFailure(),
         L"{\"data\":{\"status\":0,\"received\":524288,\"total\":5000000000}}"},
        {Downloading, failure,
         L"{\"data\":{\"status\":0,\"received\":524288,\"total\":5000000000}}"},
        {Failed, failure,
         L"{\"data\":{\"status\":3,\"received\":524288,\"total\":5000000000,\"error\":{"
         L"\"stage\":\"hash\",\"code\":0,\"text\":\"The digest is \\\"AB\\\\CD\\\"\\n.\"}}}"},
        {Failed, {kStageDownload, 12007, L"x"},
         L"{\"data\":{\"status\":3,\"received\":524288,\"total\":5000000000,\"error\":{"
         L"\"stage\":\"download\",\"code\":12007,\"text\":\"x\"}}}"},
    };
    for (const auto& c : cases) {
        wchar_t* response = nullptr;
        ComposeDetailedResponse(c.status, 524288, 5000000000ull, c.failure, &response);
        ASSERT_NE(nullptr, response);
        EXPECT_EQ(std::wstring(c.expected), response);
        midl_user_free(response);
    }
}

}  // namespace
