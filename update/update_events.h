#pragma once

// The events the update service writes to the Application log (see
// common/event_log.h): which event each outcome and each condition an
// administrator must act on gives, with its fixed id, level and inserts.
// The texts are in update_event_messages.mc. Nothing else is an event.

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/event_log.h"
#include "update/download_cache.h"
#include "update/update_controller.h"
#include "update/update_policy.h"

// The installer version insert of an installer without a version resource.
inline constexpr wchar_t kNoInstallerVersion[] = L"none";

// 1000, information: the update completed. Inserts: URL, the installer's
// product version (kNoInstallerVersion without one), seconds, who began it.
[[nodiscard]] Common::EventLogEntry UpdateCompletedEvent(const UpdateSnapshot& snapshot,
                                                         const std::wstring& installerVersion);

// 1001, error: the update failed. Inserts: stage, code, reason, URL, who
// began it.
[[nodiscard]] Common::EventLogEntry UpdateFailedEvent(const UpdateSnapshot& snapshot);

// 1002, warning: the policy key is not protected, so what it allows is
// ignored. Inserts: the key, why it is not protected, what was ignored.
[[nodiscard]] Common::EventLogEntry PolicyKeyNotProtectedEvent(const UpdatePolicy& policy);

// 1003, error: the cache cannot be used. Inserts: the folder, what is wrong
// with it, what to do.
[[nodiscard]] Common::EventLogEntry CacheUnusableEvent(const CacheRefusal& refusal);

// 1004, warning: the installer still runs. Inserts: its process id, the
// minutes it has run.
[[nodiscard]] Common::EventLogEntry InstallerStillRunningEvent(DWORD processId, uint64_t minutes);

// The event of a final outcome: UpdateCompletedEvent or UpdateFailedEvent
// by the snapshot's status; false for a status that is not final.
[[nodiscard]] bool OutcomeEvent(const UpdateSnapshot& snapshot,
                                const std::wstring& installerVersion,
                                Common::EventLogEntry& entry);
