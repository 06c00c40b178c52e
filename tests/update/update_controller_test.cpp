#include "update/update_controller.h"

#include <windows.h>

#include <atomic>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/redact_credentials.h"
#include "common/unique_handle.h"
#include "tests/support/event_log_recorder.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/file_digest.h"
#include "tests/support/test_cache_root.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"
#include "tests/support/text_checks.h"
#include "tests/support/wait_until.h"
#include "update/download_cache.h"
#include "update/run_summary.h"
#include "update/sha256.h"

namespace {

using testsupport::Has;
using testsupport::Count;

using namespace testsupport;

const UpdateController::Pause kShortPause(150);

Caller AnAdministrator() {
    Caller caller;
    caller.known = true;
    caller.account = L"KG\\admin";
    caller.sid = L"S-1-5-21-1-2-3-500";
    caller.administrator = true;
    return caller;
}

Caller AUser() {
    Caller caller;
    caller.known = true;
    caller.account = L"KG\\user";
    caller.sid = L"S-1-5-21-1-2-3-1001";
    return caller;
}

// Records every status value a reader on another thread sees, in order.
class StatusWatcher {
  public:
    // The status before the run is taken here, not by the thread: a run that
    // fails at once could otherwise end before the thread first looks.
    explicit StatusWatcher(const UpdateController& controller)
        : seen_{controller.GetStatus()}, thread_([this, &controller] {
              while (!stop_) {
                  const int status = controller.GetStatus();
                  if (seen_.back() != status) {
                      seen_.push_back(status);
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    std::vector<int> Stop() {
        stop_ = true;
        thread_.join();
        return seen_;
    }

  private:
    std::atomic<bool> stop_{false};
    std::vector<int> seen_;
    std::thread thread_;
};

class UpdateControllerTest : public testing::Test {
  protected:
    // The cache folder exists from the start, below a root of the test's own.
    void SetUp() override { ASSERT_TRUE(root_.Open()); }

    testsupport::TestCacheRoot root_;
    const std::wstring folder_ = root_.CacheFolder();
    // What the updates report to the Event Log.
    testsupport::EventLogRecorder events_;

    // Runs one update and returns its log; `seen` gets the statuses observed.
    // Runs one update begun by `caller` (an administrator unless given) and
    // returns its log; `seen` gets the statuses observed.
    std::string RunUpdate(UpdateController& controller, const UpdateRequest& request,
                          std::vector<int>* seen = nullptr,
                          const Caller& caller = AnAdministrator()) {
        ScopedLogSettings settings(LogDestination::Console, 4);
        StdoutCapture capture;
        StatusWatcher watcher(controller);
        controller.RunToCompletion(request, caller);
        const std::vector<int> statuses = watcher.Stop();
        if (seen != nullptr) {
            *seen = statuses;
        }
        return capture.Take();
    }

    std::vector<std::wstring> CacheExeFiles() const {
        std::vector<std::wstring> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            if (entry.is_regular_file() && entry.path().extension() == L".exe") {
                names.push_back(entry.path().filename().wstring());
            }
        }
        return names;
    }
};

const std::wstring kInstallerUrl = kServer + L"/signed/installer-unsigned.exe";

TEST_F(UpdateControllerTest, InstallsCleansTheCacheAndCompletes) {
    std::ofstream((folder_ + std::wstring(64, L'C') + L".exe").c_str()) << "an earlier run's";
    ScratchFile record(L"installed.txt");
    UpdateController controller(root_.Root(), kShortPause);
    const UpdateRequest request{
        {kInstallerUrl}, L"", L"--record=" + record.Path() + L" --sleep=300 --exit=0"};
    std::vector<int> seen;
    const std::string log = RunUpdate(controller, request, &seen);

    EXPECT_EQ(Completed, controller.GetStatus());
    EXPECT_EQ((std::vector<int>{0, 1, 2}), seen);
    EXPECT_TRUE(record.Exists());
    EXPECT_NE(std::string::npos,
              record.Read().find("directory=" + Narrow(folder_.substr(0, folder_.size() - 1))));
    EXPECT_TRUE(CacheExeFiles().empty()) << "every .exe of the cache is cleaned";
    EXPECT_TRUE(Has(
        log, "   INFO : No hash provided from policy.  Using hash of url as as the filename\n"));
    EXPECT_TRUE(Has(log, "   INFO : Filename will be: [" + Narrow(folder_) +
                             Narrow(Sha256().HashText(kInstallerUrl)) + ".exe]\n"));
    EXPECT_TRUE(Has(log, "   INFO : Beginning upgrade\n"));
    EXPECT_TRUE(Has(log, "   INFO : Completed upgrade\n"));
}

TEST_F(UpdateControllerTest, FallsBackToTheNextUrl) {
    const std::wstring failing = kServer + L"/_/status=404/signed/installer-unsigned.exe";
    UpdateController controller(root_.Root(), kShortPause);
    const std::string log = RunUpdate(controller, {{failing, kInstallerUrl}, L"", L"--exit=0"});
    EXPECT_EQ(Completed, controller.GetStatus());
    EXPECT_TRUE(Has(log,
                    "  ERROR : Update controller failed to download binary.\n"
                    "  ERROR : Failed to obtain valid binary from the following url: [" +
                        Narrow(failing) +
                        "]\n"
                        "VERBOSE : Attempting download using the following url: [" +
                        Narrow(kInstallerUrl) + "]\n"))
        << log;
}

TEST_F(UpdateControllerTest, FailsWhenTheOnlyUrlFails) {
    const std::wstring failing = kServer + L"/_/status=404/signed/only.exe";
    UpdateController controller(root_.Root(), kShortPause);
    std::vector<int> seen;
    const std::string log = RunUpdate(controller, {{failing}, L"", L""}, &seen);
    EXPECT_EQ(Failed, controller.GetStatus());
    EXPECT_EQ((std::vector<int>{0, 3}), seen);
    EXPECT_FALSE(Has(log, "Failed to obtain valid binary from the following url"));
    EXPECT_TRUE(Has(log, "  ERROR : Update controller failed to download and validate binary.\n"));
}

TEST_F(UpdateControllerTest, AFailedInstallerKeepsItsFile) {
    UpdateController controller(root_.Root(), kShortPause);
    std::vector<int> seen;
    const std::string log =
        RunUpdate(controller, {{kInstallerUrl}, L"", L"--sleep=200 --exit=1603"}, &seen);
    EXPECT_EQ(Failed, controller.GetStatus());
    EXPECT_EQ((std::vector<int>{0, 1, 3}), seen);
    EXPECT_TRUE(Has(log, "  ERROR : Failed to update client\n"));
    EXPECT_TRUE(Has(log, "  ERROR : Update controller failed to install binary.\n"));
    EXPECT_EQ(std::vector<std::wstring>{Sha256().HashText(kInstallerUrl) + L".exe"},
              CacheExeFiles());
}

TEST_F(UpdateControllerTest, WithAPolicyHashEveryUrlSharesOneFileAndResumesIt) {
    const std::wstring hash = FileDigest(SignedFixture(L"installer-unsigned.exe"));
    const std::wstring cut = kServer + L"/_/close-after=100000/signed/installer-unsigned.exe";
    const std::wstring second = kServer + L"/signed/installer-unsigned.exe?mirror=2";
    UpdateController controller(root_.Root(), kShortPause);
    const std::string log = RunUpdate(controller, {{cut, second}, hash, L"--exit=0"});
    EXPECT_EQ(Completed, controller.GetStatus());
    const std::string fileLine =
        "   INFO : Filename will be: [" + Narrow(folder_ + hash) + ".exe]\n";
    const size_t first = log.find(fileLine);
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, log.find(fileLine, first + 1)) << "the same file for both URLs";
    EXPECT_TRUE(
        Has(log, "   INFO : A hash has been provided from policy.  Using this as the filename\n"));
    const auto resumed = ServerRequests("/signed/installer-unsigned.exe?mirror=2", 2);
    ASSERT_EQ(2u, resumed.size());
    EXPECT_EQ(0u, resumed[1].range.rfind("bytes=100000-", 0)) << resumed[1].range;
}

TEST_F(UpdateControllerTest,
       ReportsInstallingWhileTheInstallerRunsAndTheFinalStatusDuringThePause) {
    UpdateController controller(root_.Root(), UpdateController::Pause(1500));
    std::thread runner([&controller] {
        controller.RunToCompletion({{kInstallerUrl}, L"", L"--sleep=1500 --exit=0"},
                                   AnAdministrator());
    });
    // Another thread reads while the installer runs, then during the pause.
    EXPECT_TRUE(WaitUntil([&] { return controller.GetStatus() == Installing; }));
    EXPECT_TRUE(WaitUntil([&] { return controller.GetStatus() != Installing; }));
    EXPECT_EQ(Completed, controller.GetStatus());
    runner.join();
    EXPECT_EQ(Completed, controller.GetStatus());
}

TEST_F(UpdateControllerTest, RefusesRunsThatCouldActOutsideTheCache) {
    const struct {
        UpdateRequest request;
        const char* reason;
    } cases[] = {
        {{{}, L"", L""}, "  ERROR : The update request names no URL; nothing to download.\n"},
        {{{kServer + L"/gen/10/refused-1"}, L"..\\..\\x", L""},
         "  ERROR : The policy hash is not 64 hexadecimal digits; the update is refused.\n"},
        {{{kServer + L"/gen/10/refused-2"}, L"C:x", L""},
         "  ERROR : The policy hash is not 64 hexadecimal digits; the update is refused.\n"},
    };
    for (const auto& c : cases) {
        UpdateController controller(root_.Root(), kShortPause);
        std::vector<int> seen;
        const std::string log = RunUpdate(controller, c.request, &seen);
        EXPECT_EQ(Failed, controller.GetStatus());
        // Refused at once: a reader may not even see the 0 before the 3.
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(3, seen.back());
        EXPECT_LE(seen.size(), 2u);
        EXPECT_TRUE(Has(log, c.reason)) << log;
        EXPECT_EQ(std::wstring(kStageRequest), controller.GetFailure().stage);
    }
    EXPECT_TRUE(ServerRequests("/refused-1").empty());
    EXPECT_TRUE(ServerRequests("/refused-2").empty());
}

// A caller that is not an administrator (or that could not be read) may not
// add installer arguments that policy does not allow: refused before any
// request, the text named. With no arguments it is carried out.
TEST_F(UpdateControllerTest, ACallerWhoIsNotAnAdministratorCannotChooseTheArguments) {
    const struct {
        Caller caller;
        const wchar_t* args;
        bool refused;
    } cases[] = {
        {AUser(), L"/log C:\\Windows\\x.dll", true},
        {Caller(), L"--exit=0", true},
        {AUser(), L"", false},
        {AnAdministrator(), L"--exit=0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.caller.Describe() + L" " + c.args));
        const std::wstring tag = L"?args-" + std::to_wstring(&c - cases);
        UpdateController controller(root_.Root(), kShortPause);
        const std::string log =
            RunUpdate(controller, {{kInstallerUrl + tag}, L"", c.args}, nullptr, c.caller);
        EXPECT_EQ(c.refused ? Failed : Completed, controller.GetStatus()) << log;
        EXPECT_EQ(c.refused, ServerRequests(Narrow(tag)).empty()) << "downloaded: " << log;
        if (c.refused) {
            const UpdateFailure failure = controller.GetFailure();
            EXPECT_EQ(std::wstring(kStageRequest), failure.stage);
            EXPECT_NE(std::wstring::npos,
                      failure.text.find(L"The installer arguments \"" + std::wstring(c.args) +
                                        L"\" are refused"))
                << Narrow(failure.text);
        }
    }
}

// Each cause of a failure gives the answer its stage, its code and a
// sentence that names the cause; nothing is set while the update runs or
// after it completed.
TEST_F(UpdateControllerTest, AFailedUpdateSaysWhereAndWhy) {
    const std::wstring installer = kServer + L"/signed/installer-unsigned.exe";
    const std::wstring digest = FileDigest(SignedFixture(L"installer-unsigned.exe"));
    const std::wstring otherDigest(64, L'A');
    DownloadPace slowFloor;
    slowFloor.window = std::chrono::milliseconds(1500);
    slowFloor.floorBytes = 1024 * 1024;
    DownloadPace shortLimit;
    shortLimit.updateLimit = std::chrono::milliseconds(1500);
    const struct {
        const char* cause;
        UpdateRequest request;
        DownloadPace pace;
        InstallerPolicy policy;
        const wchar_t* stage;
        int64_t code;
        const char* text;
    } cases[] = {
        {"wrong hash", {{installer}, otherDigest, L"--exit=0"}, {}, {}, kStageHash, 0,
         "but the update request expects AAAA"},
        {"hash text", {{installer}, L"abc", L""}, {}, {}, kStageRequest, 87,
         "is not a SHA-256 digest of 64 hexadecimal digits"},
        {"not found", {{kServer + L"/_/status=404/gen/100/x.exe?sig=s3cret"}, L"", L""}, {}, {},
         kStageDownload, 404,
         "Downloading https://localhost/_/status=404/gen/100/x.exe?sig=*** failed: the server "
         "answered with HTTP status 404."},
        {"unknown host", {{L"https://no-such-host.invalid/x.exe"}, L"", L""}, {}, {},
         kStageDownload, 12007, "the server name could not be resolved (WinHTTP error 12007)"},
        // Windows reports an untrusted certificate as 12175, Wine as 12157.
        {"untrusted certificate", {{L"https://localhost:9443/gen/100/x.exe"}, L"", L""}, {}, {},
         kStageDownload, -1, "TLS certificate"},
        {"trickle", {{kServer + L"/_/slow=20000/gen/3000000/x.exe"}, L"", L""}, slowFloor, {},
         kStageDownload, 1460, "the server sends too slowly"},
        {"deadline", {{kServer + L"/_/slow=20000/gen/3000000/y.exe"}, L"", L""}, shortLimit, {},
         kStageDownload, 1460, "reached their time limit"},
        {"installer 1603", {{installer}, digest, L"--exit=1603"}, {}, {}, kStageInstall, 1603,
         "The installer exited with code 1603 (Windows Installer: a fatal error occurred during "
         "installation)."},
        {"not an installer", {{kServer + L"/gen/5000/z.exe"}, L"", L""}, {}, {}, kStageInstall,
         193, "The installer could not be started (error 193"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cause);
        UpdateController controller(root_.Root(), kShortPause, c.pace, c.policy);
        EXPECT_FALSE(controller.GetFailure().IsSet());
        const std::string log = RunUpdate(controller, c.request);
        ASSERT_EQ(Failed, controller.GetStatus()) << log;
        const UpdateFailure failure = controller.GetFailure();
        EXPECT_EQ(std::wstring(c.stage), failure.stage);
        if (c.code >= 0) {
            EXPECT_EQ(c.code, failure.code);
        } else {
            EXPECT_TRUE(failure.code == 12175 || failure.code == 12157) << failure.code;
        }
        EXPECT_NE(std::string::npos, Narrow(failure.text).find(c.text)) << Narrow(failure.text);
        EXPECT_EQ(std::string::npos, Narrow(failure.text).find("s3cret"));
        // The run's summary line says the same.
        const std::wstring summary = RunSummary(&controller, 0);
        EXPECT_EQ(0u, summary.find(L"Run summary: result [Failed], stage [" +
                                   std::wstring(c.stage) + L"], code [" +
                                   std::to_wstring(failure.code) + L"], bytes ["))
            << Narrow(summary);
        EXPECT_NE(std::wstring::npos, summary.find(L", reason [" + failure.text + L"]"));
        EXPECT_NE(std::wstring::npos,
                  summary.find(L"], queries [0], begun by [KG\\admin (S-1-5-21-1-2-3-500)], url ["))
            << Narrow(summary);
        EXPECT_EQ(std::wstring::npos, summary.find(L"s3cret")) << Narrow(summary);
        // One event, with the summary's facts.
        const auto reported = events_.Entries();
        ASSERT_EQ(1u, reported.size());
        EXPECT_EQ(1001, Common::ShownEventId(reported[0].id));
        EXPECT_EQ(Common::EventLevel::kError, reported[0].level);
        std::wstring url = controller.Snapshot().url;
        (void)Common::RedactCredentials(url);  // as in every line and event
        EXPECT_EQ((std::vector<std::wstring>{c.stage, std::to_wstring(failure.code), failure.text,
                                             url, L"KG\\admin (S-1-5-21-1-2-3-500)"}),
                  reported[0].inserts);
        EXPECT_EQ(std::wstring::npos, reported[0].inserts[3].find(L"s3cret"));
        events_.Clear();
    }
    EXPECT_EQ(L"Run summary: result [no update], stage [], code [0], bytes [0], seconds [7], "
              L"url []",
              RunSummary(nullptr, 7));
    // A lower-case digest is the digest: the update completes, with no reason.
    std::wstring lower = digest;
    for (wchar_t& ch : lower) {
        ch = static_cast<wchar_t>(std::towlower(ch));
    }
    UpdateController controller(root_.Root(), kShortPause);
    const std::string log = RunUpdate(controller, {{installer}, lower, L"--exit=0"});
    EXPECT_EQ(Completed, controller.GetStatus()) << log;
    EXPECT_FALSE(controller.GetFailure().IsSet());
    const std::wstring summary = RunSummary(&controller, 0);
    EXPECT_EQ(0u, summary.find(L"Run summary: result [Completed], stage [], code [0], bytes ["))
        << Narrow(summary);
    EXPECT_NE(std::wstring::npos, summary.find(L"], url [" + installer + L"]"));
    const auto reported = events_.Entries();
    ASSERT_EQ(1u, reported.size());
    EXPECT_EQ(1000, Common::ShownEventId(reported[0].id));
    EXPECT_EQ(Common::EventLevel::kInformation, reported[0].level);
    EXPECT_EQ(installer, reported[0].inserts.at(0));
    EXPECT_EQ(L"none", reported[0].inserts.at(1)) << "the installer has no version resource";
    EXPECT_EQ(std::to_wstring(controller.Snapshot().seconds), reported[0].inserts.at(2));
    EXPECT_EQ(L"KG\\admin (S-1-5-21-1-2-3-500)", reported[0].inserts.at(3));

    // An installer that states its version: the event names it.
    events_.Clear();
    UpdateController versioned(root_.Root(), kShortPause);
    const std::wstring older = kServer + L"/signed/installer-older.exe";
    EXPECT_TRUE(Has(RunUpdate(versioned, {{older}, L"", L"--exit=0"}), "Completed upgrade"));
    ASSERT_EQ(1u, events_.Entries().size());
    EXPECT_EQ(L"0.9.0.0", events_.Entries()[0].inserts.at(1));
}

// A cache that cannot be used fails the update at stage cache; the Event Log
// gets what to do (1003) and then the outcome (1001).
TEST_F(UpdateControllerTest, AnUnusableCacheFailsTheUpdateAndSaysWhatToDo) {
    FakeFileSystem files;
    files.overrides[L"\\kestrelGATE"].ownerSid = L"S-1-5-21-1-2-3-1001";
    const Common::ScopedFileSystem seam(files);
    UpdateController controller(root_.Root(), kShortPause);
    const std::string log = RunUpdate(controller, {{kInstallerUrl + L"?cache"}, L"", L""});
    EXPECT_EQ(Failed, controller.GetStatus());
    EXPECT_EQ(std::wstring(kStageCache), controller.GetFailure().stage);
    const auto reported = events_.Entries();
    ASSERT_EQ(2u, reported.size()) << log;
    EXPECT_EQ(1003, Common::ShownEventId(reported[0].id));
    EXPECT_EQ((std::vector<std::wstring>{
                  root_.Path() + L"\\kestrelGATE",
                  L"it is not the service's own (its owner S-1-5-21-1-2-3-1001 is not a trusted "
                  L"account)",
                  L"Delete the folder, or give it SYSTEM or Administrators as owner and an access "
                  L"list that lets nobody else delete, rename or change it or delete what it "
                  L"holds."}),
              reported[0].inserts);
    EXPECT_EQ(1001, Common::ShownEventId(reported[1].id));
    EXPECT_EQ(L"cache", reported[1].inserts.at(0));
}

TEST_F(UpdateControllerTest, AnEntryThatCannotBeOpenedEndsTheUpdateAsFailed) {
    // A complete entry that somebody holds open without sharing: it can be
    // neither resumed, replaced nor checked, and nothing runs.
    const std::wstring hash = FileDigest(SignedFixture(L"installer-unsigned.exe"));
    const std::wstring entry = folder_ + hash + L".exe";
    ASSERT_TRUE(
        ::CopyFileW(SignedFixture(L"installer-unsigned.exe").c_str(), entry.c_str(), FALSE));
    Common::KernelHandle locked(
        ::CreateFileW(entry.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked.IsValid());

    UpdateController controller(root_.Root(), kShortPause);
    std::vector<int> seen;
    const std::string log = RunUpdate(controller, {{kInstallerUrl}, hash, L"--exit=0"}, &seen);
    EXPECT_EQ(Failed, controller.GetStatus());
    EXPECT_EQ((std::vector<int>{0, 3}), seen);
    EXPECT_TRUE(Has(log, "  ERROR : Failed to open file for appending: [")) << log;
    EXPECT_TRUE(Has(log, "  ERROR : Failed to download binary\n")) << log;
    EXPECT_FALSE(Has(log, "Final binary file size matches")) << "nothing written is received";
    EXPECT_FALSE(Has(log, "Executing commandline")) << log;
}

// What somebody else gets when trying to change the entry: the errors of
// opening it for writing and for deletion, and whether a rename went through.
struct Tampering {
    DWORD write = 0;
    DWORD remove = 0;
    bool renamed = true;
};

Tampering TryToTamper(const std::wstring& entry) {
    Tampering result;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    Common::KernelHandle writer(
        ::CreateFileW(entry.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr));
    result.write = writer ? ERROR_SUCCESS : ::GetLastError();
    Common::KernelHandle remover(
        ::CreateFileW(entry.c_str(), DELETE, share, nullptr, OPEN_EXISTING, 0, nullptr));
    result.remove = remover ? ERROR_SUCCESS : ::GetLastError();
    result.renamed = ::MoveFileW(entry.c_str(), (entry + L".swapped").c_str()) != FALSE;
    return result;
}

// Tampers while its checks run.
class TamperingController : public UpdateController {
  public:
    using UpdateController::UpdateController;
    bool ValidateBinary(const std::wstring& path) override {
        duringChecks = TryToTamper(path);
        return UpdateController::ValidateBinary(path);
    }
    Tampering duringChecks;
};

TEST_F(UpdateControllerTest, NobodyChangesTheInstallerFromItsChecksToItsEnd) {
    const std::wstring hash = FileDigest(SignedFixture(L"installer-unsigned.exe"));
    const std::wstring entry = folder_ + hash + L".exe";
    ScratchFile record(L"tamper-record.txt");
    ScratchFile release(L"tamper-release.txt");
    TamperingController controller(root_.Root(), kShortPause);
    Tampering duringInstall;
    bool installerRan = false;
    std::thread tamperer([&] {
        // The installer has started (its record is written first) and waits
        // for the release file; a running image alone would not stop a
        // rename or a deletion.
        installerRan = WaitUntil([&] { return record.Exists(); });
        duringInstall = TryToTamper(entry);
        std::ofstream(release.Path().c_str()) << "go";
    });
    const std::string log =
        RunUpdate(controller, {{kInstallerUrl},
                               hash,
                               L"--record=" + record.Path() + L" --wait-for=" + release.Path() +
                                   L" --exit=0"});
    tamperer.join();
    ASSERT_TRUE(installerRan) << log;

    EXPECT_EQ(Completed, controller.GetStatus()) << log;
    for (const Tampering& t : {controller.duringChecks, duringInstall}) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), t.write);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), t.remove);
        EXPECT_FALSE(t.renamed);
    }
    // What ran is the file that was checked, from its own place.
    EXPECT_TRUE(Has(record.Read(), "module=" + Narrow(entry) + "\n")) << record.Read();
    EXPECT_TRUE(CacheExeFiles().empty()) << "the handle is closed before the cache is cleaned";
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << bytes;
}

