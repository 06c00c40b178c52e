#include "update/download_cache.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sddl.h>

#include <gtest/gtest.h>

#include "common/unique_handle.h"
#include "tests/support/cache_folder.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_cache_root.h"
#include "tests/support/test_server.h"
#include "update/sha256.h"

namespace {

using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;
using testsupport::FakeFileSystem;
using testsupport::Narrow;

void Touch(const std::wstring& path) {
    std::ofstream(path.c_str(), std::ios::binary) << "x";
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Every test starts with a root folder of its own, without the company
// folder below it.
class DownloadCacheTest : public testing::Test {
  protected:
    // The cache below the test's root; null when it cannot be used.
    std::unique_ptr<DownloadCache> Open(DWORD* error = nullptr,
                                        CacheRefusal* refusal = nullptr) const {
        return root_.Open(error, refusal);
    }
    std::wstring ExpectedFolder() const { return root_.CacheFolder(); }

    testsupport::TestCacheRoot root_;
};

TEST_F(DownloadCacheTest, CreatesTheFolderBelowItsRoot) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    DWORD error = ERROR_GEN_FAILURE;
    const auto cache = Open(&error);
    ASSERT_TRUE(cache);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), error);
    EXPECT_EQ(root_.Path() + L"\\kestrelGATE\\Client\\AutoUpdate\\", cache->Folder());
    EXPECT_TRUE(std::filesystem::is_directory(cache->Folder()));
    const std::string log = capture.Take();
    EXPECT_EQ(std::string::npos, log.find("ERROR")) << log;

    // Again, with every level present: no error either.
    StdoutCapture again;
    const auto second = Open();
    ASSERT_TRUE(second);
    EXPECT_EQ(cache->Folder(), second->Folder());
    EXPECT_EQ(std::string::npos, again.Take().find("ERROR"));
}

// The service's root is the ProgramData known folder, resolved (and named in
// the log) at each use. Only resolved here: the machine's cache is left alone.
TEST(CacheRoot, TheServicesRootIsTheProgramDataKnownFolder) {
    Common::CoTaskMemText programData;
    ASSERT_EQ(S_OK,
              ::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, programData.Receive()));
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    std::wstring path;
    ASSERT_EQ(S_OK, CacheRoot::ProgramData().Resolve(path));
    EXPECT_EQ(std::wstring(programData.Get()), path);
    EXPECT_EQ("   INFO : SHGetKnownFolderPath returned: [" + Narrow(path) + "]\n", capture.Take());

    // A folder given by path is taken as it is, without a word.
    StdoutCapture quiet;
    ASSERT_EQ(S_OK, CacheRoot::Folder(L"D:\\kg-root").Resolve(path));
    EXPECT_EQ(L"D:\\kg-root", path);
    EXPECT_EQ("", quiet.Take());
}

TEST_F(DownloadCacheTest, FormsEntryPathsFromPlainNames) {
    const auto opened = Open();
    ASSERT_TRUE(opened);
    const DownloadCache& cache = *opened;
    const std::wstring digest = Sha256().HashText(L"abc");
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    EXPECT_EQ(ExpectedFolder() + digest + L".exe", cache.GetFullPath(digest));
    EXPECT_EQ(ExpectedFolder() + L"ba7816bf.exe", cache.GetFullPath(L"ba7816bf"));  // case kept
    const std::string log = capture.Take();
    EXPECT_NE(std::string::npos, log.find("   INFO : Full path to resource is: [")) << log;
}

TEST_F(DownloadCacheTest, RefusesNamesThatAreNotPlainFileNames) {
    const auto opened = Open();
    ASSERT_TRUE(opened);
    const DownloadCache& cache = *opened;
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

// A root that resolves to nothing gives no cache: there is no object on
// which anything could be formed, written or deleted (in the current
// directory, say).
TEST_F(DownloadCacheTest, ARootThatCannotBeResolvedGivesNoCache) {
    // A known-folder id that names no folder.
    const KNOWNFOLDERID unknown = {0x1234abcd, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    std::unique_ptr<DownloadCache> cache;
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS),
              DownloadCache::Open(CacheRoot::KnownFolder(unknown), cache));
    EXPECT_FALSE(cache);
    const std::string log = capture.Take();
    EXPECT_EQ(0u, log.rfind("  ERROR : Call to SHGetKnownFolderPath failed with error code: [", 0))
        << log;

    // A root given as no path at all is never taken for a known folder.
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
              DownloadCache::Open(CacheRoot::Folder(L""), cache));
    EXPECT_FALSE(cache);
}

