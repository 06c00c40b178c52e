#include "tools/run_log_text.h"

#include "common/control_characters.h"

namespace {

constexpr size_t kStampChars = 25;  // "2026-12-10T15:48:00.123Z "

// Where the first whole line of `tail` starts.
size_t FirstWholeLine(const std::string& tail, bool cut) {
    if (!cut) {
        return 0;
    }
    const size_t lineFeed = tail.find('\n');
    return lineFeed == std::string::npos ? tail.size() : lineFeed + 1;
}

bool IsStamp(const std::string& line) {
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd.dddZ ";
    for (size_t i = 0; i < kStampChars; ++i) {
        const char c = line[i];
        if (kShape[i] == 'd' ? (c < '0' || c > '9') : c != kShape[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string ShownRunLogText(const std::string& tail, uint64_t& skipped) {
    const size_t first = FirstWholeLine(tail, skipped != 0);
    skipped += first;
    std::string shown = tail.substr(first);
    (void)Common::EscapeControlCharacters(shown, "\n");
    return shown;
}

bool LastRunSummary(const std::string& tail, bool cut, const std::string& marker,
                    RunSummaryLine& summary) {
    const std::string prefix = "   INFO : " + marker;
    const size_t first = FirstWholeLine(tail, cut);
    size_t end = tail.size();
    while (end > first) {
        const size_t lineFeed = tail.rfind('\n', end - 1);
        const size_t from = lineFeed == std::string::npos || lineFeed < first ? first : lineFeed + 1;
        std::string line = tail.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() > kStampChars + prefix.size() && IsStamp(line) &&
            line.compare(kStampChars, prefix.size(), prefix) == 0) {
            summary.start = from;
            summary.failed = line.compare(kStampChars + prefix.size(), 15, "result [Failed]") == 0;
            (void)Common::EscapeControlCharacters(line, "");
            summary.shown = std::move(line);
            return true;
        }
        if (from == first) {
            break;
        }
        end = from - 1;
    }
    return false;
}
