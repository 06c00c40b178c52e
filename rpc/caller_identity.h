#pragma once

// Who sent the RPC call being served: read from the caller's token.

#include "common/scoped_override.h"
#include "update/caller.h"

// A seam (common/scoped_override.h): under Wine every process runs as one
// account that looks like an administrator, so tests put their own in place
// to be SYSTEM, an administrator, an ordinary user or a caller that cannot
// be read.
class CallerIdentity {
  public:
    virtual ~CallerIdentity() = default;

    // Reads the caller through the RPC run time.
    [[nodiscard]] static CallerIdentity& Platform();

    // The caller of the call this thread serves. The caller is impersonated
    // only while its token is opened, and never acted for. A caller that
    // cannot be read comes back not `known` (and not an administrator).
    [[nodiscard]] virtual Caller OfCurrentCall();
};

// The caller of the call this thread serves, through the instance in use.
[[nodiscard]] inline Caller IdentifyCaller() {
    return Common::Current<CallerIdentity>().OfCurrentCall();
}

using ScopedCallerIdentity = Common::ScopedOverride<CallerIdentity>;
