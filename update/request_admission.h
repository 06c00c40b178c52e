#pragma once

// Which begins the service carries out, by who asks and what administrators
// decided by policy. Administrators (SYSTEM, the service's own account, an
// elevated member of Administrators) may ask for anything a begin can say;
// every other caller only for the installer run with no arguments, or with
// exactly an argument text that policy allows.

#include <string>
#include <vector>

#include "update/binary_validation.h"
#include "update/caller.h"
#include "update/update_failure.h"
#include "update/update_policy.h"
#include "update/update_request.h"

// Applies, in this order: updates turned off by policy (every caller); the
// arguments (callers that are not administrators); the allowed hosts (every
// caller: a URL whose host is not listed is dropped, logged). `urls` receives
// the URLs that remain. False, with `failure` set at stage "request", when
// the begin is refused: nothing may then be downloaded.
[[nodiscard]] bool AdmitRequest(const std::vector<std::wstring>& requested,
                                const std::wstring& args, const Caller& caller,
                                const UpdatePolicy& policy, std::vector<std::wstring>& urls,
                                UpdateFailure& failure);

// Every check of a begin made before anything is requested, in this order: a
// URL to try, a policy hash that is a SHA-256 digest (64 hexadecimal digits),
// then AdmitRequest. True with `admitted` holding what the update carries out
// (the URLs that remain, the digest in upper case, the arguments); false with
// `failure` set at stage "request" (one ERROR says why). Admitting an
// admitted request again changes nothing and warns of nothing.
[[nodiscard]] bool AdmitBegin(const UpdateRequest& request, const Caller& caller,
                              const UpdatePolicy& policy, UpdateRequest& admitted,
                              UpdateFailure& failure);

// Which releases an update begun by `caller` may install: administrators
// any not older than the installed one, or, when policy allows it
// (AllowDowngrade), an older one too; every other caller only a newer
// release of the product.
[[nodiscard]] ReleaseRule AdmittedReleases(const Caller& caller, const UpdatePolicy& policy);
