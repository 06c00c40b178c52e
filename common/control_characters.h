#pragma once

#include <string>

namespace Common {

// Writes every control character of `text` (C0, that is below 0x20, and DEL)
// as visible text: "\r", "\n" and "\t" as such, the others as "\x1b" and the
// like. A backslash stays as it is. What a caller sends can then neither
// start a line that looks like one of the log's own nor reach a terminal as
// a control sequence. Returns whether anything was escaped.
bool EscapeControlCharacters(std::wstring& text);

// The same for narrow text (bytes), except the line feeds in `keep`: for text
// that is already made of lines, such as a log file read back.
bool EscapeControlCharacters(std::string& text, const std::string& keep);

}  // namespace Common
