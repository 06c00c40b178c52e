#pragma once

#include <windows.h>

#include <string>

namespace Common {

// The string form of a SID ("S-1-5-18"); empty for a null or unreadable one.
[[nodiscard]] std::wstring SidText(PSID sid);

// The account (user SID, string form such as S-1-5-18) that the process open
// at `process` runs as; empty when its token cannot be read. The handle needs
// PROCESS_QUERY_LIMITED_INFORMATION.
[[nodiscard]] std::wstring ProcessAccountSid(HANDLE process);

// The account this process runs as (read once): SYSTEM for the service and
// its worker.
[[nodiscard]] const std::wstring& OwnAccountSid();

}  // namespace Common
