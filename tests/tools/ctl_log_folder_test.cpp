#include "tools/ctl_log_folder.h"

#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_file_system.h"
#include "tests/support/test_cache_root.h"
#include "tests/support/test_server.h"

namespace {

using testsupport::FakeFileSystem;
using testsupport::Narrow;

const std::wstring kRun = L"20261210-154800Z-1234.log";

// A cache below a root of the test's own, with its logs' folder, one run
// file and one file of another name.
class RunLogFolderTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(root_.Open());
        logs_ = root_.CacheFolder() + L"logs\\";
        ASSERT_TRUE(::CreateDirectoryW(logs_.c_str(), nullptr));
        std::ofstream((logs_ + kRun).c_str(), std::ios::binary) << "first line\nsecond line\nthird line\n";
        std::ofstream((logs_ + L"notes.txt").c_str(), std::ios::binary) << "not a run";
    }

    testsupport::TestCacheRoot root_;
    std::wstring logs_;
};

TEST_F(RunLogFolderTest, ReadsOnlyTheRunFilesOfTheServicesOwnFolderAndAtMostTheirEnd) {
    FakeFileSystem files;
    const Common::ScopedFileSystem seam(files);
    RunLogFolder folder;
    std::wstring why;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), folder.Open(root_.Path(), why)) << Narrow(why);
    EXPECT_EQ(logs_, folder.Path());
    std::vector<std::wstring> names;
    ASSERT_TRUE(folder.Names(names));
    EXPECT_EQ(std::vector<std::wstring>{kRun}, names);

    std::string text;
    uint64_t skipped = 1;
    ASSERT_TRUE(folder.ReadTail(kRun, RunLogFolder::kMaxReadBytes, text, skipped, why));
    EXPECT_EQ("first line\nsecond line\nthird line\n", text);
    EXPECT_EQ(0u, skipped);
    // No more than asked for is read: the end.
    ASSERT_TRUE(folder.ReadTail(kRun, 11, text, skipped, why));
    EXPECT_EQ("third line\n", text);
    EXPECT_EQ(23u, skipped);
    // Every level below the root is opened through the one above it.
    EXPECT_EQ(1u, files.openedByPath.size());
}

// A level that is not the service's own (another owner, an access list that
// lets others change it or add to it, a junction) is not read, and says which.
TEST_F(RunLogFolderTest, ALevelThatIsNotTheServicesOwnIsNotRead) {
    const struct {
        const wchar_t* level;
        FakeFileSystem::Override facts;
    } cases[] = {
        {L"\\Client", {0, 0, L"S-1-5-21-1-2-3-1001", L""}},
        {L"\\AutoUpdate",
         {0, 0, L"", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1201bf;;;BU)"}},
        {L"\\logs", {FILE_ATTRIBUTE_REPARSE_POINT, 0, L"", L""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.level));
        FakeFileSystem files;
        files.overrides[c.level] = c.facts;
        const Common::ScopedFileSystem seam(files);
        RunLogFolder folder;
        std::wstring why;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_OWNER), folder.Open(root_.Path(), why));
        EXPECT_NE(std::wstring::npos, why.find(std::wstring(c.level) + L" is not the service's own"))
            << Narrow(why);
        std::vector<std::wstring> names;
        EXPECT_FALSE(folder.Names(names));
    }
}

// A run file that is a link, has a second name or another owner is not read.
TEST_F(RunLogFolderTest, ARunFileThatIsNotAPlainFileOfATrustedOwnerIsNotRead) {
    const FakeFileSystem::Override cases[] = {
        {FILE_ATTRIBUTE_REPARSE_POINT, 0, L"", L""},
        {0, 2, L"", L""},
        {0, 0, L"S-1-5-21-1-2-3-1001", L""},
    };
    for (const auto& facts : cases) {
        FakeFileSystem files;
        files.overrides[kRun] = facts;
        const Common::ScopedFileSystem seam(files);
        RunLogFolder folder;
        std::wstring why;
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), folder.Open(root_.Path(), why));
        std::string text = "stale";
        uint64_t skipped = 0;
        EXPECT_FALSE(folder.ReadTail(kRun, RunLogFolder::kMaxReadBytes, text, skipped, why));
        EXPECT_EQ("", text);
        EXPECT_EQ(L"it is not a plain file of a trusted owner; it is not read", why);
    }
}

TEST_F(RunLogFolderTest, NoLogsFolderYetIsNotFound) {
    RunLogFolder folder;
    std::wstring why;
    root_.Clear();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), folder.Open(root_.Path(), why));
}

}  // namespace
