#include "common/run_log_window.h"

#include <utility>

bool RunLogWindow::Add(Line line, uint64_t room) {
    bytes_ += line.bytes.size();
    lines_.push_back(std::move(line));
    return bytes_ <= room;
}

void RunLogWindow::Trim(uint64_t room) {
    const uint64_t target = room / 4 * 3;
    // The newest lines, up to a quarter of the room, always stay.
    size_t protectedFrom = lines_.size();
    for (uint64_t newest = 0; protectedFrom > 0; --protectedFrom) {
        newest += lines_[protectedFrom - 1].bytes.size();
        if (newest > room / 4) {
            break;
        }
    }
    // INFO lines leave first, then WARNING and ERROR lines, oldest first.
    for (const bool important : {false, true}) {
        std::deque<Line> kept;
        size_t keptOlder = 0;
        for (size_t i = 0; i < lines_.size(); ++i) {
            Line& line = lines_[i];
            const bool older = i < protectedFrom;
            if (older && line.important == important && bytes_ > target) {
                bytes_ -= line.bytes.size();
                ++leftOut_;
                continue;
            }
            keptOlder += older ? 1 : 0;
            kept.push_back(std::move(line));
        }
        protectedFrom = keptOlder;
        lines_.swap(kept);
    }
}

void RunLogWindow::Clear() {
    lines_.clear();
    bytes_ = 0;
    leftOut_ = 0;
}
