#include "http/progress_throttle.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using std::chrono::milliseconds;

TEST(ProgressThrottle, TheFirstReportThenOneAPeriodAndTheLastAlways) {
    struct Report {
        int atMs;
        bool last;
        bool due;
    };
    struct Case {
        const char* name;
        std::vector<Report> reports;
    };
    const Case cases[] = {
        {"the first report is due", {{0, false, true}}},
        {"reports within the period are not",
         {{0, false, true}, {1, false, false}, {4999, false, false}, {5000, false, true}}},
        {"the period counts from the last report that was due",
         {{0, false, true}, {6000, false, true}, {10000, false, false}, {11000, false, true}}},
        {"the last report is due however soon it comes",
         {{0, false, true}, {10, true, true}}},
        {"a download done in its first chunk reports once, at its end", {{0, true, true}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgressThrottle throttle(milliseconds(5000));
        const ProgressThrottle::Clock::time_point start{};
        for (const Report& r : c.reports) {
            EXPECT_EQ(r.due, throttle.Due(start + milliseconds(r.atMs), r.last)) << "at " << r.atMs;
        }
    }
}

}  // namespace
