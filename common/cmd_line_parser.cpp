#include "common/cmd_line_parser.h"

#include "common/log.h"
#include "common/trace_scope.h"

namespace Common {

namespace {

constexpr wchar_t kUnexpected[] = L"Unexpected character";
constexpr wchar_t kUnexpectedInName[] = L"Unexpected character in argument name";
constexpr wchar_t kWhitespaceInName[] = L"Unexpected whitespace in argument name";
constexpr wchar_t kUnexpectedInValue[] = L"Unexpected character in argument value";

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

bool IsQuote(wchar_t c) {
    return c == L'"' || c == L'\'';
}

bool IsNameCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'_' || c == L'-';
}

enum class Mode { Between, Name, Value };

}  // namespace

void ParseCmdLine(const std::wstring& text, CmdLineCallback callback) {
    TraceScope trace(L"%s", text.c_str());
    Mode mode = Mode::Between;
    bool quoted = false;
    wchar_t quote = L'"';
    std::wstring name;
    std::wstring value;

    // Hands the argument to the callback; false when the parse is to end.
    auto complete = [&]() {
        Log::Info(L"Found argument [%s] with value [%s]", name.c_str(), value.c_str());
        if (!callback(name, value)) {
            Log::Info(L"Callback returned FALSE, aborting parse.");
            return false;
        }
        name.clear();
        value.clear();
        mode = Mode::Between;
        return true;
    };

    for (const wchar_t c : text) {
        switch (mode) {
            case Mode::Between:
                if (IsBlank(c)) {
                    break;
                }
                if (IsQuote(c)) {
                    quoted = true;
                    quote = c;
                } else if (c == L'-' || c == L'/') {
                    quoted = false;
                } else {
                    throw CmdLineParseException(kUnexpected);
                }
                mode = Mode::Name;
                break;
            case Mode::Name:
                if (IsNameCharacter(c)) {
                    name += c;
                } else if (c == L'=' || c == L':') {
                    if (name.empty()) {
                        throw CmdLineParseException(kUnexpectedInName);
                    }
                    mode = Mode::Value;
                } else if (IsBlank(c)) {
                    if (quoted) {
                        throw CmdLineParseException(kWhitespaceInName);
                    }
                    if (name.empty()) {
                        throw CmdLineParseException(kUnexpectedInName);
                    }
                    if (!complete()) {
                        return;
                    }
                } else {
                    throw CmdLineParseException(kUnexpectedInName);
                }
                break;
            case Mode::Value:
                if (IsBlank(c) && !quoted) {
                    if (!complete()) {
                        return;
                    }
                } else if (IsQuote(c)) {
                    if (!quoted || c != quote) {
                        throw CmdLineParseException(kUnexpectedInValue);
                    }
                    if (!complete()) {
                        return;
                    }
                } else if (c == L'=') {
                    throw CmdLineParseException(kUnexpectedInValue);
                } else {
                    value += c;
                }
                break;
        }
    }
    // A started argument with a name is completed at the end of the text,
    // also without its closing quote; one without a name is dropped.
    if (mode != Mode::Between && !name.empty()) {
        (void)complete();
    }
}

}  // namespace Common
