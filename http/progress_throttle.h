#pragma once

#include <chrono>

// When a download's progress goes into the run's log file: its first report,
// then at most one every `period`, and its last report always. The console
// and the trace have a line per chunk; the file, read by administrators after
// the fact, gets this much. Takes the time from its caller.
class ProgressThrottle {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kPeriod{5000};

    explicit ProgressThrottle(std::chrono::milliseconds period = kPeriod) : period_(period) {}

    // Whether the report made at `now` is due; `last` marks the download's end.
    [[nodiscard]] bool Due(Clock::time_point now, bool last);

  private:
    std::chrono::milliseconds period_;
    bool reported_ = false;
    Clock::time_point lastReport_{};
};
