#include "rpc/update_rpc_server.h"

#include <windows.h>
#include <rpc.h>
#include <rpcndr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/run_log.h"
#include "rpc/caller_identity.h"
#include "tests/support/event_log_recorder.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_cache_root.h"
#include "tests/support/text_checks.h"
#include "tests/support/wait_until.h"
#include "tests/support/test_server.h"

namespace {

using namespace testsupport;

// A dispatcher's timings with a short pause after the final status.
WorkerTimings ShortPause() {
    WorkerTimings timings;
    timings.finalPause = std::chrono::milliseconds(200);
    return timings;
}
const WorkerTimings kShortPause = ShortPause();

struct Answer {
    bool hasResponse = false;
    std::wstring text;
};

Answer Ask(UpdateRpcServer& server, const std::wstring& request) {
    wchar_t* response = nullptr;
    server.Dispatch(request.c_str(), &response);
    Answer answer{response != nullptr, response != nullptr ? response : L""};
    midl_user_free(response);
    return answer;
}

std::wstring StatusText(int status) {
    return L"{\"data\":{\"status\":" + std::to_wstring(status) + L"}}";
}

std::wstring Begin(const std::wstring& url, const std::wstring& args) {
    return L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[\"" + url + L"\"],\"args\":\"" + args +
           L"\"}}";
}

const std::wstring kQuery = L"{\"id\":\"queryAutoUpdateProgress\"}";

// The number after "name": in a response text; all ones when it is missing.
uint64_t Field(const std::wstring& text, const std::wstring& name) {
    const size_t at = text.find(L"\"" + name + L"\":");
    return at == std::wstring::npos ? ~0ull
                                    : std::wcstoull(text.c_str() + at + name.size() + 3, nullptr, 10);
}

// Stands in for the caller of the call being served.
class FakeCallerIdentity : public CallerIdentity {
  public:
    Caller OfCurrentCall() override { return current; }
    Caller current;
};

Caller Someone(const wchar_t* account, const wchar_t* sid, bool administrator) {
    Caller caller;
    caller.known = true;
    caller.account = account;
    caller.sid = sid;
    caller.processId = 4321;
    caller.image = L"C:\\kg\\caller.exe";
    caller.administrator = administrator;
    return caller;
}

// Begins in the tests below come from an administrator unless they say.
class AsAdministrator {
  public:
    AsAdministrator() : seam_(identity_) {
        identity_.current = Someone(L"KG\\admin", L"S-1-5-21-1-2-3-500", true);
    }

  private:
    FakeCallerIdentity identity_;
    ScopedCallerIdentity seam_;
};

TEST(UpdateRpcServer, AQueryBeforeAnyBeginAndUnknownInstructionsGetNoResponse) {
    const TestCacheRoot root;  // the update\'s cache: the test\'s own
    UpdateRpcServer server(kShortPause, root.Root());
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    EXPECT_FALSE(Ask(server, kQuery).hasResponse);
    EXPECT_FALSE(Ask(server, L"{\"id\":\"rebootNow\"}").hasResponse);
    EXPECT_FALSE(Ask(server, L"not json").hasResponse);
    EXPECT_FALSE(server.IsWorkInProgress());
    const std::string log = capture.Take();
    EXPECT_NE(
        std::string::npos,
        log.find(
            "   INFO : UpdateRpcServer has received a query progress instruction but no controller "
            "exists.  Has a begin update instruction been received?\n"));
    EXPECT_NE(std::string::npos,
              log.find("   INFO : Unexpected instruction [rebootNow] pass to UpdateRpcServer\n"));
    EXPECT_NE(std::string::npos,
              log.find("   INFO : Unexpected instruction [] pass to UpdateRpcServer\n"));
}

TEST(UpdateRpcServer, AnInstructionLongerThan64KiBIsRefusedBeforeItIsParsed) {
    const TestCacheRoot root;  // the update\'s cache: the test\'s own
    UpdateRpcServer server(kShortPause, root.Root());
    // A begin padded to exactly the limit is read; one character more is not.
    const std::wstring head = L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[\"x\"],\"hash\":5,\"pad\":\"";
    const std::wstring tail = L"\"}}";
    const std::wstring atLimit =
        head + std::wstring(kMaxInstructionChars - head.size() - tail.size(), L'p') + tail;
    ASSERT_EQ(kMaxInstructionChars, atLimit.size());
    for (const std::wstring& request : {atLimit + L" ", atLimit + std::wstring(10 << 20, L' ')}) {
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        EXPECT_FALSE(Ask(server, request).hasResponse);
        EXPECT_EQ("  ERROR : Refusing an instruction of [" + std::to_string(request.size()) +
                      "] characters: at most [65536] are read\n",
                  capture.Take());
    }
    // At the limit it is parsed (and refused for its non-string hash).
    EXPECT_EQ(StatusText(3), Ask(server, atLimit).text);
    EXPECT_EQ(nullptr, server.CurrentController());
}

TEST(UpdateRpcServer, TheFirstBeginStartsTheOnlyUpdateOfTheServer) {
    const AsAdministrator administrator;
    const TestCacheRoot root;  // the update\'s cache: the test\'s own
    UpdateRpcServer server(kShortPause, root.Root());
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const std::wstring url = kServer + L"/signed/installer-unsigned.exe?first";
    EXPECT_EQ(StatusText(0), Ask(server, Begin(url, L"--sleep=1000 --exit=0")).text);
    // The controller is there at once: a query right after the answer sees it.
    const Answer query = Ask(server, kQuery);
    ASSERT_TRUE(query.hasResponse);
    EXPECT_TRUE(server.IsWorkInProgress());

    // A second begin names another URL: answered with the status, starts nothing.
    const Answer second =
        Ask(server, Begin(kServer + L"/signed/installer-unsigned.exe?second", L"--exit=0"));
    ASSERT_TRUE(second.hasResponse);
    EXPECT_TRUE(WaitUntil([&] { return Ask(server, kQuery).text == StatusText(2); }));
    EXPECT_TRUE(WaitUntil([&] { return !server.IsWorkInProgress(); }));
    EXPECT_EQ(StatusText(2), Ask(server, Begin(url, L"--exit=0")).text);
    EXPECT_TRUE(ServerRequests("?second").empty());
    // Only the begin that started the update says so; the others say what
    // they were answered.
    const std::string log = capture.Take();
    EXPECT_EQ(1u, Count(log, "   INFO : Update begun by [KG\\admin]")) << log;
    EXPECT_EQ(2u, Count(log, "   INFO : Begin from [KG\\admin] ([S-1-5-21-1-2-3-500]), process "
                             "[4321] [C:\\kg\\caller.exe], administrator [yes] answered with the "
                             "current update's status ["))
        << log;
    EXPECT_EQ(1u, Count(log, "answered with the current update's status [2]\n")) << log;
}

TEST(UpdateRpcServer, DetailedQueriesShowTheBytesReceivedGrowingToTheTotal) {
    const AsAdministrator administrator;
    const TestCacheRoot root;  // the update\'s cache: the test\'s own
    UpdateRpcServer server(kShortPause, root.Root());
    const std::wstring detailed =
        L"{\"id\":\"queryAutoUpdateProgress\",\"data\":{\"detail\":true}}";
    EXPECT_FALSE(Ask(server, detailed).hasResponse) << "no update, no answer, as today";
    // 600 KB at 400 KB/s: a few seconds of Downloading.
    const size_t size = 600 * 1024;
    ASSERT_EQ(StatusText(0),
              Ask(server, Begin(kServer + L"/_/slow=400000" + GeneratedPath(size, L"progress"),
                                L"--exit=0"))
                  .text);
    std::vector<std::pair<uint64_t, uint64_t>> seen;  // received, total while downloading
    std::wstring last;
    ASSERT_TRUE(WaitUntil([&] {
        last = Ask(server, detailed).text;
        const uint64_t status = Field(last, L"status");
        const uint64_t received = Field(last, L"received");
        const uint64_t total = Field(last, L"total");
        if (last.rfind(L"{\"data\":{\"status\":", 0) != 0 || status > 3) {
            ADD_FAILURE() << testing::PrintToString(last);
            return true;
        }
        if (status == 0) {
            seen.emplace_back(received, total);
        }
        return status != 0;
    }));
    // Never backwards, and the total is the resource's length once known.
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].first, seen[i - 1].first);
    }
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [&](const auto& p) {
        return p.second == size && p.first > 0 && p.first < size;
    })) << "a partial count was seen";
    // Installing or after (the generated file is no installer: Failed), the
    // values stay the last ones: the whole file.
    const std::wstring settled = Ask(server, detailed).text;
    EXPECT_NE(std::wstring::npos,
              settled.find(L",\"received\":" + std::to_wstring(size) + L",\"total\":" +
                           std::to_wstring(size)))
        << testing::PrintToString(settled);
    // A plain query is answered exactly as before.
    const std::wstring plain = Ask(server, kQuery).text;
    EXPECT_EQ(StatusText(static_cast<int>(Field(plain, L"status"))), plain);
    EXPECT_TRUE(WaitUntil([&] { return !server.IsWorkInProgress(); }));
}

