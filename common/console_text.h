#pragma once

#include <windows.h>

#include <string>

// Converts a wide text (up to its first NUL) into the console's code page
// (GetConsoleCP; a process without a console gets 0, the ANSI code page).
// Characters the code page cannot represent become its default character;
// no best-fit mapping is made.
[[nodiscard]] std::string ToConsoleNarrow(const std::wstring& text);

// The same conversion into an explicit code page.
[[nodiscard]] std::string ToNarrow(const std::wstring& text, UINT codePage);

// The same conversion as ToConsoleNarrow into `buffer` (no allocation, for a
// crashing process); returns the bytes written, without a terminator. A text
// that does not fit gives 0.
[[nodiscard]] size_t ToConsoleNarrowInto(const wchar_t* text, char* buffer, size_t capacity);
