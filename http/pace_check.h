#pragma once

#include <cstdint>

#include "http/download_pace.h"

// Whether a download keeps its pace (see DownloadPace): counts what arrives
// in windows of `pace.window` and looks at the update's deadline. Takes the
// time from its caller, so its limits can be shown without a slow server.
class PaceCheck {
  public:
    using Clock = DownloadPace::Clock;

    enum class Verdict {
        kKeepsPace,
        kDeadlineReached,  // the update's downloads reached their time limit
        kTooSlow,          // a window ended with fewer bytes than the floor
    };

    // The first window starts at `start`.
    PaceCheck(const DownloadPace& pace, Clock::time_point start)
        : pace_(pace), windowStart_(start) {}

    // Counts `bytes` that arrived at `now`.
    [[nodiscard]] Verdict Count(uint64_t bytes, Clock::time_point now);

    // The bytes of the window that was judged too slow (or of the current one).
    [[nodiscard]] uint64_t WindowBytes() const { return windowBytes_; }

  private:
    DownloadPace pace_;
    Clock::time_point windowStart_;
    uint64_t windowBytes_ = 0;
};
