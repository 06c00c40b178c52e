#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// Shows an update's progress as kgupdate-ctl follows it. On a console, one
// line redrawn in place: status, percent, MB received of total, rate and
// time left. Elsewhere (a pipe, a file), plain lines only: one per status
// change and at most one progress line every five seconds.
class ProgressDisplay {
  public:
    using Clock = std::chrono::steady_clock;

    ProgressDisplay(FILE* out, bool console) : out_(out), console_(console) {}

    // One answer: status 0 to 3, bytes received and announced (0: unknown).
    void Show(int status, uint64_t received, uint64_t total, Clock::time_point now);

    // Ends the redrawn line.
    void Finish();

    // The progress text of one answer, e.g.
    //   "Downloading  42%  12.3 of 29.1 MB  5.2 MB/s  0:03 left"
    // (a rate under 1 MB/s in kB/s)
    // `bytesPerSecond` <= 0: no rate and no time left.
    [[nodiscard]] static std::string Describe(int status, uint64_t received, uint64_t total,
                                              double bytesPerSecond);

  private:
    FILE* out_;
    bool console_;
    int shownStatus_ = -2;
    size_t lineLength_ = 0;
    Clock::time_point lastPlainProgress_{};
    // The rate is measured from the first answer with bytes.
    bool rateStarted_ = false;
    Clock::time_point rateStart_{};
    uint64_t rateStartBytes_ = 0;
};
