#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/event_log.h"
#include "common/scoped_override.h"

namespace testsupport {

// Takes the Event Log's place for its lifetime (the real one under Wine
// keeps nothing to read back) and keeps every event reported. Says the
// source is registered unless told otherwise; a write fails with
// `writeError` when that is set.
class EventLogRecorder : public Common::EventLogWriter {
  public:
    EventLogRecorder() : seam_(*this) {}

    bool registered = true;
    DWORD writeError = ERROR_SUCCESS;

    bool IsSourceRegistered() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++registrationChecks_;
        return registered;
    }

    DWORD Write(const Common::EventLogEntry& entry) override {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(entry);
        return writeError;
    }

    [[nodiscard]] std::vector<Common::EventLogEntry> Entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

    // The events whose shown id is `id`.
    [[nodiscard]] std::vector<Common::EventLogEntry> WithId(WORD id) const {
        std::vector<Common::EventLogEntry> found;
        for (const auto& entry : Entries()) {
            if (Common::ShownEventId(entry.id) == id) {
                found.push_back(entry);
            }
        }
        return found;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

    [[nodiscard]] int RegistrationChecks() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return registrationChecks_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Common::EventLogEntry> entries_;
    int registrationChecks_ = 0;
    Common::ScopedOverride<Common::EventLogWriter> seam_;
};

}  // namespace testsupport
