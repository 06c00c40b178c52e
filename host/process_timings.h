#pragma once

#include "update/worker_timings.h"

// The periods this program runs its worker with. kgclient_update.exe links
// the product's (process_timings.cpp); a test build of the same host links
// shorter ones, so that whole-process tests need not wait for 30-second
// idle checks.
[[nodiscard]] WorkerTimings ProcessTimings();
