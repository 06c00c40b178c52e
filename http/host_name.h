#pragma once

#include <string>

// A host name in the form in which host names are compared: its ASCII
// (IDNA) form, letters in lower case, a port written after it set aside, one
// trailing dot removed ("Bücher.Example.:8443" and "xn--bcher-kva.example"
// are the same host). Empty
// when the name cannot be converted (it is no valid host name then, and
// matches nothing).
[[nodiscard]] std::wstring ComparableHostName(const std::wstring& host);

// The part of that which needs no conversion, for a name already in ASCII:
// A to Z in lower case, a port set aside, one trailing dot removed. Empty for an empty name,
// a lone dot, or a name that holds anything but ASCII.
[[nodiscard]] std::wstring FoldAsciiHostName(const std::wstring& asciiHost);