TEST_F(DownloadCacheTest, CleanBinariesDeletesEveryExeFileButNothingElse) {
    const auto opened = Open();
    ASSERT_TRUE(opened);
    const DownloadCache& cache = *opened;
    const std::wstring& folder = cache.Folder();
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
    const auto opened = Open();
    ASSERT_TRUE(opened);
    const DownloadCache& cache = *opened;
    const std::wstring& folder = cache.Folder();
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
    const auto cache = Open();
    ASSERT_TRUE(cache);
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    cache->CleanBinaries();
    const std::string expected = "  ERROR : Failed to enumerate files in cache, pattern [" +
                                 Narrow(cache->Folder()) +
                                 "*.exe], error [2]\n";
    EXPECT_NE(std::string::npos, capture.Take().find(expected));
}

// A folder that cannot be listed is logged with the error it gave, and
// nothing is deleted.
TEST_F(DownloadCacheTest, CleaningACacheThatCannotBeListedLogsItsError) {
    const auto cache = Open();
    ASSERT_TRUE(cache);
    Touch(cache->Folder() + kWorkerFileName);
    FakeFileSystem files;
    files.listError = ERROR_ACCESS_DENIED;
    const Common::ScopedFileSystem seam(files);
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    cache->CleanBinaries();
    cache->KeepNewestDownloads(cache->GetFullPath(std::wstring(64, L'D')));
    const std::string log = capture.Take();
    EXPECT_NE(std::string::npos, log.find("  ERROR : Failed to enumerate files in cache, pattern [" +
                                          Narrow(cache->Folder()) + "*.exe], error [5]\n"))
        << log;
    EXPECT_TRUE(Exists(cache->Folder() + kWorkerFileName));
}

// SYSTEM and Administrators full control, nobody else anything, inherited by
// files and folders, protected from what ProgramData would pass down.
const std::wstring kProtected = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

