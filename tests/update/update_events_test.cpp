#include "update/update_events.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_server.h"

namespace {

using Common::EventLevel;

// Each outcome and each condition an administrator must act on gives one
// event of a fixed id and level whose inserts are the facts the run's summary
// has; a status that is not final gives none.
TEST(UpdateEvents, EachOutcomeAndConditionHasItsIdLevelAndInserts) {
    Caller caller;
    caller.known = true;
    caller.account = L"KG\\svc-client";
    caller.sid = L"S-1-5-21-1-2-3-1105";
    UpdateSnapshot completed;
    completed.status = Completed;
    completed.url = L"https://updates.example/client.exe";
    completed.seconds = 41;
    completed.begunBy = caller;
    UpdateSnapshot failed = completed;
    failed.status = Failed;
    failed.failure = {kStageInstall, 1603, L"The installer exited with code 1603."};
    UpdateSnapshot unknownCaller = failed;
    unknownCaller.begunBy = Caller();
    UpdatePolicy policy;
    policy.present = true;
    policy.keyName = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\kestrelGATE\\Client\\AutoUpdate";
    policy.untrustedBecause = L"a user owns it";
    policy.ignoredAllowances = {L"AllowedArguments", L"AllowDowngrade"};
    UpdatePolicy nothingIgnored = policy;
    nothingIgnored.ignoredAllowances.clear();

    const struct {
        const char* what;
        Common::EventLogEntry entry;
        WORD id;
        EventLevel level;
        std::vector<std::wstring> inserts;
    } cases[] = {
        {"completed", UpdateCompletedEvent(completed, L"1.2.0.0"), 1000, EventLevel::kInformation,
         {L"https://updates.example/client.exe", L"1.2.0.0", L"41",
          L"KG\\svc-client (S-1-5-21-1-2-3-1105)"}},
        {"completed, installer without a version", UpdateCompletedEvent(completed, L""), 1000,
         EventLevel::kInformation,
         {L"https://updates.example/client.exe", L"none", L"41",
          L"KG\\svc-client (S-1-5-21-1-2-3-1105)"}},
        {"failed", UpdateFailedEvent(failed), 1001, EventLevel::kError,
         {L"install", L"1603", L"The installer exited with code 1603.",
          L"https://updates.example/client.exe", L"KG\\svc-client (S-1-5-21-1-2-3-1105)"}},
        {"failed, caller unknown", UpdateFailedEvent(unknownCaller), 1001, EventLevel::kError,
         {L"install", L"1603", L"The installer exited with code 1603.",
          L"https://updates.example/client.exe", L"an unknown caller"}},
        {"policy key not protected", PolicyKeyNotProtectedEvent(policy), 1002,
         EventLevel::kWarning,
         {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\kestrelGATE\\Client\\AutoUpdate",
          L"a user owns it", L"AllowedArguments, AllowDowngrade"}},
        {"policy key not protected, no allowance set", PolicyKeyNotProtectedEvent(nothingIgnored),
         1002, EventLevel::kWarning,
         {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\kestrelGATE\\Client\\AutoUpdate",
          L"a user owns it", L"none set"}},
        {"cache unusable",
         CacheUnusableEvent({L"C:\\ProgramData\\kestrelGATE", L"its owner is a user",
                             L"Delete it."}),
         1003, EventLevel::kError,
         {L"C:\\ProgramData\\kestrelGATE", L"its owner is a user", L"Delete it."}},
        {"installer still running", InstallerStillRunningEvent(4242, 120), 1004,
         EventLevel::kWarning, {L"4242", L"120"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.id, Common::ShownEventId(c.entry.id));
        EXPECT_EQ(c.level, c.entry.level);
        EXPECT_EQ(c.inserts, c.entry.inserts);
    }

    Common::EventLogEntry outcome;
    ASSERT_TRUE(OutcomeEvent(completed, L"1.2.0.0", outcome));
    EXPECT_EQ(1000, Common::ShownEventId(outcome.id));
    ASSERT_TRUE(OutcomeEvent(failed, L"1.2.0.0", outcome));
    EXPECT_EQ(1001, Common::ShownEventId(outcome.id));
    for (const UpdateStatus running : {Downloading, Installing}) {
        UpdateSnapshot notFinal = completed;
        notFinal.status = running;
        EXPECT_FALSE(OutcomeEvent(notFinal, L"", outcome)) << running;
    }
}

}  // namespace
