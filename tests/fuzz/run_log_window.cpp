// The run log window's rule, over any sequence of lines, rooms and trims.
//
// Properties: the bytes counted are the lines' bytes; a trim keeps the lines
// in order and counts every line it leaves out; it keeps the newest lines of
// up to a quarter of the room; it leaves out INFO lines before any WARNING
// or ERROR line; and it ends within three quarters of the room unless only
// the newest lines are left.

#include <deque>
#include <numeric>
#include <string>

#include "common/run_log_window.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_text.h"

namespace {

uint64_t BytesOf(const std::deque<RunLogWindow::Line>& lines) {
    uint64_t bytes = 0;
    for (const auto& line : lines) {
        bytes += line.bytes.size();
    }
    return bytes;
}

void CheckTrim(RunLogWindow& window, uint64_t room) {
    const std::deque<RunLogWindow::Line> before = window.Lines();
    const uint64_t leftOutBefore = window.LeftOut();
    window.Trim(room);
    const auto& after = window.Lines();
    FUZZ_CHECK(window.Bytes() == BytesOf(after), "counted %llu bytes, the lines hold %llu",
               static_cast<unsigned long long>(window.Bytes()),
               static_cast<unsigned long long>(BytesOf(after)));
    FUZZ_CHECK(window.LeftOut() - leftOutBefore == before.size() - after.size(),
               "left out %llu, counted %llu",
               static_cast<unsigned long long>(before.size() - after.size()),
               static_cast<unsigned long long>(window.LeftOut() - leftOutBefore));
    // The newest lines that fit a quarter of the room.
    size_t newest = 0;
    for (uint64_t bytes = 0; newest < before.size(); ++newest) {
        bytes += before[before.size() - 1 - newest].bytes.size();
        if (bytes > room / 4) {
            break;
        }
    }
    // A subsequence of what was there (each line is told apart by its
    // number, the first bytes of its text).
    std::deque<bool> kept(before.size(), false);
    size_t at = 0;
    for (const auto& line : after) {
        while (at < before.size() && before[at].bytes != line.bytes) {
            ++at;
        }
        FUZZ_CHECK(at < before.size() && before[at].important == line.important,
                   "a line kept that was not there, or out of order");
        kept[at++] = true;
    }
    bool infoLeft = false;
    bool importantLeftOut = false;
    for (size_t i = 0; i < before.size(); ++i) {
        const bool isNewest = i >= before.size() - newest;
        FUZZ_CHECK(!isNewest || kept[i], "one of the newest %zu lines left out", newest);
        if (!isNewest) {
            infoLeft = infoLeft || (kept[i] && !before[i].important);
            importantLeftOut = importantLeftOut || (!kept[i] && before[i].important);
        }
    }
    FUZZ_CHECK(!(infoLeft && importantLeftOut), "a WARNING or ERROR line left out before INFO");
    const bool onlyNewest = after.size() == newest;
    FUZZ_CHECK(window.Bytes() <= room / 4 * 3 || onlyNewest,
               "%llu bytes after a trim to %llu with older lines left",
               static_cast<unsigned long long>(window.Bytes()),
               static_cast<unsigned long long>(room / 4 * 3));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    RunLogWindow window;
    uint64_t number = 0;
    while (input.remaining_bytes() > 0) {
        const uint64_t room = input.ConsumeIntegralInRange<uint64_t>(0, 4096);
        switch (input.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                CheckTrim(window, room);
                break;
            case 1:
                window.Clear();
                FUZZ_CHECK(window.Lines().empty() && window.Bytes() == 0 && window.LeftOut() == 0,
                           "a cleared window holds something");
                break;
            default: {
                // Each line starts with its own number: lines differ.
                RunLogWindow::Line line;
                line.bytes = std::to_string(number++) + " " +
                             input.ConsumeRandomLengthString(600);
                line.important = input.ConsumeBool();
                const uint64_t bytes = window.Bytes() + line.bytes.size();
                const bool fits = window.Add(line, room);
                FUZZ_CHECK(fits == (bytes <= room) && window.Bytes() == bytes,
                           "added to %llu bytes: fits %d in %llu",
                           static_cast<unsigned long long>(bytes), fits,
                           static_cast<unsigned long long>(room));
                if (!fits) {
                    CheckTrim(window, room);
                }
            }
        }
    }
    return 0;
}