TEST(UpdateRpcServer, AFailedUpdateStaysFailed) {
    const TestCacheRoot root;  // the update\'s cache: the test\'s own
    UpdateRpcServer server(kShortPause, root.Root());
    EXPECT_EQ(StatusText(0),
              Ask(server, Begin(kServer + L"/_/status=404/gen/10/failing", L"")).text);
    EXPECT_TRUE(WaitUntil([&] { return !server.IsWorkInProgress(); }));
    EXPECT_EQ(StatusText(3), Ask(server, kQuery).text);
    EXPECT_EQ(StatusText(3), Ask(server, Begin(kServer + L"/gen/10/other", L"")).text);
}

TEST(UpdateRpcServer, ARefusedBeginIsAnsweredFailedAndStartsNothing) {
    const TestCacheRoot root;  // the update\'s cache: the test\'s own
    UpdateRpcServer server(kShortPause, root.Root());
    EXPECT_EQ(
        StatusText(3),
        Ask(server, L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[\"x\"],\"hash\":5}}").text);
    EXPECT_EQ(nullptr, server.CurrentController());
    EXPECT_FALSE(server.IsWorkInProgress());
    EXPECT_FALSE(Ask(server, kQuery).hasResponse);
    // A later, sound begin still starts the update.
    EXPECT_EQ(StatusText(0),
              Ask(server, Begin(kServer + L"/_/status=404/gen/10/after-refusal", L"")).text);
    EXPECT_NE(nullptr, server.CurrentController());
}

TEST(UpdateRpcServer, ConcurrentBeginsStartExactlyOneUpdate) {
    const TestCacheRoot root;  // the update\'s cache: the test\'s own
    UpdateRpcServer server(kShortPause, root.Root());
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    constexpr int kClients = 50;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<Answer> answers(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (!go) {
                std::this_thread::yield();
            }
            answers[i] = Ask(
                server,
                Begin(kServer + L"/_/status=404/gen/10/race?client=" + std::to_wstring(i), L""));
        });
    }
    while (ready < kClients) {
        std::this_thread::yield();
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(WaitUntil([&] { return !server.IsWorkInProgress(); }));
    const std::string log = capture.Take();

    EXPECT_EQ(1u, testsupport::Count(log, "No controller - creating new controller thread"));
    for (const Answer& answer : answers) {
        EXPECT_TRUE(answer.text == StatusText(0) || answer.text == StatusText(3))
            << Narrow(answer.text);
    }
    EXPECT_EQ(1u, ServerRequests("/gen/10/race?client=", 1, true).size()) << "one download";
}

}  // namespace

