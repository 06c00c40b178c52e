#pragma once

#include <cstddef>

// kgupdate-ctl reading the workers' run log files (an administrator's
// commands: the folder is SYSTEM's and the Administrators' only).

// Prints the summary line of the newest run log that has one (a worker that
// still runs has none yet). As a hint (after "not reachable"), only when
// there is one, to standard error. An exit code: kUpdateFailed for a failed
// run, kNoResponse when there is none.
int PrintLastSummary(bool asHint);

// Prints the last `runs` run log files, oldest first, each under a header.
int PrintRunLogs(size_t runs);
