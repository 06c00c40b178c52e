#pragma once

#include <string>

namespace Common {

// Writes every control character of `text` as visible text: C0 (below 0x20),
// DEL and C1 (0x80 to 0x9F), the line and paragraph separators (U+2028,
// U+2029) and the marks, embeddings, overrides and isolates of bidirectional
// text (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069). "\r", "\n" and "\t" as such, the others as
// "\x1b" or "\u202e" and the like. A backslash stays as it is. What a
// caller sends can then neither start a line that looks like one of the
// log's own, nor reorder what a reader sees, nor reach a terminal as a
// control sequence. Returns whether anything was escaped.
bool EscapeControlCharacters(std::wstring& text);

// The same for UTF-8 text (bytes), except the characters in `keep` (line
// feeds): for text that is already made of lines, such as a log file read
// back. A NUL byte is always escaped, and so is a byte of 0x80 to 0x9F that
// belongs to no well-formed UTF-8 sequence (a terminal that reads bytes
// takes it for a C1 control).
bool EscapeControlCharacters(std::string& text, const std::string& keep);

// The same characters in a JSON text as JSON escapes ("\u202e"): the text
// means what it meant, and shows nothing that acts on a terminal.
void EscapeControlCharactersForJson(std::wstring& json);

}  // namespace Common
