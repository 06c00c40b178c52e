#include "common/event_log.h"

#include <mutex>

#include "common/control_characters.h"
#include "common/log.h"
#include "common/redact_credentials.h"
#include "common/unique_handle.h"

namespace Common {

EventLogWriter& EventLogWriter::Platform() {
    static EventLogWriter platform;
    return platform;
}

bool EventLogWriter::IsSourceRegistered() {
    RegistryKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                        key.Receive()) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD size = 0;
    const LSTATUS read =
        ::RegQueryValueExW(key.Get(), L"EventMessageFile", nullptr, &type, nullptr, &size);
    return read == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) &&
           size > sizeof(wchar_t);
}

DWORD EventLogWriter::Write(const EventLogEntry& entry) {
    // Registered once and kept: every later event goes through this handle.
    static std::once_flag once;
    static EventSource source;
    static DWORD registerError = ERROR_SUCCESS;
    std::call_once(once, [] {
        source.Reset(::RegisterEventSourceW(nullptr, kEventSourceName));
        registerError = source ? ERROR_SUCCESS : ::GetLastError();
    });
    if (!source) {
        return registerError != ERROR_SUCCESS ? registerError : ERROR_INVALID_HANDLE;
    }
    std::vector<const wchar_t*> strings;
    strings.reserve(entry.inserts.size());
    for (const std::wstring& insert : entry.inserts) {
        strings.push_back(insert.c_str());
    }
    if (!::ReportEventW(source.Get(), static_cast<WORD>(entry.level), 0, entry.id, nullptr,
                        static_cast<WORD>(strings.size()), 0,
                        strings.empty() ? nullptr : strings.data(), nullptr)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

void EventLog::Report(EventLogEntry entry) {
    EventLogWriter& writer = Current<EventLogWriter>();
    if (!registrationChecked_.exchange(true) && !writer.IsSourceRegistered()) {
        Log::Warning(L"The event source [%s] is not registered (no EventMessageFile under "
                     L"HKEY_LOCAL_MACHINE\\%s); this run's events are written without their "
                     L"texts. The package registers it",
                     kEventSourceName, kEventSourceKey);
    }
    for (std::wstring& insert : entry.inserts) {
        (void)RedactCredentials(insert);
        (void)EscapeControlCharacters(insert);
        if (insert.size() > kMaxInsertChars) {
            insert.resize(kMaxInsertChars - (sizeof(kInsertCut) / sizeof(wchar_t) - 1));
            insert += kInsertCut;
        }
    }
    const DWORD written = writer.Write(entry);
    if (written != ERROR_SUCCESS) {
        Log::Error(L"Call to ReportEvent for event [%u] failed with: [%lu]",
                   static_cast<unsigned>(ShownEventId(entry.id)), written);
    }
}

EventLog& TheEventLog() {
    static EventLog log;
    return log;
}

}  // namespace Common
