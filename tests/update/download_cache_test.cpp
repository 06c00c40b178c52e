#include "update/download_cache.h"

#include <windows.h>
#include <shlobj.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <sddl.h>

#include <gtest/gtest.h>

#include "common/unique_handle.h"
#include "tests/support/cache_folder.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"
#include "update/sha256.h"

namespace {

using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;
using testsupport::FakeFileSystem;
using testsupport::Narrow;

std::wstring ProgramData() {
    Common::CoTaskMemText path;
    EXPECT_EQ(S_OK, ::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, path.Receive()));
    return path.Get();
}

std::wstring ExpectedFolder() {
    return ProgramData() + L"\\kestrelGATE\\Client\\AutoUpdate\\";
}

void Touch(const std::wstring& path) {
    std::ofstream(path.c_str(), std::ios::binary) << "x";
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Every test starts without the company folder below ProgramData.
class DownloadCacheTest : public testing::Test {
  protected:
    void SetUp() override { testsupport::RemoveTree(ProgramData() + L"\\kestrelGATE"); }
    void TearDown() override { testsupport::RemoveTree(ProgramData() + L"\\kestrelGATE"); }
};

TEST_F(DownloadCacheTest, CreatesTheFolderBelowProgramData) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const DownloadCache cache;
    EXPECT_TRUE(cache.IsUsable());
    EXPECT_EQ(ExpectedFolder(), cache.folder);
    EXPECT_TRUE(std::filesystem::is_directory(cache.folder));
    const std::string log = capture.Take();
    EXPECT_EQ(std::string::npos, log.find("ERROR")) << log;
    EXPECT_NE(std::string::npos, log.find("   INFO : SHGetKnownFolderPath returned: ["));

    // Again, with every level present: no error either.
    StdoutCapture again;
    const DownloadCache second;
    EXPECT_EQ(cache.folder, second.folder);
    EXPECT_EQ(std::string::npos, again.Take().find("ERROR"));
}

TEST_F(DownloadCacheTest, FormsEntryPathsFromPlainNames) {
    const DownloadCache cache;
    const std::wstring digest = Sha256().HashText(L"abc");
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    EXPECT_EQ(ExpectedFolder() + digest + L".exe", cache.GetFullPath(digest));
    EXPECT_EQ(ExpectedFolder() + L"ba7816bf.exe", cache.GetFullPath(L"ba7816bf"));  // case kept
    const std::string log = capture.Take();
    EXPECT_NE(std::string::npos, log.find("   INFO : Full path to resource is: [")) << log;
}

