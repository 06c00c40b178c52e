#include "common/run_log.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
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
        RunLog::Write(LogLevel::Info, L"   INFO : a line\n");
        expected.push_back(RunLog::FileName(At(9, run), 100 + run));
    }
    RunLog::Stop();
    expected.erase(expected.begin(), expected.begin() + 2);
    EXPECT_EQ(expected, Files());
    EXPECT_EQ(L"20261210-091100Z-111.log", expected.back());
}

// Each line of the file is the line as the console shows it, after its UTC
// time with milliseconds; returns the lines without their times, and fails
// the test on a line without one.
std::vector<std::string> Untimed(const std::string& text) {
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z )");
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(std::regex_search(line, stamp)) << line;
        lines.push_back(line.size() > 25 ? line.substr(25) : line);
    }
    return lines;
}

TEST_F(RunLogTest, TakesTimedInfoAndHigherWhateverTheConsoleShowsButNotQuietLines) {
    ASSERT_TRUE(RunLog::Start(folder_, kSddl, At(10, 0), 7));
    {
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        Log::Verbose(L"verbose: not in the file");
        Log::Info(L"first");
        {
            const RunLog::Quiet quiet;
            Log::Info(L"a chunk: console only");
            Log::Warning(L"a warning inside a quiet scope");
            std::thread([] { Log::Info(L"another thread is not quiet"); }).join();
        }
        Log::Error(L"an error");
        const std::string console = capture.Take();
        EXPECT_NE(std::string::npos, console.find("   INFO : a chunk: console only\n"));
    }
    const std::vector<std::string> expected = {
        "   INFO : first",
        "WARNING : a warning inside a quiet scope",
        "   INFO : another thread is not quiet",
        "  ERROR : an error",
    };
    EXPECT_EQ(expected, Untimed(Read(RunLog::Path())));
}

// INFO lines may wait in memory; a WARNING or ERROR line, and a note (the
// run's summary), reach the disk at once with everything before them, so
// that a crash right after loses none of them.
TEST_F(RunLogTest, FailuresAndTheRunsEndReachTheDiskAtOnce) {
    ASSERT_TRUE(RunLog::Start(folder_, kSddl, At(10, 2), 9));
    ScopedLogSettings settings(0, 0);
    for (int i = 0; i < 50; ++i) {
        Log::Info(L"routine line %d", i);
    }
    Log::Error(L"the failure");
    std::vector<std::string> lines = Untimed(Read(RunLog::Path()));
    ASSERT_EQ(51u, lines.size());
    EXPECT_EQ("   INFO : routine line 0", lines.front());
    EXPECT_EQ("  ERROR : the failure", lines.back());
    Log::Info(L"after the failure");
    RunLog::Note(L"Run summary: result [Failed]");
    lines = Untimed(Read(RunLog::Path()));
    ASSERT_EQ(53u, lines.size());
    EXPECT_EQ("   INFO : after the failure", lines[51]);
    EXPECT_EQ("   INFO : Run summary: result [Failed]", lines[52]);
}

// The file stays within its cap and keeps the run's first lines, every
// WARNING and ERROR line while they fit, and its last lines, whatever floods
// it in between; one line says how many were left out.
TEST_F(RunLogTest, KeepsItsHeadItsFailuresAndItsEndWithinTheCap) {
    constexpr uint64_t kCap = 16 * 1024;
    struct Case {
        const char* name;
        int lines;
        int errorEvery;  // every n-th line is an ERROR (0: none)
    };
    const Case cases[] = {
        {"a flood of INFO lines", 3000, 0},
        {"INFO lines with errors among them", 3000, 400},
        {"a flood of ERROR lines", 3000, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(RunLog::Start(folder_, kSddl, At(10, 1), 8, kCap));
        {
            ScopedLogSettings settings(0, 0);
            std::vector<std::string> written;
            for (int i = 0; i < c.lines; ++i) {
                if (c.errorEvery != 0 && i % c.errorEvery == c.errorEvery - 1) {
                    Log::Error(L"failure %d", i);
                } else {
                    Log::Info(L"junk request %d of a flood that should not bury anything", i);
                }
            }
            Log::Error(L"the failure at the end");
            Log::Info(L"the run's last line");
        }
        const std::wstring path = RunLog::Path();
        RunLog::Stop();  // writes what is still kept in memory
        const std::string text = Read(path);
        EXPECT_LE(text.size(), kCap);
        const std::vector<std::string> lines = Untimed(text);
        ASSERT_GT(lines.size(), 20u);
        const std::string first = c.errorEvery == 1 ? "  ERROR : failure 0" : "   INFO : junk request 0 ";
        EXPECT_EQ(0u, lines.front().find(first)) << lines.front();
        EXPECT_EQ("  ERROR : the failure at the end", lines[lines.size() - 2]);
        EXPECT_EQ("   INFO : the run's last line", lines.back());
        // The lines before the end are the run's last ones, in order.
        if (c.errorEvery != 1) {
            EXPECT_NE(lines[lines.size() - 3].find(std::to_string(c.lines - 1)),
                      std::string::npos);
        }
        if (c.errorEvery > 1) {
            for (int i = c.errorEvery - 1; i < c.lines; i += c.errorEvery) {
                const std::string error = "  ERROR : failure " + std::to_string(i);
                EXPECT_EQ(1, std::count(lines.begin(), lines.end(), error)) << error;
            }
        }
        // One line says how many are left out; kept and left out make all.
        const auto note = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find("lines of this run were left out here") != std::string::npos;
        });
        ASSERT_NE(lines.end(), note);
        const uint64_t leftOut = std::stoull(note->substr(note->find('[') + 1));
        EXPECT_EQ(c.lines + 2u, lines.size() - 1 + leftOut);
    }
}

