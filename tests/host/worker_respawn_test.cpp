#include "host/worker_respawn.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/process_start.h"
#include "common/unique_handle.h"
#include "tests/support/test_cache_root.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"
#include "tests/support/text_checks.h"
#include "update/download_cache.h"

namespace {

using testsupport::Count;

using namespace testsupport;

// The value Windows performs at the next restart, as one text.
std::wstring PendingRenames() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                        0, KEY_READ, &key) != ERROR_SUCCESS) {
        return L"";
    }
    DWORD size = 0;
    ::RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size);
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    ::RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                       reinterpret_cast<BYTE*>(&value[0]), &size);
    ::RegCloseKey(key);
    for (auto& c : value) {
        c = c == L'\0' ? L'|' : c;
    }
    return value;
}

// The error of opening `path` with `access` (all sharing allowed), or 0.
DWORD OpenError(const std::wstring& path, DWORD access) {
    Common::KernelHandle file(::CreateFileW(path.c_str(), access,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    return file ? ERROR_SUCCESS : ::GetLastError();
}

// A program (the test installer, waiting) started from `path` by this test.
struct SleepingProgram {
    explicit SleepingProgram(const std::wstring& path) {
        EXPECT_TRUE(::CopyFileW(SignedFixture(L"installer-unsigned.exe").c_str(), path.c_str(),
                                FALSE));
        EXPECT_TRUE(Common::StartProcess(path, Common::QuotedCommandLine(path, L" --sleep=20000"),
                                         nullptr, started));
    }
    ~SleepingProgram() {
        ::TerminateProcess(started.process.Get(), 0);
        ::WaitForSingleObject(started.process.Get(), 10000);
    }
    Common::StartedProcess started;
};

class WorkerRespawnTest : public testing::Test {
  protected:
    // The cache below a root folder of the test's own.
    std::unique_ptr<DownloadCache> OpenCache() const {
        std::unique_ptr<DownloadCache> cache = root_.Open();
        EXPECT_TRUE(cache);
        return cache;
    }

    TestCacheRoot root_;
    const std::wstring cache_ = root_.CacheFolder();
    const std::wstring worker_ = cache_ + kWorkerFileName;
};

TEST_F(WorkerRespawnTest, CopiesItselfOverAnEarlierCopyAndHoldsTheCopyUntilStarted) {
    // Nothing restarts the test prefix: earlier runs' entries go first.
    (void)::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE,
                               L"System\\CurrentControlSet\\Control\\Session Manager",
                               L"PendingFileRenameOperations");
    EXPECT_FALSE(IsScheduledForDeletion(worker_));
    const auto opened = OpenCache();
    ASSERT_TRUE(opened);
    const DownloadCache& cache = *opened;
    std::ofstream(worker_.c_str()) << "an earlier copy";
    std::wstring path;
    Common::KernelHandle copy;
    ASSERT_TRUE(CopyWorkerExecutable(cache, path, copy));
    EXPECT_EQ(worker_, path);
    wchar_t own[MAX_PATH];
    ::GetModuleFileNameW(nullptr, own, MAX_PATH);
    EXPECT_EQ(std::filesystem::file_size(own), std::filesystem::file_size(worker_));
    EXPECT_EQ(1u, Count(PendingRenames(), worker_));
    EXPECT_TRUE(IsScheduledForDeletion(worker_));
    {
        // Each later copy (each service start until a restart): still one entry.
        copy.Reset();
        Common::KernelHandle again;
        ASSERT_TRUE(CopyWorkerExecutable(cache, path, again));
        EXPECT_EQ(1u, Count(PendingRenames(), worker_));
    }
    ASSERT_TRUE(CopyWorkerExecutable(cache, path, copy));

    // Until it is started, nobody writes, renames or deletes it.
    ASSERT_TRUE(copy.IsValid());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(worker_, GENERIC_WRITE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(worker_, DELETE));
    EXPECT_FALSE(::MoveFileW(worker_.c_str(), (cache_ + L"renamed.exe").c_str()));
    copy.Reset();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), OpenError(worker_, GENERIC_WRITE));
}

// The copy is created new, with the service's own descriptor, and written
// through the handle that is then held: no moment in which another writer,
// or a file somebody put at that name, could take its place.
TEST_F(WorkerRespawnTest, TheCopyIsCreatedNewWithTheProtectedDescriptorAndHeldFromItsWriting) {
    FakeFileSystem files;
    const Common::ScopedFileSystem seam(files);
    const auto opened = OpenCache();
    ASSERT_TRUE(opened);
    const DownloadCache& cache = *opened;
    std::wstring path;
    Common::KernelHandle copy;
    ASSERT_TRUE(CopyWorkerExecutable(cache, path, copy));
    ASSERT_FALSE(files.created.empty());
    EXPECT_EQ(std::make_pair(worker_, FakeFileSystem::Canonical(DownloadCache::kFileSddl)),
              files.created.back());
    for (const std::wstring& opened : files.openedByPath) {
        EXPECT_NE(worker_, opened) << "the copy is never opened again by its path";
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(worker_, GENERIC_WRITE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(worker_, DELETE));
    // Held for reading only: the program can be started from it.
    Common::StartedProcess started;
    ASSERT_TRUE(Common::StartProcess(path, L"\"" + path + L"\" --gtest_list_tests", nullptr,
                                     started, DETACHED_PROCESS));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(started.process.Get(), 60000));
}

