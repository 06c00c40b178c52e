#include "http/pace_check.h"

PaceCheck::Verdict PaceCheck::Count(uint64_t bytes, Clock::time_point now) {
    windowBytes_ += bytes;
    if (now >= pace_.deadline) {
        return Verdict::kDeadlineReached;
    }
    if (now - windowStart_ < pace_.window) {
        return Verdict::kKeepsPace;
    }
    if (windowBytes_ < pace_.floorBytes) {
        return Verdict::kTooSlow;
    }
    windowStart_ = now;
    windowBytes_ = 0;
    return Verdict::kKeepsPace;
}
