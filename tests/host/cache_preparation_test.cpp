#include "host/cache_preparation.h"

#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/event_log_recorder.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_cache_root.h"
#include "tests/support/test_server.h"
#include "tests/support/text_checks.h"
#include "update/download_cache.h"

namespace {

using namespace testsupport;

// The option is one whole argument, in any letter case; it is not found
// inside a longer word or the program's path, as the other options are.
TEST(PrepareCacheOption, IsOneWholeArgument) {
    const struct {
        const wchar_t* commandLine;
        bool prepares;
    } cases[] = {
        {L"\"C:\\Program Files\\kestrelGATE\\Client\\kgclient_update.exe\" -preparecache", true},
        {L"kgclient_update.exe -PrepareCache", true},
        {L"kgclient_update.exe -v\t-preparecache  ", true},
        {L"\"C:\\-preparecache\\kgclient_update.exe\"", false},
        {L"C:\\x-preparecache\\kgclient_update.exe -service", false},
        {L"kgclient_update.exe -preparecaches", false},
        {L"kgclient_update.exe \"-preparecache\"", false},
        {L"kgclient_update.exe -service", false},
        {L"kgclient_update.exe", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.prepares, IsPrepareCacheRun(c.commandLine)) << Narrow(c.commandLine);
    }
}

// What the package's installation step passes: every level of the chain
// created with the service's protected descriptor (Wine keeps no access
// lists, so the descriptors passed are what is checked), and on a second run
// the chain judged, not made again.
TEST(PrepareCache, CreatesTheChainWithTheServicesDescriptorOrJudgesIt) {
    const TestCacheRoot root;
    const std::wstring company = root.Path() + L"\\kestrelGATE";
    EventLogRecorder events;
    {
        FakeFileSystem files;
        const Common::ScopedFileSystem seam(files);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), PrepareCache(root.Root()));
        ASSERT_EQ(3u, files.created.size());
        EXPECT_EQ(company, files.created[0].first);
        EXPECT_EQ(company + L"\\Client", files.created[1].first);
        EXPECT_EQ(0u, files.created[2].first.rfind(company + L"\\Client\\AutoUpdate.new-", 0));
        for (const auto& [path, sddl] : files.created) {
            EXPECT_EQ(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", sddl) << Narrow(path);
        }
        EXPECT_TRUE(files.applied.empty());
    }
    {
        FakeFileSystem files;
        const Common::ScopedFileSystem seam(files);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), PrepareCache(root.Root()));
        // Asked for again (ERROR_ALREADY_EXISTS), then judged as the service judges it.
        for (const auto& [path, sddl] : files.created) {
            EXPECT_EQ(std::wstring::npos, path.find(L"AutoUpdate.new-")) << Narrow(path);
        }
    }
    EXPECT_TRUE(events.Entries().empty());
}

// A folder a user made first is not taken over: the step fails with the
// cache's error, and the ERROR and the event name the folder and what to do.
TEST(PrepareCache, AFolderAUserMadeFirstFailsTheStepAndSaysWhatToDo) {
    const TestCacheRoot root;
    ASSERT_TRUE(root.Open());
    const std::wstring client = root.Path() + L"\\kestrelGATE\\Client";
    FakeFileSystem files;
    files.overrides[L"\\Client"].ownerSid = L"S-1-5-21-1-2-3-1001";
    const Common::ScopedFileSystem seam(files);
    EventLogRecorder events;
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    EXPECT_EQ(DownloadCache::kNotOwn, PrepareCache(root.Root()));
    const std::string log = capture.Take();
    EXPECT_TRUE(Has(log, "  ERROR : The cache folder cannot be prepared, error [5]: [" +
                             Narrow(client) + "] (it is not the service's own (its owner "
                             "S-1-5-21-1-2-3-1001 is not a trusted account)). Delete the folder, "
                             "or give it SYSTEM or Administrators as owner"));
    const auto reported = events.WithId(1003);
    ASSERT_EQ(1u, reported.size());
    EXPECT_EQ(Common::EventLevel::kError, reported[0].level);
    ASSERT_EQ(3u, reported[0].inserts.size());
    EXPECT_EQ(client, reported[0].inserts[0]);
}

}  // namespace
