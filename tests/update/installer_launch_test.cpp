#include "update/installer_launch.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "common/process_start.h"
#include "common/unique_handle.h"
#include "tests/support/log_capture.h"
#include "tests/support/text_checks.h"
#include "tests/support/test_server.h"

namespace {

using namespace testsupport;
using testsupport::Has;

// A folder with a copy of the test installer in it, removed afterwards.
class InstallerFolder {
  public:
    explicit InstallerFolder(const std::wstring& folder) : folder_(folder), record_(L"record.txt") {
        std::filesystem::create_directories(folder_);
        installer_ = folder_ + L"setup.exe";
        EXPECT_TRUE(::CopyFileW(SignedFixture(L"installer-unsigned.exe").c_str(),
                                installer_.c_str(), FALSE));
    }
    ~InstallerFolder() { std::filesystem::remove_all(folder_); }
    const std::wstring& Folder() const { return folder_; }
    const std::wstring& Installer() const { return installer_; }
    // Outside the folder: a path without blanks for the installer's option.
    std::wstring Record() const { return record_.Path(); }

    // The lines "key=value" the installer recorded.
    std::map<std::string, std::string> Recorded() const {
        std::map<std::string, std::string> values;
        std::ifstream file(record_.Path().c_str());
        for (std::string line; std::getline(file, line);) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos) {
                values[line.substr(0, equals)] = line.substr(equals + 1);
            }
        }
        return values;
    }

  private:
    std::wstring folder_;
    std::wstring installer_;
    ScratchFile record_;
};

std::string WithoutTrailingBackslash(std::string text) {
    if (!text.empty() && text.back() == '\\') {
        text.pop_back();
    }
    return text;
}

TEST(ExecuteInstaller, PassesTheSwitchesAndArgumentsAsGiven) {
    InstallerFolder dir(L"C:\\kg-installer-test\\");
    const std::wstring args =
        L"--record=" + dir.Record() + L"  --exit=0 PROPERTY=\"a b\" /l*v log.txt";
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    EXPECT_TRUE(ExecuteInstaller(dir.Folder(), dir.Installer(), args).Exited(0));
    const std::string log = capture.Take();

    const std::string commandLine = Narrow(dir.Installer() + L" /quiet /norestart " + args);
    auto recorded = dir.Recorded();
    EXPECT_EQ(commandLine, recorded["commandline"]);
    EXPECT_EQ(WithoutTrailingBackslash(Narrow(dir.Folder())),
              WithoutTrailingBackslash(recorded["directory"]));
    EXPECT_TRUE(log.find("   INFO : Working directory will be: [C:\\kg-installer-test\\]\n") !=
                std::string::npos);
    EXPECT_TRUE(log.find("   INFO : Executing commandline: [" + commandLine + "]\n") !=
                std::string::npos);
    EXPECT_TRUE(log.find("   INFO : Installation completed, exitcode: [0]\n") != std::string::npos);
}

TEST(ExecuteInstaller, EmptyArgumentsLeaveTheFinalBlank) {
    InstallerFolder dir(L"C:\\kg-installer-test\\");
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    EXPECT_TRUE(ExecuteInstaller(dir.Folder(), dir.Installer(), L"").Exited(0));
    EXPECT_NE(std::string::npos,
              capture.Take().find("   INFO : Executing commandline: "
                                  "[C:\\kg-installer-test\\setup.exe /quiet /norestart ]\n"));
}

TEST(RunInstaller, JudgesTheExitCode) {
    InstallerFolder dir(L"C:\\kg-installer-test\\");
    const struct {
        DWORD code;
        bool success;
    } cases[] = {{0, true}, {1641, true}, {3010, true}, {1602, false}, {1603, false}, {1, false}};
    for (const auto& c : cases) {
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        EXPECT_EQ(c.success,
                  RunInstaller(dir.Folder(), dir.Installer(), L"--exit=" + std::to_wstring(c.code)))
            << c.code;
        EXPECT_NE(std::string::npos, capture.Take().find("Installation completed, exitcode: [" +
                                                         std::to_string(c.code) + "]\n"));
    }
}

TEST(RunInstaller, AMissingFileIsAFailedStart) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const InstallerRun run = ExecuteInstaller(L"C:\\", L"C:\\windows\\kg-deleted-setup.exe", L"");
    EXPECT_EQ(InstallerEnd::NotStarted, run.end);
    EXPECT_EQ(2u, run.code);
    EXPECT_FALSE(RunInstaller(L"C:\\", L"C:\\windows\\kg-deleted-setup.exe", L""));
    const std::string log = capture.Take();
    EXPECT_NE(std::string::npos, log.find("  ERROR : CreateProcess failed (2)\n")) << log;
    EXPECT_EQ(std::string::npos, log.find("Installation completed"));
}

// An installer whose end cannot be read has not succeeded: a handle that may
// only wait (no query right) stands for any failure of GetExitCodeProcess.
TEST(AwaitInstaller, AnExitCodeThatCannotBeReadIsNotSuccess) {
    InstallerFolder dir(L"C:\\kg-await\\");
    Common::StartedProcess started;
    const std::wstring commandLine = L"\"" + dir.Installer() + L"\" /quiet /norestart --exit=0";
    ASSERT_TRUE(Common::StartProcess(dir.Installer(), commandLine, dir.Folder().c_str(), started));
    Common::KernelHandle waitOnly;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), started.process.Get(),
                                  ::GetCurrentProcess(), waitOnly.Receive(), SYNCHRONIZE, FALSE,
                                  0));
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const InstallerRun run =
        AwaitInstaller(std::move(waitOnly), started.id, std::chrono::seconds(60));
    const std::string log = capture.Take();
    EXPECT_EQ(InstallerEnd::Unknown, run.end);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), run.code);
    EXPECT_FALSE(run.Exited(0));
    EXPECT_TRUE(Has(log, "  ERROR : The installer's exit code cannot be read, error [5]\n")) << log;
    EXPECT_FALSE(Has(log, "Installation completed")) << log;
    // The same process through a full handle: it exited with 0.
    EXPECT_TRUE(AwaitInstaller(std::move(started.process), started.id, std::chrono::seconds(60))
                    .Exited(0));
}

TEST(RunInstaller, StartsExactlyTheCacheEntryWhenItsPathHoldsABlank) {
    // Unquoted, "C:\kg test\setup.exe ..." would start C:\kg.exe first.
    const std::wstring decoy = L"C:\\kg.exe";
    ASSERT_TRUE(
        ::CopyFileW(SignedFixture(L"installer-unsigned.exe").c_str(), decoy.c_str(), FALSE));
    InstallerFolder dir(L"C:\\kg test\\");
    EXPECT_TRUE(
        RunInstaller(dir.Folder(), dir.Installer(), L"--record=" + dir.Record() + L" --exit=0"));
    ::DeleteFileW(decoy.c_str());
    auto recorded = dir.Recorded();
    EXPECT_EQ(Narrow(dir.Installer()), recorded["module"]);
    EXPECT_EQ("\"C:\\kg test\\setup.exe\" /quiet /norestart --record=" + Narrow(dir.Record()) +
                  " --exit=0",
              recorded["commandline"]);
}

}  // namespace
