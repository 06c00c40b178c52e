// The command-line parser, over any text.
//
// Properties: a parse ends normally or with one of the parser's rejections,
// never otherwise; every argument has a name of name characters only and a
// value without quotes or '='; written back as a command line the arguments
// parse to the same list; a callback that says stop gets no further call.

#include <string>
#include <utility>
#include <vector>

#include "common/cmd_line_parser.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_text.h"

namespace {

using Arguments = std::vector<std::pair<std::wstring, std::wstring>>;

bool IsNameCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'_' || c == L'-';
}

// The arguments of `text` until the callback has been called `stopAfter`
// times (then it says stop); false when the parser rejected the text.
bool Parse(const std::wstring& text, Arguments& arguments, size_t stopAfter = SIZE_MAX) {
    try {
        Common::ParseCmdLine(text, [&](const std::wstring& name, const std::wstring& value) {
            FUZZ_CHECK(arguments.size() < stopAfter, "a call after the callback said stop in [%s]",
                       fuzz::Shown(text).c_str());
            arguments.emplace_back(name, value);
            return arguments.size() < stopAfter;
        });
        return true;
    } catch (const Common::CmdLineParseException& e) {
        FUZZ_CHECK(e.Message() != nullptr && e.Message()[0] != L'\0', "a rejection without text");
        return false;
    }
}

// The arguments as a command line of the parser's grammar.
std::wstring Written(const Arguments& arguments) {
    std::wstring text;
    for (const auto& [name, value] : arguments) {
        const bool blank = value.find_first_of(L" \t") != std::wstring::npos;
        text += blank ? L"\"" + name + L"=" + value + L"\" " : L"-" + name + L"=" + value + L" ";
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const size_t stopAfter = input.ConsumeIntegralInRange<size_t>(0, 4);
    const std::wstring text = fuzz::WideUnits(input, 1024);
    Arguments arguments;
    const bool accepted = Parse(text, arguments);
    for (const auto& [name, value] : arguments) {
        FUZZ_CHECK(!name.empty(), "an empty name from [%s]", fuzz::Shown(text).c_str());
        for (const wchar_t c : name) {
            FUZZ_CHECK(IsNameCharacter(c), "name [%s] from [%s]", fuzz::Shown(name).c_str(),
                       fuzz::Shown(text).c_str());
        }
        FUZZ_CHECK(value.find_first_of(L"\"'=") == std::wstring::npos, "value [%s] from [%s]",
                   fuzz::Shown(value).c_str(), fuzz::Shown(text).c_str());
    }
    if (accepted) {
        Arguments again;
        FUZZ_CHECK(Parse(Written(arguments), again) && again == arguments,
                   "[%s] written back as [%s] parses otherwise", fuzz::Shown(text).c_str(),
                   fuzz::Shown(Written(arguments)).c_str());
    }
    // Stopped early: the first arguments, no more.
    if (stopAfter > 0) {
        Arguments first;
        (void)Parse(text, first, stopAfter);
        FUZZ_CHECK(first.size() <= stopAfter &&
                       std::equal(first.begin(), first.end(), arguments.begin(),
                                  arguments.begin() + std::min(first.size(), arguments.size())),
                   "stopping after %zu arguments of [%s] gave others", stopAfter,
                   fuzz::Shown(text).c_str());
    }
    return 0;
}
