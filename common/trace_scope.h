#pragma once

#include <exception>
#include <string>

#include "common/log.h"
#include "common/wide_format.h"

// The tracing convention in one object: ENTER when an operation starts, EXIT
// on every return path, so the lines nest as the calls do.
//
//   TraceScope trace;                         // ENTER and EXIT with empty texts
//   TraceScope trace(L"%s", commandLine);     // ENTER with a text
//   trace.SetExitText(L"%u", result);         // EXIT with a text
//
// When an exception leaves the operation no EXIT is written: the operation
// did not return.
class TraceScope {
  public:
    TraceScope() : uncaughtAtEntry_(std::uncaught_exceptions()) { Log::Enter(nullptr); }

    template <typename... Args>
    explicit TraceScope(const wchar_t* enterFormat, Args... args)
        : uncaughtAtEntry_(std::uncaught_exceptions()) {
        Log::Enter(enterFormat, args...);
    }

    ~TraceScope() {
        if (std::uncaught_exceptions() > uncaughtAtEntry_) {
            return;
        }
        if (hasExitText_) {
            Log::Exit(L"%s", exitText_.c_str());
        } else {
            Log::Exit(nullptr);
        }
    }

    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

    // The text of the EXIT line, formatted now (only when EXIT is wanted).
    template <typename... Args>
    void SetExitText(const wchar_t* format, Args... args) {
        hasExitText_ = true;
        if (Log::IsWanted(LogLevel::Exit)) {
            wchar_t text[Log::kBufferChars];
            Common::FormatWide(text, format, args...);
            exitText_ = text;
        }
    }

  private:
    int uncaughtAtEntry_;
    bool hasExitText_ = false;
    std::wstring exitText_;
};
