#include "host/process_timings.h"

WorkerTimings ProcessTimings() {
    return WorkerTimings();
}
