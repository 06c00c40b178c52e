#pragma once

#include <windows.h>

#include <string>

namespace Common {

// The system's message for a Windows error code, without its final full
// stop and line break ("The system cannot find the file specified"); empty
// when the system has none.
[[nodiscard]] std::wstring SystemErrorText(DWORD code);

// How a code reads in the text of a failure: "error 5" for a Windows error;
// "error 0x800B0100" for a code of the HRESULT kind (trust checks).
[[nodiscard]] std::wstring ErrorNumber(DWORD code);
[[nodiscard]] std::wstring HresultNumber(LONG code);

// The system's message with its number ("Access is denied (error 5)"), or
// the number alone when the system has no message.
[[nodiscard]] std::wstring DescribeSystemError(DWORD code);

}  // namespace Common
