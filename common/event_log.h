#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/scoped_override.h"

// The Windows Event Log, where administrators' monitoring looks: the service
// writes one event per update outcome and per condition an administrator must
// act on, under its own classic source in the Application log. Each event
// has a fixed id and level; its texts are the message table compiled into
// the executable (the source's EventMessageFile), its inserts the facts of
// that event. Progress, queries and everything else stay in the trace and
// the run log.

namespace Common {

// The source's name, and its key below HKEY_LOCAL_MACHINE (the package
// writes EventMessageFile and TypesSupported there).
inline constexpr wchar_t kEventSourceName[] = L"kestrelGATE Update";
inline constexpr wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\kestrelGATE Update";

// How long one insert may be; a longer one is cut and ends with kInsertCut.
inline constexpr size_t kMaxInsertChars = 2048;
inline constexpr wchar_t kInsertCut[] = L" [cut]";

enum class EventLevel : WORD {
    kInformation = EVENTLOG_INFORMATION_TYPE,
    kWarning = EVENTLOG_WARNING_TYPE,
    kError = EVENTLOG_ERROR_TYPE,
};

// One event: its message id (as the message table has it, severity bits
// included), its level and the texts for %1, %2, ...
struct EventLogEntry {
    DWORD id = 0;
    EventLevel level = EventLevel::kInformation;
    std::vector<std::wstring> inserts;
};

// The id an event viewer shows for a message id: its low 16 bits.
[[nodiscard]] inline WORD ShownEventId(DWORD messageId) {
    return static_cast<WORD>(messageId & 0xFFFF);
}

// Where events go: a seam (scoped_override.h) whose platform instance writes
// to the Application log. Tests put one of their own in its place to see
// which events the service reports.
class EventLogWriter {
  public:
    virtual ~EventLogWriter() = default;

    [[nodiscard]] static EventLogWriter& Platform();

    // True when the source's key holds an EventMessageFile: without it an
    // event viewer has no text for the events.
    [[nodiscard]] virtual bool IsSourceRegistered();

    // Writes one event under the source (registered once, the handle kept
    // for the process's life). ERROR_SUCCESS, or the error.
    [[nodiscard]] virtual DWORD Write(const EventLogEntry& entry);
};

// The process's reports to the Event Log. The first report of a run checks
// the source's registration: a source that is not registered (a service
// registered by hand, a development run) costs one WARNING for the run, and
// the events are written all the same (their inserts are kept; a viewer then
// shows them without their text). A write that fails is logged as an ERROR;
// nothing else comes of it.
class EventLog {
  public:
    // Masks secrets and control characters in the inserts as in any logged
    // line, cuts each to kMaxInsertChars, and writes the event.
    void Report(EventLogEntry entry);

  private:
    std::atomic<bool> registrationChecked_{false};
};

// The process's one.
[[nodiscard]] EventLog& TheEventLog();

}  // namespace Common