TEST_F(WorkerRespawnTest, ALockedCopyFailsAndStartsNothing) {
    ASSERT_TRUE(OpenCache());
    std::ofstream(worker_.c_str()) << "in use";
    Common::KernelHandle locked(
        ::CreateFileW(worker_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked.IsValid());
    ScopedLogSettings settings(LogDestination::Console, 4);
    StdoutCapture capture;
    RespawnWorker(root_.Root());
    const std::string log = capture.Take();
    EXPECT_NE(std::string::npos, log.find("  ERROR : Failed to delete the earlier copy [" +
                                          Narrow(worker_) + "] error [32]\n"));
    EXPECT_NE(std::string::npos,
              log.find("  ERROR : Failed to move file [" + Narrow(worker_) + "] error [80]\n"));
    EXPECT_NE(std::string::npos, log.find("  ERROR : Failed to get new name for process\n"));
    EXPECT_EQ(std::string::npos, log.find("respawned as a standalone process\n"));
}

TEST_F(WorkerRespawnTest, OnlyTheWorkerCopyItselfIsReused) {
    ASSERT_TRUE(OpenCache());
    EXPECT_FALSE(FindWorkerProcess(worker_));

    // A process named like the worker, from another folder: ignored.
    const std::wstring folder =
        (std::filesystem::temp_directory_path() / L"kg-other-folder").wstring() + L"\\";
    std::filesystem::create_directories(folder);
    {
        const std::wstring impostorPath = folder + L"KGCLIENT_UPDATE_WORKER.EXE";
        const SleepingProgram impostor(impostorPath);
        ScopedLogSettings settings(LogDestination::Console, 4);
        StdoutCapture capture;
        EXPECT_FALSE(FindWorkerProcess(worker_));
        const std::string log = capture.Take();
        EXPECT_NE(std::string::npos,
                  log.find("WARNING : Ignoring process [KGCLIENT_UPDATE_WORKER.EXE] pid [" +
                           std::to_string(impostor.started.id) + "] running from [" +
                           Narrow(impostorPath) + "]: it is not the worker copy\n"))
            << log;
        EXPECT_NE(std::string::npos, log.find("VERBOSE : Returning exists [0]\n"));
    }
    std::filesystem::remove_all(folder);

    // The copy itself, whatever the letter case of its name: reused, but
    // only when it runs as the service's account (under Wine every process
    // runs as one account; the service's is SYSTEM on Windows).
    {
        const SleepingProgram worker(cache_ + L"KGCLIENT_Update_Worker.exe");
        ScopedLogSettings settings(LogDestination::Console, 4);
        StdoutCapture capture;
        EXPECT_TRUE(FindWorkerProcess(worker_));
        EXPECT_NE(std::string::npos, capture.Take().find("VERBOSE : Returning exists [1]\n"));

        StdoutCapture borrowed;
        EXPECT_FALSE(FindWorkerProcess(worker_, L"S-1-5-18"));
        const std::string log = borrowed.Take();
        EXPECT_NE(std::string::npos,
                  log.find("WARNING : Ignoring process [KGCLIENT_Update_Worker.exe] pid [" +
                           std::to_string(worker.started.id) + "]: it runs as [" +
                           Narrow(Common::OwnAccountSid()) +
                           "], not as the service's account [S-1-5-18]; a new worker is started\n"))
            << log;
        EXPECT_NE(std::string::npos, log.find("VERBOSE : Returning exists [0]\n"));
    }
}

// The service reports a worker that ends at once (it could not serve the
// endpoint), and says nothing of one that keeps running.
TEST(ReportEarlyEnd, ReportsAWorkerThatEndedAndItsExitCode) {
    const std::wstring installer = SignedFixture(L"installer-unsigned.exe");
    struct Case {
        const wchar_t* args;
        bool reported;
    };
    for (const Case& c : {Case{L" --exit=2", true}, Case{L" --sleep=20000", false}}) {
        Common::StartedProcess started;
        ASSERT_TRUE(Common::StartProcess(installer, Common::QuotedCommandLine(installer, c.args),
                                         nullptr, started));
        if (c.reported) {
            ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(started.process.Get(), 60000));
        }
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        ReportEarlyEnd(started.process.Get(), c.reported ? 0 : 100);
        const std::string log = capture.Take();
        EXPECT_EQ(c.reported, log.find("  ERROR : The worker ended at once with exit code [2]: it "
                                       "did not serve the update endpoint") != std::string::npos)
            << log;
        EXPECT_EQ(c.reported, !log.empty()) << log;
        ::TerminateProcess(started.process.Get(), 0);
        ::WaitForSingleObject(started.process.Get(), 10000);
    }
}

}  // namespace