// A broken first mirror never ends an update that a healthy second one can
// serve, and never costs the partial file that the second one resumes.
// A trickle just above the pace floor would hold the update for weeks: every
// URL's download together ends at the update's deadline, the partial file kept.
// One time limit bounds the whole update, from its begin to the installer's
// start: a body that trickles, response headers that trickle, and the URLs
// still to try. The partial file is kept; no URL is tried after the limit.
TEST_F(UpdateControllerTest, TheDownloadsOfOneUpdateEndAtItsDeadline) {
    const std::wstring hash = FileDigest(SignedFixture(L"installer-unsigned.exe"));
    DownloadPace pace;
    pace.floorBytes = 1;  // the trickle passes the pace check
    pace.updateLimit = std::chrono::milliseconds(2000);
    const std::wstring trickle = kServer + L"/_/slow=20000/signed/installer-unsigned.exe";
    UpdateController controller(root_.Root(), kShortPause, pace);
    const std::string log =
        RunUpdate(controller, {{trickle + L"?deadline-1", trickle + L"?deadline-2"}, hash, L""});
    EXPECT_EQ(Failed, controller.GetStatus());
    EXPECT_TRUE(Has(log, "  ERROR : The update's downloads have reached their time limit of [2] "
                         "seconds; the partial file is kept\n"))
        << log;
    EXPECT_TRUE(Has(log, "  ERROR : The update has reached its time limit of [2] seconds; no "
                         "further URL is tried\n"))
        << log;
    EXPECT_TRUE(ServerRequests("?deadline-2").empty()) << "the second URL is never asked";
    EXPECT_EQ(ERROR_TIMEOUT, controller.GetFailure().code);
    const std::string kept = testsupport::FileBytes(folder_ + hash + L".exe");
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), testsupport::FileBytes(SignedFixture(L"installer-unsigned.exe")).size());

    // Headers that stall for longer than the whole limit (and than WinHTTP's
    // own 30 s): the wait for them ends at the limit, and the next URL is not
    // tried.
    const std::wstring slowHeaders = kServer + L"/_/stall-headers=40/gen/1000/x.exe";
    UpdateController headers(root_.Root(), kShortPause, pace);
    const std::string headersLog =
        RunUpdate(headers, {{slowHeaders + L"?headers-1", slowHeaders + L"?headers-2"}, L"", L""});
    EXPECT_EQ(Failed, headers.GetStatus());
    const UpdateFailure failure = headers.GetFailure();
    EXPECT_EQ(std::wstring(kStageDownload), failure.stage);
    EXPECT_EQ(ERROR_TIMEOUT, failure.code) << Narrow(failure.text) << headersLog;
    EXPECT_TRUE(ServerRequests("?headers-2").empty()) << headersLog;
}

