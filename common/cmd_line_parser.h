#pragma once

#include <functional>
#include <string>

namespace Common {

// Raised by ParseCmdLine at the first character its grammar rejects.
class CmdLineParseException {
  public:
    explicit CmdLineParseException(const wchar_t* message) : message_(message) {}
    // One of the parser's four fixed rejection texts.
    [[nodiscard]] const wchar_t* Message() const { return message_; }

  private:
    const wchar_t* message_;
};

// Called once per argument, in order, with its name (never empty) and value
// (maybe empty). Returning false ends the parse.
using CmdLineCallback = std::function<bool(const std::wstring& name, const std::wstring& value)>;

// Splits a command line into arguments: -name, /name, -name=value,
// /name:value, or an argument in double or single quotes whose value runs to
// the matching quote ("name=value with blanks"). Raises
// CmdLineParseException on a character outside that grammar; the callback
// has then seen every argument completed before it.
void ParseCmdLine(const std::wstring& text, CmdLineCallback callback);

}  // namespace Common
