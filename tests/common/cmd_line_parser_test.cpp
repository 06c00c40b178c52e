#include "common/cmd_line_parser.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace {

using Arguments = std::vector<std::pair<std::wstring, std::wstring>>;

struct Parse {
    Arguments arguments;
    std::wstring rejection;  // empty when accepted
};

Parse ParseText(const std::wstring& text, size_t stopAfter = 0) {
    Parse parse;
    try {
        Common::ParseCmdLine(text, [&](const std::wstring& name, const std::wstring& value) {
            parse.arguments.emplace_back(name, value);
            return stopAfter == 0 || parse.arguments.size() < stopAfter;
        });
    } catch (const Common::CmdLineParseException& e) {
        parse.rejection = e.Message();
    }
    return parse;
}

TEST(ParseCmdLine, SplitsTheAcceptedForms) {
    const struct {
        const wchar_t* text;
        Arguments arguments;
    } cases[] = {
        {L"", {}},
        {L" \t ", {}},
        {L"-a -b=1 /c:x", {{L"a", L""}, {L"b", L"1"}, {L"c", L"x"}}},
        {L"-my-switch_2", {{L"my-switch_2", L""}}},
        {L"\"C:\\Program Files\\kestrelGATE\\kgclient_update.exe\" -service",
         {{L"C", L"\\Program Files\\kestrelGATE\\kgclient_update.exe"}, {L"service", L""}}},
        {L"'key=some value' -x", {{L"key", L"some value"}, {L"x", L""}}},
        {L"-path=C:\\dir/x:y -e=", {{L"path", L"C:\\dir/x:y"}, {L"e", L""}}},
        {L"'key=some value", {{L"key", L"some value"}}},  // unterminated at the end
        {L"-a -", {{L"a", L""}}},                          // a lone dash at the end is dropped
        {L"-service -DebugWait", {{L"service", L""}, {L"DebugWait", L""}}},
    };
    for (const auto& c : cases) {
        const Parse parse = ParseText(c.text);
        EXPECT_EQ(L"", parse.rejection) << c.text;
        EXPECT_EQ(c.arguments, parse.arguments) << testing::PrintToString(std::wstring(c.text));
    }
}

TEST(ParseCmdLine, RejectsTextOutsideTheGrammar) {
    const struct {
        const wchar_t* text;
        const wchar_t* message;
        size_t completedBefore;
    } cases[] = {
        {L"C:\\Tools\\app.exe -service", L"Unexpected character", 0},
        {L"-a x", L"Unexpected character", 1},
        {L"\"\\\\server\\app.exe\"", L"Unexpected character in argument name", 0},
        {L"-name=a=b", L"Unexpected character in argument value", 0},
        {L"-na.me", L"Unexpected character in argument name", 0},
        {L"\"debugwait\"", L"Unexpected character in argument name", 0},
        {L"\"debug wait=1\"", L"Unexpected whitespace in argument name", 0},
        {L"-a:\"", L"Unexpected character in argument value", 0},
        {L"\"a=x' \"", L"Unexpected character in argument value", 0},  // the other quote
        {L"\"k:a 'b' c\"", L"Unexpected character in argument value", 0},
        {L"-=x", L"Unexpected character in argument name", 0},
        {L"- x", L"Unexpected character in argument name", 0},
        {L"-ok -b=1 -bad\x00e9", L"Unexpected character in argument name", 2},
    };
    for (const auto& c : cases) {
        const Parse parse = ParseText(c.text);
        EXPECT_EQ(c.message, parse.rejection) << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(c.completedBefore, parse.arguments.size()) << testing::PrintToString(std::wstring(c.text));
    }
}

TEST(ParseCmdLine, TheCallbackEndsTheParse) {
    testsupport::ScopedLogSettings settings(LogDestination::Console, 6);
    testsupport::StdoutCapture capture;
    const Parse parse = ParseText(L"-a -b -c", 2);
    EXPECT_EQ((Arguments{{L"a", L""}, {L"b", L""}}), parse.arguments);
    EXPECT_EQ(
        "  ENTER : -a -b -c\n"
        "   INFO : Found argument [a] with value []\n"
        "   INFO : Found argument [b] with value []\n"
        "   INFO : Callback returned FALSE, aborting parse.\n"
        "   EXIT : \n",
        capture.Take());
}

TEST(ParseCmdLine, ARejectionWritesNoExitLineAndAnEmptyCallbackRaises) {
    testsupport::ScopedLogSettings settings(LogDestination::Console, 6);
    testsupport::StdoutCapture capture;
    EXPECT_FALSE(ParseText(L"x").rejection.empty());
    EXPECT_EQ("  ENTER : x\n", capture.Take());
    EXPECT_THROW(Common::ParseCmdLine(L"-a", Common::CmdLineCallback()), std::bad_function_call);
}

}  // namespace