TEST_F(UpdateControllerTest, ServerFaultsFallBackToTheNextUrlAndKeepThePartialFile) {
    const std::string installer = testsupport::FileBytes(SignedFixture(L"installer-unsigned.exe"));
    const std::wstring hash = FileDigest(SignedFixture(L"installer-unsigned.exe"));
    const std::wstring entry = folder_ + hash + L".exe";
    const DownloadPace shortPace{std::chrono::milliseconds(1500), 64 * 1024};
    const struct {
        const char* what;
        const wchar_t* fault;
        std::string cached;      // the entry before the run
        const char* secondRange;  // what the healthy URL is asked for ("-": everything)
    } cases[] = {
        {"an empty 503", L"/_/status=503/_/empty", "", "-"},
        {"a 404 with a body over a partial file", L"/_/status=404", installer.substr(0, 1000),
         "bytes=1000-"},
        {"a 206 with a wrong Content-Range", L"/_/range-from-start", installer.substr(0, 1000),
         "bytes=1000-"},
        {"a trickling server", L"/_/slow=2000", "", nullptr},
        {"a body cut mid-way", L"/_/close-after=300000", "", "bytes=300000-"},
    };
    int round = 0;
    for (const auto& c : cases) {
        const std::string tag = "?fault-" + std::to_string(++round);
        const std::wstring wideTag(tag.begin(), tag.end());
        if (!c.cached.empty()) {
            WriteBytes(entry, c.cached);
        }
        const std::wstring first = kServer + c.fault + L"/signed/installer-unsigned.exe" + wideTag;
        const std::wstring second = kInstallerUrl + wideTag + L"-second";
        UpdateController controller(root_.Root(), kShortPause, shortPace);
        const std::string log = RunUpdate(controller, {{first, second}, hash, L"--exit=0"});
        EXPECT_EQ(Completed, controller.GetStatus()) << c.what << "\n" << log;
        const auto served = ServerRequests(tag + "-second", 1);
        ASSERT_FALSE(served.empty()) << c.what;
        if (c.secondRange != nullptr) {
            const std::string range = served.back().range;
            EXPECT_EQ(0u, range.rfind(c.secondRange, 0)) << c.what << ": " << range;
        }
        EXPECT_TRUE(CacheExeFiles().empty()) << c.what;

        // With no second URL: Failed, and the partial file as it was.
        if (!c.cached.empty()) {
            WriteBytes(entry, c.cached);
            UpdateController alone(root_.Root(), kShortPause, shortPace);
            const std::string aloneLog = RunUpdate(alone, {{first + L"-alone"}, hash, L"--exit=0"});
            EXPECT_EQ(Failed, alone.GetStatus()) << c.what;
            EXPECT_EQ(c.cached, testsupport::FileBytes(entry)) << c.what << "\n" << aloneLog;
            ::DeleteFileW(entry.c_str());
        }
    }
}