TEST_F(DownloadCacheTest, RefusesNamesThatAreNotPlainFileNames) {
    const DownloadCache cache;
    const wchar_t* refused[] = {
        L"",
        L".",
        L"..",
        L"..\\..\\x",
        L"../x",
        L"a\\b",
        L"a/b",
        L"C:x",
        L"C:\\Windows\\x",
        L"x:stream",
        L"\\\\server\\share\\x",
        L"CON",
        L"nul",
        L"Com1",
        L"lpt9",
        L"NUL.txt",
        L"aux ",
        L"CONIN$",
        L"a\x01"
        L"b",
        L"a\nb",
        L"a*b",
        L"a?b",
        L"a<b",
        L"a|b",
        L"a\"b",
    };
    for (const wchar_t* name : refused) {
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        EXPECT_FALSE(DownloadCache::IsPlainFileName(name))
            << testing::PrintToString(std::wstring(name));
        EXPECT_EQ(L"", cache.GetFullPath(name)) << testing::PrintToString(std::wstring(name));
        EXPECT_EQ(0u, capture.Take().rfind("  ERROR : Refusing cache entry name: [", 0));
    }
    EXPECT_FALSE(DownloadCache::IsPlainFileName(std::wstring(252, L'a')));
    for (const wchar_t* name :
         {L"setup", L"...", L"a.b", L"CONSOLE", L"com10", L"nul-installer",
          L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"}) {
        EXPECT_TRUE(DownloadCache::IsPlainFileName(name)) << name;
    }
    EXPECT_TRUE(DownloadCache::IsPlainFileName(std::wstring(251, L'a')));
}

TEST_F(DownloadCacheTest, AnUnresolvedKnownFolderLeavesTheCacheUnusable) {
    // A known-folder id that names no folder.
    const KNOWNFOLDERID unknown = {0x1234abcd, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const DownloadCache cache(unknown);
    EXPECT_FALSE(cache.IsUsable());
    EXPECT_EQ(L"", cache.folder);
    EXPECT_EQ(L"", cache.GetFullPath(L"setup"));
    Touch(L"kg-stray.exe");  // in the current directory: must survive
    cache.CleanBinaries();
    EXPECT_TRUE(Exists(L"kg-stray.exe"));
    ::DeleteFileW(L"kg-stray.exe");
    const std::string log = capture.Take();
    EXPECT_EQ(0u, log.rfind("  ERROR : Call to SHGetKnownFolderPath failed with error code: [", 0))
        << log;
    EXPECT_NE(std::string::npos,
              log.find("  ERROR : The cache folder is unknown; nothing is cleaned\n"));
}

TEST_F(DownloadCacheTest, CleanBinariesDeletesEveryExeFileButNothingElse) {
    const DownloadCache cache;
    const std::wstring& folder = cache.folder;
    for (const wchar_t* name : {L"A.exe", L"partial.exe", kWorkerFileName,
                                L"notes.txt", L"setup.exe.log", L"locked.exe"}) {
        Touch(folder + name);
    }
    std::filesystem::create_directory(folder + L"folder.exe");
    Touch(folder + L"folder.exe\\inner.exe");
    // A file in use stays, without a message.
    Common::KernelHandle locked(::CreateFileW((folder + L"locked.exe").c_str(), GENERIC_READ, 0,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked.IsValid());

    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    cache.CleanBinaries();
    const std::string log = capture.Take();

    EXPECT_FALSE(Exists(folder + L"A.exe"));
    EXPECT_FALSE(Exists(folder + L"partial.exe"));
    EXPECT_FALSE(Exists(folder + kWorkerFileName));
    EXPECT_TRUE(Exists(folder + L"notes.txt"));
    EXPECT_TRUE(Exists(folder + L"setup.exe.log"));
    EXPECT_TRUE(Exists(folder + L"locked.exe"));
    EXPECT_TRUE(Exists(folder + L"folder.exe\\inner.exe"));
    EXPECT_EQ(0u, log.rfind("   INFO : Cleaning cache of all binary files\n", 0));
    EXPECT_NE(std::string::npos, log.find("   INFO : Deleting file: [A.exe]\n"));  // the bare name
    EXPECT_NE(std::string::npos,
              log.find("   INFO : Deleting file: [kgclient_update_worker.exe]\n"));
    EXPECT_EQ(std::string::npos, log.find("Deleting file: [folder.exe]"));
    EXPECT_EQ(std::string::npos, log.find("ERROR")) << log;
}

// A caller who names a new URL for each update leaves a partial file each
// time: when a download starts, only the most recent few of the others stay.
TEST_F(DownloadCacheTest, ADownloadKeepsOnlyTheMostRecentOtherDownloads) {
    const DownloadCache cache;
    const std::wstring& folder = cache.folder;
    std::vector<std::wstring> names;  // oldest first
    for (int i = 0; i < 7; ++i) {
        names.push_back(Sha256().HashText(std::to_wstring(i)));
        const std::wstring path = folder + names.back() + L".exe";
        Touch(path);
        Common::KernelHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file.IsValid());
        ULARGE_INTEGER time;
        time.QuadPart = 133000000000000000ull + i * 10000000ull * 3600;  // an hour apart
        const FILETIME written = {time.LowPart, time.HighPart};
        ASSERT_TRUE(::SetFileTime(file.Get(), nullptr, nullptr, &written));
    }
    Touch(folder + kWorkerFileName);
    // The oldest is the current download; the next oldest is in use.
    Common::KernelHandle inUse(::CreateFileW((folder + names[1] + L".exe").c_str(), GENERIC_READ,
                                             0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(inUse.IsValid());

    cache.KeepNewestDownloads(cache.GetFullPath(names[0]));

    const bool kept[] = {true, true, false, false, true, true, true};
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(kept[i], Exists(folder + names[i] + L".exe")) << i;
    }
    EXPECT_TRUE(Exists(folder + kWorkerFileName));
}

TEST_F(DownloadCacheTest, CleaningAnEmptyCacheLogsTheEnumerationError) {
    const DownloadCache cache;
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    cache.CleanBinaries();
    const std::string expected = "  ERROR : Failed to enumerate files in cache, pattern [" +
                                 std::string(cache.folder.begin(), cache.folder.end()) +
                                 "*.exe], error [2]\n";
    EXPECT_NE(std::string::npos, capture.Take().find(expected));
}

// SYSTEM and Administrators full control, nobody else anything, inherited by
// files and folders, protected from what ProgramData would pass down.
const std::wstring kProtected = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

TEST_F(DownloadCacheTest, CreatesEachFolderWithTheProtectedDescriptor) {
    FakeFileSystem files;
    const Common::ScopedFileSystem seam(files);
    const DownloadCache cache;
    ASSERT_TRUE(cache.IsUsable());
    const std::wstring company = ProgramData() + L"\\kestrelGATE";
    const std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {company, kProtected},
        {company + L"\\Client", kProtected},
        {company + L"\\Client\\AutoUpdate", kProtected},
    };
    EXPECT_EQ(expected, files.created);
    EXPECT_TRUE(files.applied.empty()) << "a folder it created needs no second pass";

    // The descriptor protects the list from inheritance.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        DownloadCache::kFolderSddl, SDDL_REVISION_1, &descriptor, nullptr));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(0, control & SE_DACL_PROTECTED);
    ::LocalFree(descriptor);
}

const std::wstring kDigest = L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855";

TEST_F(DownloadCacheTest, AnExistingFolderGetsTheDescriptorAgainAndKeepsOnlyWhatTheServicePutThere) {
    { const DownloadCache first; }
    const std::wstring folder = ExpectedFolder();
    const std::wstring lower = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const std::wstring otherDigest(64, L'A');
    const std::wstring linkedDigest(64, L'B');
    std::filesystem::create_directories(folder + L"logs");
    std::filesystem::create_directories(folder + L"plugins\\deeper");
    struct Entry {
        std::wstring name;
        bool kept;
        std::string reason;  // of the WARNING line, when deleted
    };
    const std::vector<Entry> entries = {
        {kDigest + L".exe", true, ""},
        {lower + L".exe", true, ""},
        {kWorkerFileName, true, ""},
        {L"logs\\20261210-154800Z-1234.log", true, ""},
        {L"version.dll", false, "the service does not keep entries of that name"},
        {L"partial.exe", false, "the service does not keep entries of that name"},
        {L"KGCLIENT_update_worker.exe.local", false, "the service does not keep entries of that name"},
        {L"plugins\\deeper\\x.dll", false, "the service does not keep entries of that name"},
        {L"logs\\version.dll", false, "the service does not keep entries of that name"},
        {otherDigest + L".exe", false, "its owner [S-1-5-21-1-2-3-1001] is not trusted"},
        {linkedDigest + L".exe", false, "it is not a plain file"},
    };
    for (const Entry& entry : entries) {
        Touch(folder + entry.name);
    }
    FakeFileSystem files;
    files.overrides[otherDigest + L".exe"].ownerSid = L"S-1-5-21-1-2-3-1001";
    files.overrides[linkedDigest + L".exe"].links = 2;
    const Common::ScopedFileSystem seam(files);

    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const DownloadCache cache;
    const std::string log = capture.Take();
    ASSERT_TRUE(cache.IsUsable()) << log;
    const std::vector<std::pair<std::wstring, std::wstring>> reset = {
        {ProgramData() + L"\\kestrelGATE\\Client\\AutoUpdate", kProtected}};
    EXPECT_EQ(reset, files.applied);
    for (const Entry& entry : entries) {
        EXPECT_EQ(entry.kept, Exists(folder + entry.name)) << Narrow(entry.name);
        const std::wstring top = entry.name.substr(0, entry.name.find(L'\\'));
        const std::wstring shown = top == L"logs" ? entry.name.substr(5) : top;
        const std::string warning =
            "WARNING : Deleting cache entry: [" + Narrow(shown) + "], " + entry.reason + "\n";
        EXPECT_EQ(!entry.kept, log.find(warning) != std::string::npos) << warning << log;
    }
    EXPECT_FALSE(Exists(folder + L"plugins")) << "a folder goes with what it holds";
    EXPECT_TRUE(Exists(folder + L"logs")) << "the run logs' folder stays";
    EXPECT_EQ(std::string::npos, log.find("ERROR")) << log;
}

TEST_F(DownloadCacheTest, AForeignEntryThatCannotBeDeletedMakesTheCacheUnusable) {
    { const DownloadCache first; }
    const std::wstring folder = ExpectedFolder();
    Touch(folder + L"version.dll");
    Touch(folder + kDigest + L".exe");
    // Held open by its planter, sharing read only: it cannot be deleted.
    Common::KernelHandle held(::CreateFileW((folder + L"version.dll").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.IsValid());

    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const DownloadCache cache;
    EXPECT_FALSE(cache.IsUsable());
    EXPECT_EQ(L"", cache.GetFullPath(kDigest));
    cache.CleanBinaries();
    const std::string log = capture.Take();
    EXPECT_NE(std::string::npos,
              log.find("  ERROR : The cache folder holds [" + Narrow(folder) +
                       "version.dll], which the service did not put there and cannot examine or "
                       "delete (error [32]); nothing is run from or downloaded to the cache until "
                       "an administrator deletes it\n"))
        << log;
    EXPECT_TRUE(Exists(folder + kDigest + L".exe")) << "nothing else deleted";

    // Once its planter lets go, the next use removes it.
    held.Reset();
    const DownloadCache later;
    EXPECT_TRUE(later.IsUsable());
    EXPECT_FALSE(Exists(folder + L"version.dll"));
}

TEST_F(DownloadCacheTest, ACacheFolderAnotherAccountCreatedIsMovedAsideAndMadeAnew) {
    { const DownloadCache first; }
    const std::wstring folder = ExpectedFolder();
    Touch(folder + kDigest + L".exe");
    FakeFileSystem files;
    files.overrides[L"\\AutoUpdate"].ownerSid = L"S-1-5-21-1-2-3-1001";
    files.overrides[L"\\kestrelGATE"].ownerSid = L"S-1-5-21-1-2-3-1001";
    const Common::ScopedFileSystem seam(files);

    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    const DownloadCache cache;
    const std::string log = capture.Take();
    ASSERT_TRUE(cache.IsUsable()) << log;
    EXPECT_FALSE(Exists(folder + kDigest + L".exe")) << "the new folder is empty";
    // The old one stands beside it, as it was.
    const std::wstring client = ProgramData() + L"\\kestrelGATE\\Client";
    std::vector<std::wstring> aside;
    for (const auto& entry : std::filesystem::directory_iterator(client)) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.rfind(L"AutoUpdate.foreign-", 0) == 0) {
            aside.push_back(name);
        }
    }
    ASSERT_EQ(1u, aside.size());
    EXPECT_TRUE(Exists(client + L"\\" + aside[0] + L"\\" + kDigest + L".exe"));
    // The new folder gets the descriptor at its creation; the parent that the
    // other account owns gets it too.
    EXPECT_EQ(kProtected, files.created.back().second);
    EXPECT_EQ(client + L"\\AutoUpdate", files.created.back().first);
    const std::vector<std::pair<std::wstring, std::wstring>> reset = {
        {ProgramData() + L"\\kestrelGATE", kProtected}};
    EXPECT_EQ(reset, files.applied);
    EXPECT_NE(std::string::npos,
              log.find("WARNING : The cache folder [" + Narrow(client) +
                       "\\AutoUpdate] is owned by [S-1-5-21-1-2-3-1001], not by SYSTEM or "
                       "Administrators; moving it to ["))
        << log;
    EXPECT_NE(std::string::npos, log.find("WARNING : The folder [" + Narrow(ProgramData()) +
                                          "\\kestrelGATE] is owned by [S-1-5-21-1-2-3-1001]"))
        << log;
}

TEST_F(DownloadCacheTest, AReparsePointOnTheWayMakesTheCacheUnusable) {
    // Wine makes no junctions: the seam reports one at each level in turn.
    for (const wchar_t* level : {L"\\kestrelGATE", L"\\Client", L"\\AutoUpdate"}) {
        { const DownloadCache first; }
        const std::wstring folder = ExpectedFolder();
        Touch(folder + L"kept.exe");
        FakeFileSystem files;
        files.overrides[level].addAttributes = FILE_ATTRIBUTE_REPARSE_POINT;
        const Common::ScopedFileSystem seam(files);

        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        const DownloadCache cache;
        EXPECT_FALSE(cache.IsUsable()) << Narrow(level);
        EXPECT_EQ(L"", cache.GetFullPath(L"setup"));
        cache.CleanBinaries();
        const std::string log = capture.Take();
        const std::wstring refused = folder.substr(0, folder.find(level) + wcslen(level));
        EXPECT_NE(std::string::npos,
                  log.find("  ERROR : Refusing the cache folder: [" + Narrow(refused) +
                           "] is a reparse point or not a directory"))
            << log;
        EXPECT_TRUE(files.applied.empty()) << "nothing written there";
        EXPECT_TRUE(Exists(folder + L"kept.exe")) << "nothing deleted there";
    }
}

}  // namespace