TEST_F(DownloadCacheTest, CreatesEachFolderWithTheProtectedDescriptor) {
    FakeFileSystem files;
    const Common::ScopedFileSystem seam(files);
    const auto cache = Open();
    ASSERT_TRUE(cache);
    const std::wstring company = root_.Path() + L"\\kestrelGATE";
    ASSERT_EQ(3u, files.created.size());
    EXPECT_EQ(std::make_pair(company, kProtected), files.created[0]);
    EXPECT_EQ(std::make_pair(company + L"\\Client", kProtected), files.created[1]);
    // The cache folder is made under a name of its own, then renamed into place.
    EXPECT_EQ(0u, files.created[2].first.rfind(company + L"\\Client\\AutoUpdate.new-", 0))
        << Narrow(files.created[2].first);
    EXPECT_EQ(kProtected, files.created[2].second);
    EXPECT_TRUE(std::filesystem::is_directory(company + L"\\Client\\AutoUpdate"));
    EXPECT_FALSE(Exists(files.created[2].first));
    EXPECT_TRUE(files.applied.empty()) << "no descriptor is set on anything in place";

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

// No path below the cache folder is opened by its text: every entry is
// opened through the handle of the folder that holds it.
void ExpectNoEntryOpenedByPath(const FakeFileSystem& files, const std::wstring& cacheFolder) {
    for (const std::wstring& path : files.openedByPath) {
        EXPECT_NE(0u, path.rfind(cacheFolder, 0)) << "opened by path: " << Narrow(path);
    }
}

// In the service's own cache folder, entries of its own names that are not
// its own (another owner, a second name, a link) are deleted, through the
// folder's handle; its own stay. An entry of any other name (an installer's
// log, an administrator's file or folder, a link) is neither opened nor
// deleted, and the cache stays usable.
TEST_F(DownloadCacheTest, AnOwnCacheFolderLosesOnlyEntriesThatWronglyBearItsNames) {
    const std::wstring folder = ExpectedFolder();
    const std::wstring lower = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const std::wstring otherDigest(64, L'A');
    const std::wstring linkedDigest(64, L'B');
    const std::wstring pointingDigest(64, L'C');
    struct Case {
        const char* what;
        std::vector<std::wstring> planted;
        bool usable;
        std::vector<std::wstring> deleted;
    };
    const Case cases[] = {
        {"the service's own names",
         {kDigest + L".exe", lower + L".exe", kWorkerFileName, L"logs\\20261210-154800Z-1234.log",
          otherDigest + L".exe", linkedDigest + L".exe", pointingDigest + L".exe"},
         true,
         {otherDigest + L".exe", linkedDigest + L".exe", pointingDigest + L".exe"}},
        {"an installer's log beside its download",
         {kDigest + L".exe", L"setup.log", L"MSI1a2b3.LOG"}, true, {}},
        {"an administrator's file and folder",
         {L"notes.txt", L"tools.exe.bak", L"plugins\\x.dll"}, true, {}},
        {"a link of another name", {L"elsewhere.lnk", otherDigest + L".exe"}, true,
         {otherDigest + L".exe"}},
        {"in the logs' folder", {L"logs\\version.dll", L"logs\\20261210-154800Z-1234.log"},
         true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        root_.Clear();
        ASSERT_TRUE(Open());
        for (const std::wstring& name : c.planted) {
            if (name.find(L'\\') != std::wstring::npos) {
                std::filesystem::create_directories(folder + name.substr(0, name.find(L'\\')));
            }
            Touch(folder + name);
        }
        FakeFileSystem files;
        files.overrides[otherDigest + L".exe"].ownerSid = L"S-1-5-21-1-2-3-1001";
        files.overrides[linkedDigest + L".exe"].links = 2;
        files.overrides[pointingDigest + L".exe"].addAttributes = FILE_ATTRIBUTE_REPARSE_POINT;
        files.overrides[L"elsewhere.lnk"].addAttributes = FILE_ATTRIBUTE_REPARSE_POINT;
        const Common::ScopedFileSystem seam(files);
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        DWORD error = ERROR_GEN_FAILURE;
        const auto cache = Open(&error);
        const std::string log = capture.Take();
        EXPECT_EQ(c.usable, cache != nullptr) << log;
        EXPECT_EQ(c.usable ? ERROR_SUCCESS : DownloadCache::kForeignEntry, error);
        for (const std::wstring& name : c.planted) {
            const bool deleted =
                std::find(c.deleted.begin(), c.deleted.end(), name) != c.deleted.end();
            EXPECT_EQ(!deleted, Exists(folder + name)) << Narrow(name);
            EXPECT_EQ(deleted, log.find("WARNING : Deleting cache entry: [" + Narrow(name) +
                                        "], ") != std::string::npos)
                << Narrow(name) << log;
            // An entry of another name is not even opened.
            const std::wstring leaf = name.substr(name.find_last_of(L'\\') + 1);
            const std::wstring top = name.substr(0, name.find(L'\\'));
            for (const std::wstring& part : {leaf, top}) {
                if (!DownloadCache::IsCacheFileName(part) && part != L"logs" &&
                    part.find(L"Z-") == std::wstring::npos) {
                    EXPECT_EQ(files.openedChildren.end(),
                              std::find(files.openedChildren.begin(), files.openedChildren.end(),
                                        part))
                        << Narrow(part);
                }
            }
        }
        EXPECT_EQ(std::string::npos, log.find("ERROR")) << log;
        EXPECT_TRUE(files.applied.empty());
        ExpectNoEntryOpenedByPath(files, folder);
        if (cache) {
            // Usable with them there: a download's path is formed in it.
            EXPECT_EQ(folder + kDigest + L".exe", cache->GetFullPath(kDigest));
        }
    }
}

// A delete can be undone or refused by whoever holds the entry: whatever is
// still there after the deletions is judged again, and the cache is unusable
// while it is.
TEST_F(DownloadCacheTest, AnEntryStillThereAfterItsDeleteMakesTheCacheUnusable) {
    ASSERT_TRUE(Open());
    const std::wstring folder = ExpectedFolder();
    const std::wstring planted = std::wstring(64, L'A') + L".exe";
    Touch(folder + planted);
    Touch(folder + kDigest + L".exe");
    // Held open by its planter without delete sharing: it cannot be deleted.
    Common::KernelHandle held(::CreateFileW((folder + planted).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.IsValid());
    FakeFileSystem files;
    files.overrides[planted].ownerSid = L"S-1-5-21-1-2-3-1001";
    const Common::ScopedFileSystem seam(files);

    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    DWORD error = ERROR_SUCCESS;
    CacheRefusal refusal;
    EXPECT_FALSE(Open(&error, &refusal));
    EXPECT_EQ(DownloadCache::kForeignEntry, error);
    EXPECT_EQ(folder + planted, refusal.folder);
    EXPECT_EQ(0u, refusal.remedy.rfind(L"Delete it", 0)) << Narrow(refusal.remedy);
    const std::string log = capture.Take();
    EXPECT_NE(std::string::npos,
              log.find("  ERROR : The cache folder holds [" + Narrow(folder) + Narrow(planted) +
                       "], which is not the service's own ("))
        << log;
    EXPECT_TRUE(Exists(folder + kDigest + L".exe")) << "nothing else deleted";

    // Once its planter lets go, the next use removes it.
    held.Reset();
    EXPECT_TRUE(Open());
    EXPECT_FALSE(Exists(folder + planted));
}

// A cache folder that is not the service's own (another owner, an access
// list that lets others add or delete, a file or a link of that name) is
// moved aside whole, never cleaned in place, and made anew. A parent level
// that is not the service's own is not taken over: the cache is unusable. A
// folder is judged also right after it was created.
TEST_F(DownloadCacheTest, FoldersThatAreNotTheServicesOwnAreMovedAsideOrRefused) {
    const std::wstring user = L"S-1-5-21-1-2-3-1001";
    // As ProgramData passes its list down: users may add, and own what they add.
    const std::wstring inherited =
        L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;CI;0x6;;;BU)"
        L"(A;OICIIO;GA;;;CO)";
    struct Case {
        const char* what;
        std::wstring level;  // override key
        std::wstring owner;
        std::wstring sddl;
        DWORD attributes;
        DWORD error;  // what opening the cache says
        bool movedAside;
        std::string line;
        // An unusable cache: the folder an administrator is told about, and
        // the first words of what to do.
        std::string refused = "";
        std::string remedy = "";
    };
    constexpr DWORD kUsable = ERROR_SUCCESS;
    constexpr DWORD kNotOwn = DownloadCache::kNotOwn;
    constexpr DWORD kNotAFolder = DownloadCache::kNotAFolder;
    const Case cases[] = {
        {"cache folder of a user", L"\\AutoUpdate", user, L"", 0, kUsable, true,
         "WARNING : The cache folder [%CACHE%] is not the service's own (its owner "
         "S-1-5-21-1-2-3-1001 is not a trusted account); moved it to ["},
        {"users may add files", L"\\AutoUpdate", L"", L"O:BAD:(A;;FA;;;BA)(A;;0x2;;;BU)", 0,
         kUsable, true, "(S-1-5-32-545 is allowed rights 0x00000002); moved it to ["},
        {"a link of that name", L"\\AutoUpdate", L"", L"", FILE_ATTRIBUTE_REPARSE_POINT, kUsable,
         true, "(it is a reparse point); moved it to ["},
        {"company folder of a user", L"\\kestrelGATE", user, L"", 0, kNotOwn, false,
         "  ERROR : The folder [%COMPANY%] is not the service's own (its owner "
         "S-1-5-21-1-2-3-1001 is not a trusted account); the update cache below it cannot be "
         "used. An administrator must delete the folder",
         "%COMPANY%", "Delete the folder, or give it SYSTEM or Administrators as owner"},
        {"users may delete what Client holds", L"\\Client", L"",
         L"O:BAD:(A;;FA;;;BA)(A;;0x40;;;BU)", 0, kNotOwn, false,
         "(S-1-5-32-545 is allowed rights 0x00000040); the update cache below it", "%CLIENT%",
         "Delete the folder, or give it"},
        {"a parent with ProgramData's list", L"\\Client", L"", inherited, 0, kUsable, false, ""},
        {"a new cache folder of a user", L"\\AutoUpdate.new-*", user, L"", 0, kNotOwn, false,
         "  ERROR : The new cache folder [%CACHE%.new-", "%CACHE%.new-", "Delete it"},
        {"a junction as a parent", L"\\Client", L"", L"", FILE_ATTRIBUTE_REPARSE_POINT,
         kNotAFolder, false, "  ERROR : Refusing the cache folder: [%CLIENT%] is a reparse point",
         "%CLIENT%", "Delete it"},
        {"a junction as the company folder", L"\\kestrelGATE", L"", L"",
         FILE_ATTRIBUTE_REPARSE_POINT, kNotAFolder, false,
         "  ERROR : Refusing the cache folder: [%COMPANY%] is a reparse point", "%COMPANY%",
         "Delete it"},
    };
    const std::wstring company = root_.Path() + L"\\kestrelGATE";
    const std::wstring client = company + L"\\Client";
    const std::wstring cacheFolder = client + L"\\AutoUpdate";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        root_.Clear();
        ASSERT_TRUE(Open());
        const bool fresh = c.level == L"\\AutoUpdate.new-*";  // no cache folder yet
        if (fresh) {
            testsupport::RemoveTree(cacheFolder);
        } else {
            Touch(cacheFolder + L"\\" + kDigest + L".exe");
        }
        FakeFileSystem files;
        auto& change = files.overrides[c.level];
        change.ownerSid = c.owner;
        change.descriptorSddl = c.sddl;
        change.addAttributes = c.attributes;
        const Common::ScopedFileSystem seam(files);
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        DWORD error = ERROR_GEN_FAILURE;
        CacheRefusal refusal;
        const auto cache = Open(&error, &refusal);
        const std::string log = capture.Take();
        EXPECT_EQ(c.error, error) << log;
        EXPECT_EQ(c.error == kUsable, cache != nullptr);
        std::vector<std::wstring> aside;
        for (const auto& entry : std::filesystem::directory_iterator(client)) {
            const std::wstring name = entry.path().filename().wstring();
            if (name.rfind(L"AutoUpdate.foreign-", 0) == 0) {
                aside.push_back(name);
            }
        }
        ASSERT_EQ(c.movedAside ? 1u : 0u, aside.size());
        if (c.movedAside) {
            // Whole, as it was; the new folder is empty.
            EXPECT_TRUE(Exists(client + L"\\" + aside[0] + L"\\" + kDigest + L".exe"));
            EXPECT_FALSE(Exists(cacheFolder + L"\\" + kDigest + L".exe"));
        } else if (c.error != kUsable && !fresh) {
            EXPECT_TRUE(Exists(cacheFolder + L"\\" + kDigest + L".exe")) << "nothing deleted";
        }
        const auto named = [&](std::string text) {
            for (const auto& [name, value] :
                 {std::make_pair(std::string("%CACHE%"), Narrow(cacheFolder)),
                  std::make_pair(std::string("%CLIENT%"), Narrow(client)),
                  std::make_pair(std::string("%COMPANY%"), Narrow(company))}) {
                const size_t at = text.find(name);
                if (at != std::string::npos) {
                    text.replace(at, name.size(), value);
                }
            }
            return text;
        };
        const std::string line = named(c.line);
        EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
        // What an administrator is told: the folder, why, and what to do.
        if (c.error == kUsable) {
            EXPECT_TRUE(refusal.folder.empty()) << Narrow(refusal.folder);
        } else {
            EXPECT_EQ(0u, Narrow(refusal.folder).rfind(named(c.refused), 0))
                << Narrow(refusal.folder);
            EXPECT_FALSE(refusal.why.empty());
            EXPECT_EQ(0u, Narrow(refusal.remedy).rfind(c.remedy, 0)) << Narrow(refusal.remedy);
        }
        EXPECT_TRUE(files.applied.empty()) << "no descriptor is set on anything in place";
        ExpectNoEntryOpenedByPath(files, ExpectedFolder());
    }
}

}  // namespace
