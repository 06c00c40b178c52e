#pragma once

#include <string>

// True when `searched` occurs as one contiguous piece anywhere in `text`,
// comparing characters case-insensitively in the "C" locale: only the ASCII
// letters A to Z fold to a to z. An empty `searched` is found at position 0;
// a `searched` longer than `text` is never found.
[[nodiscard]] bool ContainsNoCase(const std::wstring& text, const std::wstring& searched);
