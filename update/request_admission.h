#pragma once

// Which begins the service carries out, by who asks and what administrators
// decided by policy. Administrators (SYSTEM, the service's own account, an
// elevated member of Administrators) may ask for anything a begin can say;
// every other caller only for the installer run with no arguments, or with
// exactly an argument text that policy allows.

#include <string>
#include <vector>

#include "update/caller.h"
#include "update/update_failure.h"
#include "update/update_policy.h"

// Applies, in this order: updates turned off by policy (every caller); the
// arguments (callers that are not administrators); the allowed hosts (every
// caller: a URL whose host is not listed is dropped, logged). `urls` receives
// the URLs that remain. False, with `failure` set at stage "request", when
// the begin is refused: nothing may then be downloaded.
[[nodiscard]] bool AdmitRequest(const std::vector<std::wstring>& requested,
                                const std::wstring& args, const Caller& caller,
                                const UpdatePolicy& policy, std::vector<std::wstring>& urls,
                                UpdateFailure& failure);
