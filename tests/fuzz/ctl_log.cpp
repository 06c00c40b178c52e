// kgupdate-ctl's reading of run log text, over any bytes a file may hold and
// any cut of its start.
//
// Properties: what is printed holds no control character but line feeds;
// when the start was cut, the part line before the first line feed is left
// out and counted; the summary found is a whole line of the text, of the
// summary's form, and no later whole line is one; its Failed flag is its
// result's.

#include <string>

#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_text.h"
#include "tools/run_log_text.h"

namespace {

const std::string kMarker = "Run summary: ";
const std::string kPrefix = "   INFO : " + kMarker;

// The C0 controls but the line feed, DEL, and the C1 controls written as two
// UTF-8 bytes; the other controls' bytes are checked by the escapes' own
// target.
bool HasControl(const std::string& text, bool lineFeeds) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && !(lineFeeds && c == '\n')) || c == 0x7F) {
            return true;
        }
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            return true;
        }
    }
    return false;
}

bool IsSummaryLine(const std::string& line) {
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd.dddZ ";
    if (line.size() <= 25 + kPrefix.size()) {
        return false;
    }
    for (size_t i = 0; i < 25; ++i) {
        const char c = line[i];
        if (kShape[i] == 'd' ? (c < '0' || c > '9') : c != kShape[i]) {
            return false;
        }
    }
    return line.compare(25, kPrefix.size(), kPrefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const bool cut = input.ConsumeBool();
    const std::string tail = input.ConsumeRemainingBytesAsString();

    uint64_t skipped = cut ? 1000 : 0;
    const std::string shown = ShownRunLogText(tail, skipped);
    FUZZ_CHECK(!HasControl(shown, true), "a control character printed");
    const size_t left = static_cast<size_t>(skipped - (cut ? 1000 : 0));
    FUZZ_CHECK(left <= tail.size(), "%zu of %zu bytes left out", left, tail.size());
    FUZZ_CHECK(cut || left == 0, "bytes left out of a whole file");
    FUZZ_CHECK(left == 0 || tail[left - 1] == '\n' || left == tail.size(),
               "shown from the middle of a line");
    uint64_t none = 0;
    FUZZ_CHECK(ShownRunLogText(tail.substr(left), none) == shown && none == 0,
               "the whole lines shown otherwise than the cut text");

    RunSummaryLine summary;
    if (!LastRunSummary(tail, cut, kMarker, summary)) {
        return 0;
    }
    FUZZ_CHECK(summary.start >= left && summary.start <= tail.size(), "a summary at %zu",
               summary.start);
    FUZZ_CHECK(summary.start == 0 || tail[summary.start - 1] == '\n',
               "a summary that does not start a line");
    size_t end = tail.find('\n', summary.start);
    end = end == std::string::npos ? tail.size() : end;
    std::string line = tail.substr(summary.start, end - summary.start);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    FUZZ_CHECK(IsSummaryLine(line), "a summary line of another form");
    FUZZ_CHECK(!HasControl(summary.shown, false), "a control character in the summary");
    FUZZ_CHECK(summary.failed == (line.compare(25 + kPrefix.size(), 15, "result [Failed]") == 0),
               "the Failed flag is not the line's");
    RunSummaryLine later;
    FUZZ_CHECK(end == tail.size() || !LastRunSummary(tail.substr(end + 1), false, kMarker, later),
               "a later summary line passed over");
    return 0;
}