namespace {

// Who asks decides what a begin may carry and who reads why it failed: the
// begin is logged with its caller; the refusal's text goes to the account
// that began the update and to administrators, the stage and code to anyone.
TEST(UpdateRpcServer, TheCallerIsLoggedAndOnlyItAndAdministratorsReadWhyItFailed) {
    FakeCallerIdentity identity;
    const ScopedCallerIdentity seam(identity);
    const Caller user = Someone(L"KG\\user", L"S-1-5-21-1-2-3-1001", false);
    const Caller other = Someone(L"KG\\other", L"S-1-5-21-1-2-3-1002", false);
    const Caller administrator = Someone(L"KG\\admin", L"S-1-5-21-1-2-3-500", true);
    Caller unknown;

    const TestCacheRoot root;  // the update\'s cache: the test\'s own
    UpdateRpcServer server(kShortPause, root.Root());
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    identity.current = user;
    EXPECT_EQ(StatusText(3),
              Ask(server, Begin(kServer + L"/gen/10/by-user", L"/l*v C:\\\\x.log")).text);
    EXPECT_FALSE(server.IsWorkInProgress());
    const std::string log = capture.Take();
    EXPECT_TRUE(Has(log, "   INFO : Begin from [KG\\user] ([S-1-5-21-1-2-3-1001]), process "
                         "[4321] [C:\\kg\\caller.exe], administrator [no] refused before any "
                         "download; no update is started\n"))
        << log;
    EXPECT_FALSE(Has(log, "Update begun by")) << log;
    EXPECT_TRUE(ServerRequests("/by-user").empty()) << "nothing is downloaded";

    const std::wstring detailed =
        L"{\"id\":\"queryAutoUpdateProgress\",\"data\":{\"detail\":true}}";
    const std::wstring withText = L"\"text\":\"The installer arguments \\\"/l*v C:\\\\x.log\\\" are "
                                  L"refused";
    const std::wstring withoutText =
        L"\"error\":{\"stage\":\"request\",\"code\":5,\"text\":\"\"}}}";
    const struct {
        const char* who;
        const Caller& caller;
        bool readsText;
    } readers[] = {{"the same user", user, true},
                   {"an administrator", administrator, true},
                   {"another user", other, false},
                   {"an unknown caller", unknown, false}};
    for (const auto& reader : readers) {
        identity.current = reader.caller;
        const std::wstring answer = Ask(server, detailed).text;
        EXPECT_NE(std::wstring::npos, answer.find(L"\"status\":3")) << reader.who;
        EXPECT_EQ(reader.readsText, answer.find(withText) != std::wstring::npos)
            << reader.who << ": " << Narrow(answer);
        EXPECT_EQ(!reader.readsText, answer.find(withoutText) != std::wstring::npos)
            << reader.who << ": " << Narrow(answer);
    }
}

// A begin whose caller cannot be read is an ordinary user's: no arguments.
TEST(UpdateRpcServer, ABeginFromACallerThatCannotBeReadGetsNoArguments) {
    FakeCallerIdentity identity;
    const ScopedCallerIdentity seam(identity);
    const TestCacheRoot root;  // the update\'s cache: the test\'s own
    UpdateRpcServer server(kShortPause, root.Root());
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    EXPECT_EQ(StatusText(3), Ask(server, Begin(kServer + L"/gen/10/by-unknown", L"--exit=0")).text);
    EXPECT_FALSE(server.IsWorkInProgress());
    EXPECT_EQ(StatusText(3), Ask(server, kQuery).text);
    const std::string log = capture.Take();
    EXPECT_TRUE(Has(log, "   INFO : Begin from [an unknown caller] ([]), process [0] [], "
                         "administrator [no] refused before any download"))
        << log;
    EXPECT_TRUE(ServerRequests("/by-unknown").empty());
}

// A begin refused before any request is made does not become the worker's
// one update: its caller reads the refusal (status 3, the stage and code in
// the detailed answer) until another begin comes, and the next begin, from
// anybody, starts the update as if none had been asked for.
TEST(UpdateRpcServer, ABeginRefusedBeforeAnyDownloadLeavesTheWorkerFree) {
    FakeCallerIdentity identity;
    const ScopedCallerIdentity seam(identity);
    const Caller user = Someone(L"KG\\user", L"S-1-5-21-1-2-3-1001", false);
    const Caller administrator = Someone(L"KG\\admin", L"S-1-5-21-1-2-3-500", true);
    UpdatePolicy disabled;
    disabled.present = disabled.trusted = true;
    disabled.updatesDisabled = true;
    UpdatePolicy hosts;
    hosts.present = hosts.trusted = true;
    hosts.restrictsHosts = true;
    hosts.allowedHosts = {L"updates.example.com"};
    std::wstring seventeen;
    for (int i = 0; i < 17; ++i) {
        seventeen += (i == 0 ? L"\"" : L",\"") + kServer + L"/gen/10/many-" + std::to_wstring(i) +
                     L"\"";
    }
    const std::wstring detailed =
        L"{\"id\":\"queryAutoUpdateProgress\",\"data\":{\"detail\":true}}";
    const struct {
        const char* what;
        Caller caller;
        UpdatePolicy policy;
        std::wstring begin;
        int64_t code;
    } cases[] = {
        {"arguments of a user", user, UpdatePolicy(),
         Begin(kServer + L"/gen/10/refused-args", L"--exit=0"), 5},
        {"updates turned off", administrator, disabled,
         Begin(kServer + L"/gen/10/refused-off", L""), 5},
        {"no allowed host", user, hosts, Begin(kServer + L"/gen/10/refused-host", L""), 5},
        {"no URL", user, UpdatePolicy(), L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[]}}",
         87},
        {"a hash that is no digest", user, UpdatePolicy(),
         L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[\"" + kServer +
             L"/gen/10/refused-hash\"],\"hash\":\"..\\\\x\"}}",
         87},
        {"too many URLs", user, UpdatePolicy(),
         L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[" + seventeen + L"]}}", 87},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const TestCacheRoot root;
        UpdatePolicy policy = c.policy;
        UpdateRpcServer server(kShortPause, root.Root(), [&policy] { return policy; });
        identity.current = c.caller;
        EXPECT_EQ(StatusText(3), Ask(server, c.begin).text);
        EXPECT_EQ(nullptr, server.CurrentController());
        EXPECT_FALSE(server.IsWorkInProgress());
        // The refusal is what polls see until another begin.
        EXPECT_EQ(StatusText(3), Ask(server, kQuery).text);
        const std::wstring answer = Ask(server, detailed).text;
        EXPECT_TRUE(answer.find(L"\"error\":{\"stage\":\"request\",\"code\":" +
                              std::to_wstring(c.code) + L",\"text\":\"") != std::wstring::npos &&
                  answer.find(L",\"text\":\"\"}") == std::wstring::npos)
            << Narrow(answer);
        // Another caller reads the stage and code, not the text.
        identity.current = Someone(L"KG\\other", L"S-1-5-21-1-2-3-1002", false);
        EXPECT_NE(std::wstring::npos, Ask(server, detailed).text.find(L",\"text\":\"\"}"));

