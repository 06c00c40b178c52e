#include "http/progress_throttle.h"

bool ProgressThrottle::Due(Clock::time_point now, bool last) {
    if (!last && reported_ && now - lastReport_ < period_) {
        return false;
    }
    reported_ = true;
    lastReport_ = now;
    return true;
}
