#include "host/worker_respawn.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/unique_handle.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"
#include "update/download_cache.h"

namespace {

using namespace testsupport;

std::string Log(void (*action)()) {
    ScopedLogSettings settings(LogDestination::Console, 4);
    StdoutCapture capture;
    action();
    return capture.Take();
}

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

class WorkerRespawnTest : public testing::Test {
  protected:
    void SetUp() override {
        cache_ = DownloadCache().folder;
        worker_ = cache_ + kWorkerFileName;
        ::DeleteFileW(worker_.c_str());
    }
    void TearDown() override { std::filesystem::remove_all(cache_); }
    std::wstring cache_;
    std::wstring worker_;
};

TEST_F(WorkerRespawnTest, CopiesItselfOverAnEarlierCopyAndSchedulesItsDeletion) {
    std::ofstream(worker_.c_str()) << "an earlier copy";
    std::wstring path;
    ASSERT_TRUE(CopyWorkerExecutable(path));
    EXPECT_EQ(worker_, path);
    wchar_t own[MAX_PATH];
    ::GetModuleFileNameW(nullptr, own, MAX_PATH);
    EXPECT_EQ(std::filesystem::file_size(own), std::filesystem::file_size(worker_));
    EXPECT_NE(std::wstring::npos, PendingRenames().find(L"kgclient_update_worker.exe"));
}

TEST_F(WorkerRespawnTest, ALockedCopyFailsAndStartsNothing) {
    std::ofstream(worker_.c_str()) << "in use";
    Common::KernelHandle locked(
        ::CreateFileW(worker_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked.IsValid());
    const std::string log = Log([] { RespawnWorker(); });
    EXPECT_NE(std::string::npos,
              log.find("  ERROR : Failed to move file [" + Narrow(worker_) + "] error [32]\n"));
    EXPECT_NE(std::string::npos, log.find("  ERROR : Failed to get new name for process\n"));
    EXPECT_EQ(std::string::npos, log.find("respawned as a standalone process\n"));
}

TEST_F(WorkerRespawnTest, ARunningWorkerOfAnyLetterCaseIsReused) {
    EXPECT_FALSE(FindWorkerProcess());
    // A process named like the worker, from another folder, in capitals.
    const std::wstring folder =
        std::filesystem::temp_directory_path().wstring() + L"\\kg-other-folder\\";
    std::filesystem::create_directories(folder);
    const std::wstring impostor = folder + L"KGCLIENT_UPDATE_WORKER.EXE";
    ASSERT_TRUE(
        ::CopyFileW(SignedFixture(L"installer-unsigned.exe").c_str(), impostor.c_str(), FALSE));
    std::wstring commandLine = L"\"" + impostor + L"\" --sleep=20000";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessW(impostor.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                 nullptr, nullptr, &startup, &process));
    Common::KernelHandle processHandle(process.hProcess);
    Common::KernelHandle threadHandle(process.hThread);

    const std::string log = Log([] { RespawnWorker(); });
    ::TerminateProcess(processHandle.Get(), 0);
    ::WaitForSingleObject(processHandle.Get(), 10000);
    std::filesystem::remove_all(folder);

    EXPECT_NE(std::string::npos, log.find("VERBOSE : Searching for process...\n"));
    EXPECT_NE(std::string::npos,
              log.find("VERBOSE : Found process [KGCLIENT_UPDATE_WORKER.EXE] pid [" +
                       std::to_string(process.dwProcessId) + "]\n"));
    EXPECT_NE(std::string::npos, log.find("VERBOSE : Returning exists [1]\n"));
    EXPECT_NE(std::string::npos, log.find("VERBOSE : Reusing existing worker process\n"));
    EXPECT_FALSE(std::filesystem::exists(worker_)) << "nothing copied, nothing started";
}

}  // namespace
