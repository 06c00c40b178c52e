#include "common/run_log_window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Lines of 40 bytes named by their kind and place ("I3", "E7"); a room of
// 400 bytes: trimmed to 300, the newest 100 bytes (two lines) always stay.
constexpr uint64_t kRoom = 400;

RunLogWindow::Line Named(char kind, size_t index) {
    std::string bytes = std::string(1, kind) + std::to_string(index);
    bytes.resize(39, '.');
    bytes += '\n';
    return {bytes, kind == 'E'};
}

std::vector<std::string> Names(const RunLogWindow& window) {
    std::vector<std::string> names;
    for (const RunLogWindow::Line& line : window.Lines()) {
        names.push_back(line.bytes.substr(0, line.bytes.find('.')));
    }
    return names;
}

TEST(RunLogWindow, KeepsFailuresAndTheNewestLinesWhenTrimmed) {
    struct Case {
        const char* name;
        const char* kinds;  // one line per letter, oldest first
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        {"the oldest INFO lines leave, down to three quarters of the room",
         "IIIIIIIIIII",
         {"I4", "I5", "I6", "I7", "I8", "I9", "I10"}},
        {"an old ERROR line stays while INFO lines leave",
         "EIIIIIIIIII",
         {"E0", "I5", "I6", "I7", "I8", "I9", "I10"}},
        {"failures leave only when nothing else can, oldest first",
         "EEEEEEEEEEE",
         {"E4", "E5", "E6", "E7", "E8", "E9", "E10"}},
        {"the newest lines stay whatever their kind",
         "EEEEEEEEEII",
         {"E4", "E5", "E6", "E7", "E8", "I9", "I10"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunLogWindow window;
        const std::string kinds = c.kinds;
        for (size_t i = 0; i < kinds.size(); ++i) {
            const bool fits = window.Add(Named(kinds[i], i), kRoom);
            EXPECT_EQ(i < 10, fits) << "line " << i;
        }
        window.Trim(kRoom);
        EXPECT_EQ(c.kept, Names(window));
        EXPECT_EQ(c.kept.size() * 40, window.Bytes());
        EXPECT_EQ(kinds.size() - c.kept.size(), window.LeftOut());
    }
}

TEST(RunLogWindow, CountsWhatLeftOverManyTrims) {
    RunLogWindow window;
    uint64_t added = 0;
    for (size_t i = 0; i < 100; ++i) {
        ++added;
        if (!window.Add(Named('I', i), kRoom)) {
            window.Trim(kRoom);
        }
        EXPECT_LE(window.Bytes(), kRoom);
    }
    EXPECT_EQ(added, window.Lines().size() + window.LeftOut());
    EXPECT_EQ("I99", Names(window).back());
    window.Clear();
    EXPECT_TRUE(window.Lines().empty());
    EXPECT_EQ(0u, window.LeftOut());
}

}  // namespace
