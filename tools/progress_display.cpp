#include "tools/progress_display.h"

namespace {

const char* const kStatusNames[] = {"Downloading", "Installing", "Completed", "Failed"};

const char* StatusName(int status) {
    return status >= 0 && status <= 3 ? kStatusNames[status] : "unknown";
}

std::string Megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

std::string ProgressDisplay::Describe(int status, uint64_t received, uint64_t total,
                                      double bytesPerSecond) {
    std::string text = StatusName(status);
    char piece[96];
    if (total > 0) {
        const uint64_t shown = received < total ? received : total;
        std::snprintf(piece, sizeof(piece), "  %3u%%  %s of %s MB",
                      static_cast<unsigned>(shown * 100 / total), Megabytes(shown).c_str(),
                      Megabytes(total).c_str());
        text += piece;
    } else if (received > 0) {
        text += "  " + Megabytes(received) + " MB";
    }
    if (status == 0 && bytesPerSecond > 0) {
        if (bytesPerSecond >= 1e6) {
            std::snprintf(piece, sizeof(piece), "  %s MB/s",
                          Megabytes(static_cast<uint64_t>(bytesPerSecond)).c_str());
        } else {
            std::snprintf(piece, sizeof(piece), "  %.0f kB/s", bytesPerSecond / 1e3);
        }
        text += piece;
        if (total > received) {
            const uint64_t left = static_cast<uint64_t>((total - received) / bytesPerSecond);
            std::snprintf(piece, sizeof(piece), "  %u:%02u left",
                          static_cast<unsigned>(left / 60), static_cast<unsigned>(left % 60));
            text += piece;
        }
    }
    return text;
}

void ProgressDisplay::Show(int status, uint64_t received, uint64_t total, Clock::time_point now) {
    if (!rateStarted_ && received > 0) {
        rateStarted_ = true;
        rateStart_ = now;
        rateStartBytes_ = received;
    }
    const double seconds = std::chrono::duration<double>(now - rateStart_).count();
    const double rate = rateStarted_ && seconds > 0.5 && received > rateStartBytes_
                            ? static_cast<double>(received - rateStartBytes_) / seconds
                            : 0;
    const std::string text = Describe(status, received, total, rate);
    if (console_) {
        std::string line = "\rstatus: " + text;
        const size_t length = line.size();
        if (length < lineLength_) {
            line.append(lineLength_ - length, ' ');  // wipe what the longer line left
        }
        lineLength_ = length;
        std::fputs(line.c_str(), out_);
    } else {
        if (status != shownStatus_) {
            std::fprintf(out_, "status: %s\n", StatusName(status));
        }
        if (status == 0 && (total > 0 || received > 0) &&
            now - lastPlainProgress_ >= std::chrono::seconds(5)) {
            std::fprintf(out_, "progress: %s\n", text.c_str());
            lastPlainProgress_ = now;
        }
    }
    shownStatus_ = status;
    std::fflush(out_);
}

void ProgressDisplay::Finish() {
    if (console_ && lineLength_ > 0) {
        std::fputs("\n", out_);
        std::fflush(out_);
    }
}
