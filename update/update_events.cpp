#include "update/update_events.h"

#include "update_event_messages.h"

using Common::EventLevel;
using Common::EventLogEntry;

EventLogEntry UpdateCompletedEvent(const UpdateSnapshot& snapshot,
                                   const std::wstring& installerVersion) {
    return {KG_EVENT_UPDATE_COMPLETED, EventLevel::kInformation,
            {snapshot.url, installerVersion.empty() ? kNoInstallerVersion : installerVersion,
             std::to_wstring(snapshot.seconds), snapshot.begunBy.Describe()}};
}

EventLogEntry UpdateFailedEvent(const UpdateSnapshot& snapshot) {
    return {KG_EVENT_UPDATE_FAILED, EventLevel::kError,
            {snapshot.failure.stage, std::to_wstring(snapshot.failure.code), snapshot.failure.text,
             snapshot.url, snapshot.begunBy.Describe()}};
}

EventLogEntry PolicyKeyNotProtectedEvent(const UpdatePolicy& policy) {
    std::wstring ignored;
    for (const std::wstring& name : policy.ignoredAllowances) {
        ignored += (ignored.empty() ? L"" : L", ") + name;
    }
    return {KG_EVENT_POLICY_KEY_NOT_PROTECTED, EventLevel::kWarning,
            {policy.keyName, policy.untrustedBecause, ignored.empty() ? L"none set" : ignored}};
}

EventLogEntry CacheUnusableEvent(const CacheRefusal& refusal) {
    return {KG_EVENT_CACHE_UNUSABLE, EventLevel::kError,
            {refusal.folder, refusal.why, refusal.remedy}};
}

EventLogEntry InstallerStillRunningEvent(DWORD processId, uint64_t minutes) {
    return {KG_EVENT_INSTALLER_STILL_RUNNING, EventLevel::kWarning,
            {std::to_wstring(processId), std::to_wstring(minutes)}};
}

bool OutcomeEvent(const UpdateSnapshot& snapshot, const std::wstring& installerVersion,
                  EventLogEntry& entry) {
    if (snapshot.status == Completed) {
        entry = UpdateCompletedEvent(snapshot, installerVersion);
        return true;
    }
    if (snapshot.status == Failed) {
        entry = UpdateFailedEvent(snapshot);
        return true;
    }
    return false;
}
