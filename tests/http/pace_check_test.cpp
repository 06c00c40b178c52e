#include "http/pace_check.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using std::chrono::seconds;

// A pace of at least 100 bytes in every 10 s, and a deadline at 60 s.
DownloadPace Pace(PaceCheck::Clock::time_point start) {
    DownloadPace pace;
    pace.window = seconds(10);
    pace.floorBytes = 100;
    pace.deadline = start + seconds(60);
    return pace;
}

TEST(PaceCheck, JudgesEachWindowByItsOwnBytesAndEndsAtTheDeadline) {
    struct Arrival {
        int atSecond;
        uint64_t bytes;
        PaceCheck::Verdict verdict;
    };
    struct Case {
        const char* name;
        std::vector<Arrival> arrivals;
        uint64_t windowBytes;  // WindowBytes() after the last arrival
    };
    using V = PaceCheck::Verdict;
    const Case cases[] = {
        {"a window is judged only once it has ended",
         {{1, 10, V::kKeepsPace}, {9, 10, V::kKeepsPace}},
         20},
        {"the floor reached within the window keeps pace, and a new window starts",
         {{5, 60, V::kKeepsPace}, {10, 40, V::kKeepsPace}, {19, 1, V::kKeepsPace}},
         1},
        {"a window below the floor is too slow, with its bytes",
         {{5, 60, V::kKeepsPace}, {10, 39, V::kTooSlow}},
         99},
        {"bytes of an earlier window do not count for the next",
         {{10, 500, V::kKeepsPace}, {20, 99, V::kTooSlow}},
         99},
        {"a trickle above the floor still ends at the deadline",
         {{10, 100, V::kKeepsPace},
          {20, 100, V::kKeepsPace},
          {59, 100, V::kKeepsPace},
          {60, 100, V::kDeadlineReached}},
         100},
        {"the deadline comes before the window's judgement",
         {{60, 0, V::kDeadlineReached}},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PaceCheck::Clock::time_point start{};
        PaceCheck check(Pace(start), start);
        for (const Arrival& a : c.arrivals) {
            EXPECT_EQ(a.verdict, check.Count(a.bytes, start + seconds(a.atSecond)))
                << "at " << a.atSecond << " s";
        }
        EXPECT_EQ(c.windowBytes, check.WindowBytes());
    }
}

}  // namespace