// Many threads write while the window is trimmed and written again, over
// and over: every line in the file is one whole line of one thread, with its
// time, and each thread's kept lines are in its order.
TEST_F(RunLogTest, LinesOfManyThreadsStayWholeWhileTheWindowIsRewritten) {
    constexpr uint64_t kCap = 16 * 1024;
    constexpr int kThreads = 4;
    constexpr int kLines = 1500;
    ASSERT_TRUE(RunLog::Start(folder_, kSddl, At(10, 2), 9, kCap));
    {
        ScopedLogSettings settings(0, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kLines; ++i) {
                    if (i % 250 == 249) {
                        Log::Error(L"thread %d line %d failed", t, i);
                    } else {
                        Log::Info(L"thread %d line %d of a writer racing the others", t, i);
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    const std::wstring path = RunLog::Path();
    RunLog::Stop();
    const std::string text = Read(path);
    EXPECT_LE(text.size(), kCap);
    static const std::regex whole(
        R"(^(   INFO : thread (\d) line (\d+) of a writer racing the others|  ERROR : thread (\d) line (\d+) failed|.*lines of this run were left out here.*)$)");
    int last[kThreads] = {-1, -1, -1, -1};
    int errors = 0;
    for (const std::string& line : Untimed(text)) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, whole)) << "a torn line: " << line;
        const bool info = parts[2].matched;
        if (!info && !parts[4].matched) {
            continue;  // the left-out note
        }
        errors += info ? 0 : 1;
        const int thread = std::stoi(parts[info ? 2 : 4].str());
        const int number = std::stoi(parts[info ? 3 : 5].str());
        EXPECT_GT(number, last[thread]) << line;
        last[thread] = number;
    }
    EXPECT_EQ(kThreads * (kLines / 250), errors) << "every ERROR line is kept";
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

// A log folder that others may add to or change is not used: its file is
// created new, with the service's descriptor, only in a folder of its own.
TEST_F(RunLogTest, TheFileIsCreatedNewWithTheProtectedDescriptorInAFolderOfItsOwn) {
    {
        testsupport::FakeFileSystem files;
        files.overrides[L"kg-run-logs"].descriptorSddl = L"O:BAD:(A;;FA;;;BA)(A;;0x2;;;BU)";
        const Common::ScopedFileSystem seam(files);
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        EXPECT_FALSE(RunLog::Start(folder_, kSddl, At(12, 0), 1));
        EXPECT_NE(std::string::npos, capture.Take().find("the log folder is not the service's own"));
        EXPECT_TRUE(Files().empty()) << "no file in it";
    }
    testsupport::FakeFileSystem files;
    const Common::ScopedFileSystem seam(files);
    ASSERT_TRUE(RunLog::Start(folder_, kSddl, At(12, 1), 1));
    ASSERT_FALSE(files.created.empty());
    EXPECT_EQ(std::make_pair(RunLog::Path(),
                             testsupport::FakeFileSystem::Canonical(RunLog::kFileSddl)),
              files.created.back());
    RunLog::Stop();
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