TEST_F(UpdateControllerTest, ACachedFileLargerThanTheResourceIsReplaced) {
    const std::string installer = testsupport::FileBytes(SignedFixture(L"installer-unsigned.exe"));
    const std::wstring hash = FileDigest(SignedFixture(L"installer-unsigned.exe"));
    WriteBytes(folder_ + hash + L".exe", installer + "trailing bytes of something else");
    UpdateController controller(root_.Root(), kShortPause);
    const std::string log =
        RunUpdate(controller, {{kInstallerUrl + L"?larger"}, hash, L"--exit=0"});
    EXPECT_EQ(Completed, controller.GetStatus()) << log;
    EXPECT_TRUE(Has(log, "is larger than the resource of [")) << log;
}

// An installer has no time limit: while it runs the update stays Installing
// and a WARNING names it each period (60 minutes; here 100 ms, which an
// installer that sleeps 1.5 s outlasts), and its exit code, whenever it comes,
// decides the final status.
TEST_F(UpdateControllerTest, ALongInstallerIsReportedAndItsExitCodeDecides) {
    const struct {
        DWORD exitCode;
        UpdateStatus final;
    } cases[] = {{0, Completed}, {3010, Completed}, {1603, Failed}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exitCode);
        ScratchFile record(L"long-installer.txt");
        InstallerPolicy quick;
        quick.reportEvery = std::chrono::milliseconds(100);
        UpdateController controller(root_.Root(), kShortPause, DownloadPace(), quick);
        const std::wstring tag = L"?long-" + std::to_wstring(c.exitCode);
        std::vector<int> seen;
        const std::string log =
            RunUpdate(controller,
                      {{kInstallerUrl + tag}, L"",
                       L"--record=" + record.Path() + L" --sleep=1500 --exit=" +
                           std::to_wstring(c.exitCode)},
                      &seen);
        EXPECT_EQ((std::vector<int>{Downloading, Installing, c.final}), seen) << log;
        const std::string runs = record.Read();
        const size_t pid = runs.find("pid=");
        ASSERT_NE(std::string::npos, pid) << runs;
        const std::string id = runs.substr(pid + 4, runs.find('\n', pid) - pid - 4);
        EXPECT_TRUE(Has(log, "WARNING : The installer (process [" + id +
                                 "]) is still running after [0] minutes; the update waits for it "
                                 "to end\n"))
            << log;
        EXPECT_TRUE(Has(log, "   INFO : Installation completed, exitcode: [" +
                                 std::to_string(c.exitCode) + "]\n"))
            << log;
        // Each report is an event too, before the outcome's.
        const auto reported = events_.Entries();
        ASSERT_GE(reported.size(), 2u);
        for (size_t i = 0; i + 1 < reported.size(); ++i) {
            EXPECT_EQ(1004, Common::ShownEventId(reported[i].id));
            EXPECT_EQ(Common::EventLevel::kWarning, reported[i].level);
            EXPECT_EQ((std::vector<std::wstring>{std::wstring(id.begin(), id.end()), L"0"}),
                      reported[i].inserts);
        }
        EXPECT_EQ(c.final == Completed ? 1000 : 1001, Common::ShownEventId(reported.back().id));
        events_.Clear();
        const UpdateFailure failure = controller.GetFailure();
        if (c.final == Failed) {
            EXPECT_EQ(std::wstring(kStageInstall), failure.stage);
            EXPECT_EQ(static_cast<int64_t>(c.exitCode), failure.code);
        } else {
            EXPECT_FALSE(failure.IsSet());
        }
    }
}

