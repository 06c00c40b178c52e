#pragma once

#include <cstdint>
#include <deque>
#include <string>

// The later lines of a run's log file, after its head, and the rule of what
// stays when they no longer fit (no file access here: the run log writes what
// this keeps). While the lines fit their room they are all kept; when they
// do not, they are trimmed to three quarters of the room (so that the file is
// written again only after another quarter has come in): INFO lines leave
// first, then WARNING and ERROR lines, oldest first, while the newest lines
// (up to a quarter of the room) always stay.
class RunLogWindow {
  public:
    struct Line {
        std::string bytes;
        bool important = false;  // WARNING or ERROR
    };

    // Adds the newest line; true while every line still fits `room` bytes.
    [[nodiscard]] bool Add(Line line, uint64_t room);

    // Trims to the rule above for `room` bytes.
    void Trim(uint64_t room);

    void Clear();

    [[nodiscard]] const std::deque<Line>& Lines() const { return lines_; }
    [[nodiscard]] uint64_t Bytes() const { return bytes_; }
    // Lines trimmed away since the run started.
    [[nodiscard]] uint64_t LeftOut() const { return leftOut_; }

  private:
    std::deque<Line> lines_;
    uint64_t bytes_ = 0;
    uint64_t leftOut_ = 0;
};
