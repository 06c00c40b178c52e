#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What kgupdate-ctl shows of a run log, from the end of the file it read
// (the worker's own file, or one edited by anybody who could: its bytes are
// shown, never obeyed). Whole lines only: when bytes before the end were
// left out, the first line read may be the end of a line and is not shown
// or taken for a summary. Every control character but the lines' own line
// feeds is written visibly.

// The text to print for `tail`, the end of a file of which `skipped` bytes
// before it were left out; `skipped` grows by the part line left out.
[[nodiscard]] std::string ShownRunLogText(const std::string& tail, uint64_t& skipped);

// The worker's summary line of a run: the last whole line of `tail` that
// is its time stamp, then exactly "   INFO : " and `marker`. A caller's text
// logged inside another line (its control characters written visibly, so
// it cannot start a line) is never taken for one. `cut`: bytes before
// `tail` were left out.
struct RunSummaryLine {
    size_t start = 0;     // where the line starts in `tail`
    std::string shown;    // the line as printed
    bool failed = false;  // its result is Failed
};
[[nodiscard]] bool LastRunSummary(const std::string& tail, bool cut, const std::string& marker,
                                  RunSummaryLine& summary);
