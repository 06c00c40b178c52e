#include "common/run_log.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/log_capture.h"

namespace {

using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;

constexpr wchar_t kSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

class RunLogTest : public testing::Test {
  protected:
    void SetUp() override {
        folder_ = (std::filesystem::temp_directory_path() / L"kg-run-logs").wstring();
        Remove();
    }
    void TearDown() override {
        RunLog::Stop();
        Remove();
    }
    void Remove() {
        std::error_code error;
        ::SetFileAttributesW(folder_.c_str(), FILE_ATTRIBUTE_NORMAL);
        std::filesystem::remove_all(folder_, error);
    }
    std::vector<std::wstring> Files() const {
        std::vector<std::wstring> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().wstring());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::string Read(const std::wstring& path) {
        std::ifstream file(path.c_str(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    static SYSTEMTIME At(WORD hour, WORD minute) {
        SYSTEMTIME time = {};
        time.wYear = 2026;
        time.wMonth = 12;
        time.wDay = 10;
        time.wHour = hour;
        time.wMinute = minute;
        return time;
    }
    std::wstring folder_;
};

TEST_F(RunLogTest, KeepsTheLastTenRuns) {
    std::vector<std::wstring> expected;
    for (WORD run = 0; run < 12; ++run) {
        ASSERT_TRUE(RunLog::Start(folder_, kSddl, At(9, run), 100 + run));
        RunLog::Write(L"   INFO : a line\n");
        expected.push_back(RunLog::FileName(At(9, run), 100 + run));
    }
    RunLog::Stop();
    expected.erase(expected.begin(), expected.begin() + 2);
    EXPECT_EQ(expected, Files());
    EXPECT_EQ(L"20261210-091100Z-111.log", expected.back());
}

TEST_F(RunLogTest, TakesInfoAndHigherWhateverTheConsoleShowsAndStopsAtTheCap) {
    ASSERT_TRUE(RunLog::Start(folder_, kSddl, At(10, 0), 7, 300));
    {
        ScopedLogSettings settings(LogDestination::Console, 1);  // console: errors only
        StdoutCapture capture;
        Log::Verbose(L"not in the file");
        for (int i = 0; i < 10; ++i) {
            Log::Info(L"line %d of the run, long enough to fill the file quickly", i);
        }
        Log::Error(L"an error after the cap");
        (void)capture.Take();
    }
    const std::string text = Read(RunLog::Path());
    RunLog::Stop();
    EXPECT_EQ(std::string::npos, text.find("not in the file"));
    EXPECT_EQ(0u, text.find("   INFO : line 0 of the run"));
    const std::string capLine =
        "   INFO : This run's log file has reached its size limit; later lines go to ETW and the "
        "console only\n";
    ASSERT_GE(text.size(), capLine.size());
    EXPECT_EQ(capLine, text.substr(text.size() - capLine.size())) << text;
    EXPECT_LE(text.size() - capLine.size(), 300u);
    EXPECT_EQ(std::string::npos, text.find("an error after the cap"));
}

TEST_F(RunLogTest, AFolderItCannotUseCostsTheRunOnlyTheFile) {
    // The folder's place is taken by a file: nothing can be created there.
    std::ofstream(folder_.c_str()) << "in the way";
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    EXPECT_FALSE(RunLog::Start(folder_, kSddl, At(11, 0), 1));
    EXPECT_FALSE(RunLog::IsOpen());
    Log::Info(L"the run goes on");
    const std::string log = capture.Take();
    EXPECT_EQ(0u, log.find("  ERROR : The log file of this run is disabled: ")) << log;
    EXPECT_NE(std::string::npos, log.find("   INFO : the run goes on\n"));
    ::DeleteFileW(folder_.c_str());

    // A reparse point as the folder (reported by the seam: Wine makes none).
    testsupport::FakeFileSystem files;
    files.overrides[L"kg-run-logs"].addAttributes = FILE_ATTRIBUTE_REPARSE_POINT;
    const Common::ScopedFileSystem seam(files);
    StdoutCapture again;
    EXPECT_FALSE(RunLog::Start(folder_, kSddl, At(11, 1), 1));
    EXPECT_NE(std::string::npos, again.Take().find("the log folder is a reparse point"));
    EXPECT_TRUE(Files().empty()) << "no file in it";
}

}  // namespace

namespace {

// The cache keeps only files of this form in the run logs' folder.
TEST(RunLogName, OnlyTheNamesRunsAreGivenAreRunLogNames) {
    EXPECT_TRUE(RunLog::IsFileName(RunLog::FileName(SYSTEMTIME{2026, 12, 4, 10, 15, 48, 0, 0}, 1234)));
    EXPECT_TRUE(RunLog::IsFileName(L"20261210-154800Z-4294967295.log"));
    for (const wchar_t* name :
         {L"20261210-154800Z-.log", L"20261210-154800Z-1234.dll", L"20261210-154800Z-1234.log.dll",
          L"20261210-154800-1234.log", L"2026121-154800Z-1234.log", L"20261210_154800Z-1234.log",
          L"20261210-154800Z-12a4.log", L"version.dll", L"20261210-154800Z-42949672950.log",
          L"x0261210-154800Z-1234.log"}) {
        EXPECT_FALSE(RunLog::IsFileName(name)) << testing::PrintToString(std::wstring(name));
    }
}

}  // namespace
