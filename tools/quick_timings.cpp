#include "host/process_timings.h"

// The worker of the whole-process tests: an idle check every 10 seconds
// instead of 30 (long enough for a test to send its first request on a busy
// machine); every other period is the product's.
WorkerTimings ProcessTimings() {
    WorkerTimings timings;
    timings.idleCheck = std::chrono::milliseconds(10000);
    return timings;
}
