#pragma once

// Test helpers that observe what Log writes: the text lines on standard
// output and the events handed to the trace provider.

#include <windows.h>
#include <evntprov.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/scoped_override.h"
#include "common/trace_provider.h"

namespace testsupport {

struct RecordedEvent {
    EVENT_DESCRIPTOR descriptor;
    std::vector<std::vector<uint8_t>> fields;

    // Field `i` read as a UTF-16 text with its NUL (the NUL is checked).
    std::wstring WideField(size_t i) const {
        const auto& bytes = fields.at(i);
        EXPECT_GE(bytes.size(), 2u);
        EXPECT_EQ(bytes.size() % 2, 0u);
        std::wstring text(bytes.size() / 2, L'\0');
        memcpy(&text[0], bytes.data(), bytes.size());
        EXPECT_EQ(text.back(), L'\0');
        text.pop_back();
        return text;
    }
};

// Takes EventWrite's place for its lifetime and keeps a copy of every event.
class EventRecorder : public EventWriter {
  public:
    std::vector<RecordedEvent> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    ULONG Write(REGHANDLE, PCEVENT_DESCRIPTOR descriptor, ULONG count,
                PEVENT_DATA_DESCRIPTOR data) override {
        RecordedEvent event{*descriptor, {}};
        for (ULONG i = 0; i < count; ++i) {
            const auto* bytes =
                reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(data[i].Ptr));
            event.fields.emplace_back(bytes, bytes + data[i].Size);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
        return ERROR_SUCCESS;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<RecordedEvent> events_;
    Common::ScopedOverride<EventWriter> seam_{*this};
};

// Simulates what an ETW session does to the provider.
inline void EnableTraceSession(UCHAR level, ULONGLONG matchAny, ULONGLONG matchAll = 0) {
    TraceProvider::EnableCallback(nullptr, 1, level, matchAny, matchAll, nullptr, &traceProvider);
}
inline void DisableTraceSession() {
    TraceProvider::EnableCallback(nullptr, 0, 0, 0, 0, nullptr, &traceProvider);
}

// Sets the text settings for a test and restores them (and a disabled trace
// session) afterwards.
class ScopedLogSettings {
  public:
    ScopedLogSettings(uint32_t destinations, int32_t threshold)
        : savedDestinations_(Log::destinations), savedThreshold_(Log::threshold) {
        Log::Initialize();
        Log::destinations = destinations;
        Log::threshold = threshold;
    }
    ~ScopedLogSettings() {
        Log::destinations = savedDestinations_;
        Log::threshold = savedThreshold_;
        DisableTraceSession();
    }

  private:
    uint32_t savedDestinations_;
    int32_t savedThreshold_;
};

// Captures standard output (where console lines go) for its lifetime.
class StdoutCapture {
  public:
    StdoutCapture() { testing::internal::CaptureStdout(); }
    ~StdoutCapture() {
        if (!taken_) {
            (void)testing::internal::GetCapturedStdout();
        }
    }
    std::string Take() {
        taken_ = true;
        return testing::internal::GetCapturedStdout();
    }

  private:
    bool taken_ = false;
};

}  // namespace testsupport