// With hosts listed by policy, a redirect from an allowed host to another
// fails that URL (the reason names the host) and the next URL is tried; a
// redirect inside the list is followed.
TEST_F(UpdateControllerTest, RedirectsStayInsideTheAllowedHosts) {
    UpdatePolicy policy;
    policy.present = policy.trusted = true;
    policy.restrictsHosts = true;
    policy.allowedHosts = {L"LOCALHOST."};
    UpdateController controller(root_.Root(), kShortPause);
    const std::wstring away = kServer + L"/_/redirect=127.0.0.1/signed/installer-unsigned.exe";
    const std::wstring inside = kServer + L"/_/redirect=localhost/signed/installer-unsigned.exe";
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    controller.RunToCompletion({{away + L"?away", inside + L"?inside"}, L"", L"--exit=0"},
                               AnAdministrator(), policy);
    const std::string log = capture.Take();
    EXPECT_EQ(Completed, controller.GetStatus()) << log;
    EXPECT_TRUE(Has(log, "  ERROR : Redirect refused: the server redirected to the host 127.0.0.1, "
                         "which is not among the allowed hosts (AllowedHosts)\n"))
        << log;
    EXPECT_TRUE(Has(log, "   INFO : Following a redirect to: [https://localhost:443/signed/"
                         "installer-unsigned.exe?inside]\n"))
        << log;

    // The only URL refused that way: the update fails at the download, saying why.
    UpdateController refused(root_.Root(), kShortPause);
    refused.RunToCompletion({{away + L"?away-only"}, L"", L"--exit=0"}, AnAdministrator(), policy);
    const UpdateFailure failure = refused.GetFailure();
    EXPECT_EQ(std::wstring(kStageDownload), failure.stage);
    EXPECT_EQ(ERROR_WINHTTP_REDIRECT_FAILED, failure.code);
    EXPECT_NE(std::wstring::npos, failure.text.find(L"redirected to the host 127.0.0.1"))
        << Narrow(failure.text);
}

TEST_F(UpdateControllerTest, AnInstallerFindingAnotherInstallationIsRetried) {
    ScratchFile record(L"busy-installer.txt");
    InstallerPolicy quick;
    quick.busyRetries = 2;
    quick.busyPause = std::chrono::milliseconds(100);
    UpdateController controller(root_.Root(), kShortPause, DownloadPace(), quick);
    const std::string log = RunUpdate(
        controller, {{kInstallerUrl + L"?busy"}, L"", L"--record=" + record.Path() + L" --exit=1618"});
    EXPECT_EQ(Failed, controller.GetStatus());
    const std::string runs = record.Read();
    EXPECT_EQ(3u, Count(runs, "commandline=")) << "the first run and two retries";
    EXPECT_TRUE(Has(log, "retry [1] of [2]")) << log;
    EXPECT_TRUE(Has(log, "retry [2] of [2]")) << log;
}

}  // namespace
