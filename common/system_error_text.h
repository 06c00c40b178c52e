#pragma once

#include <windows.h>

#include <string>

namespace Common {

// The system's message for a Windows error code, without its final full
// stop and line break ("The system cannot find the file specified"); empty
// when the system has none.
[[nodiscard]] std::wstring SystemErrorText(DWORD code);

}  // namespace Common