        // The next begin, under a policy that lets it through, starts the update.
        policy = UpdatePolicy();
        identity.current = administrator;
        const std::wstring tag = L"/gen/10/after-refusal-" + std::to_wstring(&c - cases);
        EXPECT_EQ(StatusText(0), Ask(server, Begin(kServer + L"/_/status=404" + tag, L"")).text);
        EXPECT_NE(nullptr, server.CurrentController());
        EXPECT_TRUE(WaitUntil([&] { return !server.IsWorkInProgress(); }));
        EXPECT_FALSE(ServerRequests(Narrow(tag)).empty()) << "the update ran";
        // Its own outcome now, at stage download, not the refusal.
        EXPECT_NE(std::wstring::npos, Ask(server, detailed).text.find(L"\"stage\":\"download\""));
    }
    EXPECT_TRUE(ServerRequests("/refused-").empty());
    EXPECT_TRUE(ServerRequests("/many-").empty());
}

}  // namespace

namespace {

// A policy key others may change is read at every begin, but an
// administrator hears of it once per run: one event naming the key, why it is
// not protected and what it allowed that was ignored. A protected key, or
// none, gives no event.
TEST(UpdateRpcServer, AnUnprotectedPolicyKeyIsReportedOncePerRun) {
    const AsAdministrator administrator;
    UpdatePolicy unprotected;
    unprotected.present = true;
    unprotected.updatesDisabled = true;  // its restriction applies: every begin is refused
    unprotected.keyName = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\kestrelGATE\\Client\\AutoUpdate";
    unprotected.untrustedBecause = L"a user owns it";
    unprotected.ignoredAllowances = {L"AllowDowngrade"};
    UpdatePolicy protectedKey = unprotected;
    protectedKey.trusted = true;
    protectedKey.untrustedBecause.clear();
    protectedKey.ignoredAllowances.clear();
    for (const UpdatePolicy& policy : {unprotected, protectedKey, UpdatePolicy()}) {
        SCOPED_TRACE(policy.present ? (policy.trusted ? "protected" : "not protected") : "no key");
        EventLogRecorder events;
        const TestCacheRoot root;
        UpdateRpcServer server(kShortPause, root.Root(), [&policy] { return policy; });
        const std::wstring begin = Begin(kServer + L"/_/status=404/gen/10/policy-event", L"");
        Ask(server, begin);
        Ask(server, begin);
        EXPECT_TRUE(WaitUntil([&] { return !server.IsWorkInProgress(); }));
        const auto reported = events.WithId(1002);
        if (policy.present && !policy.trusted) {
            ASSERT_EQ(1u, reported.size());
            EXPECT_EQ(Common::EventLevel::kWarning, reported[0].level);
            EXPECT_EQ((std::vector<std::wstring>{unprotected.keyName, L"a user owns it",
                                                 L"AllowDowngrade"}),
                      reported[0].inserts);
        } else {
            EXPECT_TRUE(reported.empty());
        }
        // A begin refused before any download is no update: no outcome event.
        EXPECT_EQ(policy.DisablesUpdates() ? 0u : 1u, events.WithId(1001).size());
    }
}

// A poll is not news: the run's log file gets the begin and the update's
// lines but no line per query; it gets their number when the update ends.
// The console keeps every line.
TEST(UpdateRpcServer, QueriesStayOutOfTheRunLogFileWhichGetsTheirCount) {
    const AsAdministrator administrator;
    const std::wstring folder = (std::filesystem::temp_directory_path() / L"kg-rpc-logs").wstring();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    ASSERT_TRUE(RunLog::Start(folder, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    {
        const TestCacheRoot root;  // the update\'s cache: the test\'s own
        UpdateRpcServer server(kShortPause, root.Root());
        EXPECT_EQ(StatusText(0),
                  Ask(server, Begin(kServer + L"/_/status=404/gen/10/polled", L"")).text);
        for (int i = 0; i < 20; ++i) {
            EXPECT_TRUE(Ask(server, kQuery).hasResponse);
        }
        EXPECT_TRUE(WaitUntil([&] { return !server.IsWorkInProgress(); }));
        EXPECT_EQ(20u, server.AnsweredQueries());
    }
    const std::string console = capture.Take();
    const std::wstring path = RunLog::Path();
    RunLog::Stop();
    std::ifstream in(path.c_str(), std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(20u, Count(console, "   INFO : Handling query progress instruction\n"));
    EXPECT_NE(std::string::npos, file.find("   INFO : Handling begin instruction\n")) << file;
    EXPECT_EQ(std::string::npos, file.find("Handling query progress instruction")) << file;
    EXPECT_EQ(1u, Count(file, "   INFO : RPC Invoke: raw request: [")) << "the begin's only";
    EXPECT_NE(std::string::npos,
              file.find("   INFO : Progress queries answered while the update ran: [20]\n"))
        << file;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
