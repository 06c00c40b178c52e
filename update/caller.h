#pragma once

#include <cstdint>
#include <string>

// Who asked for an update: read from the caller's token when its begin
// arrived. A caller that could not be read is `known` false and counts as an
// ordinary user.
struct Caller {
    bool known = false;
    std::wstring account;  // DOMAIN\name; the SID text when it has no name
    std::wstring sid;      // S-1-5-...
    uint32_t processId = 0;
    std::wstring image;  // the calling program's path; empty when not told

    // SYSTEM, the service's own account, or a member of Administrators whose
    // token is elevated: these callers may choose anything a begin can say.
    bool administrator = false;

    // "DOMAIN\name (S-1-...)", or "an unknown caller".
    [[nodiscard]] std::wstring Describe() const {
        if (!known) {
            return L"an unknown caller";
        }
        return account + L" (" + sid + L")";
    }
};
