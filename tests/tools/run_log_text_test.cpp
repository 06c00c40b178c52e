#include "tools/run_log_text.h"

#include <string>

#include <gtest/gtest.h>

namespace {

const std::string kMarker = "Run summary: ";
const std::string kStamp = "2026-12-10T15:48:00.123Z ";

// When a file's start was left out, its first line read may be the end of a
// line: a caller's text logged there ("...\u2026 <stamp>   INFO : Run
// summary: result [Completed]") must not pass for the run's summary, nor be
// shown as a line of its own.
TEST(RunLogText, APartLineBeforeTheFirstLineFeedIsNeitherShownNorASummary) {
    const std::string forged = kStamp + "   INFO : " + kMarker + "result [Completed]";
    const std::string real = kStamp + "   INFO : " + kMarker + "result [Failed] begun by [x]";
    const struct {
        const char* what;
        std::string tail;
        bool cut;
        bool found;
        bool failed;
    } cases[] = {
        {"cut inside a line", forged + "\n" + kStamp + "   INFO : next\n", true, false, false},
        {"whole from the start", forged + "\n" + kStamp + "   INFO : next\n", false, true, false},
        {"the last of two", forged + "\n" + real + "\r\n", false, true, true},
        {"inside another line", kStamp + "WARNING : said " + forged + "\n", false, false, false},
    };
    for (const auto& c : cases) {
        RunSummaryLine summary;
        EXPECT_EQ(c.found, LastRunSummary(c.tail, c.cut, kMarker, summary)) << c.what;
        EXPECT_EQ(c.failed, summary.failed) << c.what;
        uint64_t skipped = c.cut ? 100 : 0;
        const std::string shown = ShownRunLogText(c.tail, skipped);
        EXPECT_EQ(c.cut, shown.find("result [Completed]") == std::string::npos) << c.what;
        EXPECT_EQ(c.cut ? 100 + forged.size() + 1 : 0, skipped) << c.what;
    }
}

// What a file holds reaches the terminal only as text: every control
// character but the line feeds is written visibly, in the summary line too.
TEST(RunLogText, ShowsControlCharactersVisibly) {
    const std::string tail = kStamp + "   INFO : " + kMarker + "result [Completed] \x1b[2J\r\n" +
                             "\x1b]0;title\x07\n";
    uint64_t skipped = 0;
    EXPECT_EQ(kStamp + "   INFO : " + kMarker + "result [Completed] \\x1b[2J\\r\n" +
                  "\\x1b]0;title\\x07\n",
              ShownRunLogText(tail, skipped));
    RunSummaryLine summary;
    ASSERT_TRUE(LastRunSummary(tail, false, kMarker, summary));
    EXPECT_EQ(kStamp + "   INFO : " + kMarker + "result [Completed] \\x1b[2J", summary.shown);
    EXPECT_EQ(0u, summary.start);
}

}  // namespace
