#include "http/downloader.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/run_log.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"
#include "tests/support/text_checks.h"

namespace {

using testsupport::Has;

using namespace testsupport;

// One download of `url` into `file`, with the log lines it wrote at INFO.
struct DownloadRun {
    bool result = false;
    std::string log;
};

DownloadRun RunDownloadTo(const std::wstring& url, const std::wstring& path,
                          DownloadPace pace = DownloadPace(),
                          std::unique_ptr<HttpRequest> request = std::make_unique<HttpRequest>()) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    DownloadRun run;
    {
        Downloader downloader(std::move(request), std::make_unique<DownloadFile>(path), pace);
        run.result = downloader.Download(url);
    }
    run.log = capture.Take();
    return run;
}

DownloadRun RunDownload(const std::wstring& url, const ScratchFile& file) {
    return RunDownloadTo(url, file.Path());
}

TEST(Downloader, FetchesAFreshFile) {
    ScratchFile file(L"fresh.exe");
    const std::wstring path = GeneratedPath(1000, L"fresh");
    const DownloadRun run = RunDownload(kServer + path, file);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(GeneratedBytes(0, 1000), file.Read());
    EXPECT_TRUE(Has(run.log, "   INFO : Beginning a fresh download, status code: [200]\n"));
    EXPECT_TRUE(
        Has(run.log, "   INFO : Final binary file size matches expected content length: [1000]\n"));
    const auto served = ServerRequests(Narrow(path), 1);
    ASSERT_EQ(1u, served.size());
    EXPECT_EQ("-", served[0].range);
}

TEST(Downloader, FetchesAFileOfManyChunks) {
    ScratchFile file(L"large.exe");
    const size_t size = 3 * Downloader::kReadChunkBytes + 12345;
    const DownloadRun run = RunDownload(kServer + GeneratedPath(size, L"large"), file);
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(file.Read() == GeneratedBytes(0, size));
}

// The console has a line per chunk; the run's log file gets the download's
// progress now and then, and its end, never a line per chunk.
TEST(Downloader, TheRunLogGetsProgressNowAndThenNotALinePerChunk) {
    const std::wstring folder =
        (std::filesystem::temp_directory_path() / L"kg-download-run-log").wstring();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    ASSERT_TRUE(RunLog::Start(folder, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
    ScratchFile file(L"logged.exe");
    const size_t size = 16 * Downloader::kReadChunkBytes;
    const DownloadRun run = RunDownload(kServer + GeneratedPath(size, L"logged"), file);
    const std::wstring path = RunLog::Path();
    RunLog::Stop();
    const std::string text = FileBytes(path);
    std::filesystem::remove_all(folder, ignored);

    EXPECT_TRUE(run.result) << run.log;
    const size_t chunks = Count(run.log, "   INFO : Read: [");
    EXPECT_GE(chunks, 16u) << run.log;
    EXPECT_EQ(0u, Count(text, "Read: [")) << text;
    const size_t progress = Count(text, "   INFO : Downloaded [");
    EXPECT_GE(progress, 1u) << text;
    EXPECT_LT(progress, chunks) << text;
    EXPECT_TRUE(Has(text, "   INFO : Downloaded [" + std::to_string(size) + "] of [" +
                              std::to_string(size) + "] bytes\n"));
}

TEST(Downloader, ResumesAPartialFileWithTheMissingRangeOnly) {
    ScratchFile file(L"resume.exe");
    file.Write(GeneratedBytes(0, 400));
    const std::wstring path = GeneratedPath(1000, L"resume");
    const DownloadRun run = RunDownload(kServer + path, file);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(GeneratedBytes(0, 1000), file.Read());
    EXPECT_TRUE(
        Has(run.log, "   INFO : A downloaded binary of size: [400], already exists in cache.\n"));
    EXPECT_TRUE(
        Has(run.log, "   INFO : Attempting to continue a partial download, status code: [206]\n"));
    const auto served = ServerRequests(Narrow(path), 2);
    ASSERT_EQ(2u, served.size());
    EXPECT_EQ("-", served[0].range);  // its body is never read
    EXPECT_EQ("bytes=400-999", served[1].range);
    EXPECT_EQ(206, served[1].status);
    EXPECT_EQ(600, served[1].bodyBytes);
}

TEST(Downloader, StartsAfreshWhenTheServerIgnoresTheRange) {
    ScratchFile file(L"ignored.exe");
    file.Write(std::string(400, 'x'));  // not the resource's bytes: must all go
    const DownloadRun run =
        RunDownload(kServer + L"/_/ignore-range" + GeneratedPath(1000, L"ignored"), file);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(GeneratedBytes(0, 1000), file.Read());
    EXPECT_TRUE(
        Has(run.log,
            "   INFO : Partial download has been deleted from cache since http connection will "
            "return full content.\n"
            "   INFO : Beginning a fresh download, status code: [200]\n"));
}

TEST(Downloader, AcceptsAFileOfExactlyTheAnnouncedLengthWithoutReadingTheBody) {
    ScratchFile file(L"complete.exe");
    file.Write(GeneratedBytes(0, 1000));
    const std::wstring path = GeneratedPath(1000, L"complete");
    const DownloadRun run = RunDownload(kServer + path, file);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(GeneratedBytes(0, 1000), file.Read());
    EXPECT_TRUE(Has(
        run.log,
        "   INFO : Downloaded binary filesize matches the expected content length: [1000]\n"));
    const auto served = ServerRequests(Narrow(path), 1);
    ASSERT_EQ(1u, served.size()) << "no ranged request";
}

TEST(Downloader, AFileLargerThanTheResourceIsNotItAndStartsAfresh) {
    ScratchFile file(L"larger.exe");
    file.Write(GeneratedBytes(0, 1200));
    const std::wstring path = GeneratedPath(1000, L"larger");
    const DownloadRun run = RunDownload(kServer + path, file);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(GeneratedBytes(0, 1000), file.Read());
    EXPECT_TRUE(Has(run.log,
                    "   INFO : The cached file of [1200] bytes is larger than the resource of "
                    "[1000] bytes: it is not this resource. Deleting it and downloading afresh.\n"))
        << run.log;
}

TEST(Downloader, AnEmptyResourceFailsAndCreatesNoFile) {
    ScratchFile file(L"empty.exe");
    const DownloadRun run = RunDownload(kServer + GeneratedPath(0, L"empty"), file);
    EXPECT_FALSE(run.result);
    EXPECT_FALSE(file.Exists());
    EXPECT_TRUE(Has(run.log, "  ERROR : The server announced a length of [0] bytes; nothing is "
                             "downloaded from: ["))
        << run.log;
}

// The real request with the Content-Length `length` in place of the
// server's; counts the reads of its body.
class AnnouncedLength : public HttpRequest {
  public:
    AnnouncedLength(std::wstring length, int& reads) : length_(std::move(length)), reads_(reads) {}

    bool QueryRequestHeader(DWORD infoLevel, std::wstring& text) override {
        if (infoLevel == WINHTTP_QUERY_CONTENT_LENGTH) {
            text = length_;
            return true;
        }
        return HttpRequest::QueryRequestHeader(infoLevel, text);
    }
    bool ReadData(uint8_t* buffer, DWORD size, DWORD& read) override {
        ++reads_;
        return HttpRequest::ReadData(buffer, size, read);
    }

  private:
    const std::wstring length_;
    int& reads_;
};

// A download's lengths are 32 bits: a resource of 2 GiB or more is refused
// as soon as its length is announced, with a reason that says so, before a
// byte of it is read; a partial file stays as it was.
TEST(Downloader, RefusesAResourceOf2GiBOrMoreWhenItsLengthIsAnnounced) {
    for (const wchar_t* length : {L"2147483648", L"4294967296", L"99999999999999999999"}) {
        ScratchFile file(L"huge.exe");
        file.Write(GeneratedBytes(0, 400));
        int reads = 0;
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        std::wstring reason;
        {
            Downloader downloader(std::make_unique<AnnouncedLength>(length, reads),
                                  std::make_unique<DownloadFile>(file.Path()));
            EXPECT_FALSE(downloader.Download(kServer + GeneratedPath(1000, L"huge")));
            reason = downloader.LastError().reason;
        }
        const std::string log = capture.Take();
        EXPECT_EQ(0, reads) << Narrow(length);
        EXPECT_EQ(GeneratedBytes(0, 400), file.Read()) << Narrow(length);
        EXPECT_EQ(L"the server announced a length of " + std::wstring(length) +
                      L" bytes; a download is refused at 2 GiB or more",
                  reason);
        EXPECT_TRUE(Has(log, "  ERROR : The server announced a length of [" + Narrow(length) +
                                 "] bytes, 2 GiB or more, which no download can hold"))
            << log;
    }
}

TEST(Downloader, ARangeAnswerOtherThanTheOneAskedForAppendsNothing) {
    ScratchFile file(L"wrong-range.exe");
    file.Write(GeneratedBytes(0, 400));
    const DownloadRun run =
        RunDownload(kServer + L"/_/range-from-start" + GeneratedPath(1000, L"wrong-range"), file);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(GeneratedBytes(0, 400), file.Read());
    EXPECT_TRUE(Has(run.log, "  ERROR : The partial content is not the requested range: "
                             "Content-Range [bytes 0-999/1000], expected [bytes 400-999/1000]; "
                             "nothing is appended\n"))
        << run.log;
}

TEST(Downloader, ATricklingServerIsTooSlowAndKeepsWhatArrived) {
    ScratchFile file(L"trickle.exe");
    const DownloadRun run =
        RunDownloadTo(kServer + L"/_/slow=400" + GeneratedPath(100000, L"slow"), file.Path(),
                      DownloadPace{std::chrono::milliseconds(1500), 64 * 1024});
    EXPECT_FALSE(run.result);
    const std::string kept = file.Read();
    EXPECT_GT(kept.size(), 0u);
    EXPECT_EQ(GeneratedBytes(0, kept.size()), kept);
    EXPECT_TRUE(Has(run.log, "  ERROR : The download is too slow: [")) << run.log;
}

TEST(Downloader, RefusesOtherStatusCodesAndKeepsTheFile) {
    {
        ScratchFile file(L"missing.exe");
        const DownloadRun run =
            RunDownload(kServer + L"/_/status=404" + GeneratedPath(120, L"404"), file);
        EXPECT_FALSE(run.result);
        EXPECT_FALSE(file.Exists());
        EXPECT_TRUE(
            Has(run.log, "GetRequestHeaders returning, StatusCode: [404], ContentLength: [120]\n"));
        EXPECT_TRUE(Has(run.log, "  ERROR : Unexpected status code, error [404]\n"));
        // The connection worked: the status line says what failed.
        EXPECT_FALSE(Has(run.log, "Failed to connect to remote resource at")) << run.log;
    }
    {
        ScratchFile file(L"partial-404.exe");
        file.Write(GeneratedBytes(0, 5));
        const DownloadRun run =
            RunDownload(kServer + L"/_/status=500" + GeneratedPath(1000, L"500"), file);
        EXPECT_FALSE(run.result);
        EXPECT_EQ(GeneratedBytes(0, 5), file.Read());
    }
    {
        // A 404 whose body is longer than the partial file is no finished download.
        ScratchFile file(L"partial-404-body.exe");
        file.Write(GeneratedBytes(0, 5));
        const DownloadRun run =
            RunDownload(kServer + L"/_/status=404" + GeneratedPath(1000, L"404-body"), file);
        EXPECT_FALSE(run.result);
        EXPECT_EQ(GeneratedBytes(0, 5), file.Read());
        EXPECT_FALSE(Has(run.log, "filesize matches")) << run.log;
    }
}

TEST(Downloader, KeepsWhatArrivedBeforeTheConnectionDroppedAndResumesFromThere) {
    ScratchFile file(L"dropped.exe");
    const DownloadRun first =
        RunDownload(kServer + L"/_/close-after=300" + GeneratedPath(1000, L"dropped"), file);
    EXPECT_FALSE(first.result);
    EXPECT_EQ(GeneratedBytes(0, 300), file.Read());
    EXPECT_TRUE(Has(
        first.log,
        "  ERROR : File download completed but its size: [300], does not match expected length: "
        "[1000].\n"));

    const std::wstring path = GeneratedPath(1000, L"dropped");
    const DownloadRun second = RunDownload(kServer + path, file);
    EXPECT_TRUE(second.result);
    EXPECT_EQ(GeneratedBytes(0, 1000), file.Read());
    const auto served = ServerRequests(Narrow(path), 3);  // the cut one, then the two of the resume
    ASSERT_EQ(3u, served.size());
    EXPECT_EQ(300, served[0].bodyBytes);
    EXPECT_EQ("bytes=300-999", served[2].range);
    EXPECT_EQ(700, served[2].bodyBytes);
}

// The real request, whose connection fails once `limit` bytes of the body
// have been read.
class ConnectionLostAfter : public HttpRequest {
  public:
    explicit ConnectionLostAfter(size_t limit) : limit_(limit) {}

    bool ReadData(uint8_t* buffer, DWORD size, DWORD& read) override {
        read = 0;
        if (delivered_ >= limit_) {
            ::SetLastError(ERROR_WINHTTP_CONNECTION_ERROR);
            return false;
        }
        const DWORD allowed = static_cast<DWORD>(std::min<size_t>(size, limit_ - delivered_));
        if (!HttpRequest::ReadData(buffer, allowed, read)) {
            return false;
        }
        delivered_ += read;
        return true;
    }

  private:
    const size_t limit_;
    size_t delivered_ = 0;
};

TEST(Downloader, FailsOnAResetConnectionKeepingTheBytes) {
    // Less than a chunk: the bytes read before the failure were gathered but
    // not yet written when it came.
    constexpr size_t kReceived = 300001;
    ScratchFile file(L"reset.exe");
    const size_t size = 2 * Downloader::kReadChunkBytes;
    const DownloadRun run =
        RunDownloadTo(kServer + GeneratedPath(size, L"reset"), file.Path(), DownloadPace(),
                      std::make_unique<ConnectionLostAfter>(kReceived));
    EXPECT_FALSE(run.result);
    EXPECT_EQ(GeneratedBytes(0, kReceived), file.Read()) << "exactly the bytes received";
    // A reset by the server fails the same way (the bytes it sent stay).
    ScratchFile served(L"reset-served.exe");
    EXPECT_FALSE(
        RunDownload(kServer + L"/_/reset-after=300000" + GeneratedPath(size, L"reset"), served)
            .result);
    EXPECT_EQ(GeneratedBytes(0, served.Read().size()), served.Read());
}

TEST(Downloader, FailsWithoutContentLength) {
    ScratchFile file(L"no-length.exe");
    const std::wstring url = kServer + L"/_/no-length" + GeneratedPath(1000, L"no-length-dl");
    const DownloadRun run = RunDownload(url, file);
    EXPECT_FALSE(run.result);
    EXPECT_FALSE(file.Exists());
    EXPECT_TRUE(Has(run.log,
                    "  ERROR : Failed to request header information from url\n"
                    "  ERROR : Failed to connect to remote resource at: [" +
                        Narrow(url) + "]\n"));
}

// Without a redirect check WinHTTP follows redirects (never to plain HTTP);
// with one, each target host is checked before anything is sent there, and
// a refused one fails the URL with a reason that names it. A resumed
// download keeps its range through the redirect.
TEST(Downloader, RedirectsGoOnlyWhereTheCheckAllows) {
    const auto only = [](std::vector<std::wstring> hosts) {
        return HttpRequest::RedirectCheck([hosts](const std::wstring& host) {
            return std::find(hosts.begin(), hosts.end(), host) != hosts.end();
        });
    };
    const struct {
        const char* what;
        const wchar_t* redirect;
        HttpRequest::RedirectCheck check;
        size_t partial;  // bytes already in the file
        bool followed;
        const char* reason;
    } cases[] = {
        {"no check, another host", L"127.0.0.1", nullptr, 0, true, ""},
        {"no check, plain HTTP", L"http", nullptr, 0, false, ""},
        {"allowed host", L"127.0.0.1", only({L"localhost", L"127.0.0.1"}), 0, true, ""},
        {"allowed host, resumed", L"127.0.0.1", only({L"localhost", L"127.0.0.1"}), 400, true, ""},
        {"a path on the same host", L"path", only({L"localhost"}), 0, true, ""},
        {"another host", L"127.0.0.1", only({L"localhost"}), 0, false,
         "the server redirected to the host 127.0.0.1, which is not among the allowed hosts "
         "(AllowedHosts)"},
        {"plain HTTP", L"http", only({L"localhost"}), 0, false,
         "the server redirected from HTTPS to http, which is never followed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring name = L"redirect-" + std::to_wstring(&c - cases);
        const std::wstring target = GeneratedPath(1000, name);
        ScratchFile file(name + L".exe");
        if (c.partial != 0) {
            file.Write(GeneratedBytes(0, c.partial));
        }
        auto request = std::make_unique<HttpRequest>();
        if (c.check) {
            request->SetRedirectCheck(c.check);
        }
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        Downloader downloader(std::move(request), std::make_unique<DownloadFile>(file.Path()),
                              DownloadPace());
        const bool result = downloader.Download(kServer + L"/_/redirect=" + c.redirect + target);
        const std::string log = capture.Take();
        EXPECT_EQ(c.followed, result) << log;
        // The redirected request's path is the target alone.
        auto reached = ServerRequests(Narrow(target), c.followed ? 2 : 1);
        reached.erase(std::remove_if(reached.begin(), reached.end(),
                                     [&](const ServerRequest& r) { return r.path != Narrow(target); }),
                      reached.end());
        if (c.followed) {
            EXPECT_EQ(GeneratedBytes(0, 1000), file.Read());
            ASSERT_FALSE(reached.empty());
            EXPECT_EQ(c.partial != 0 ? "bytes=400-999" : "-", reached.back().range);
        } else {
            EXPECT_EQ(c.partial != 0, file.Exists());
        }
        if (c.reason[0] != '\0') {
            EXPECT_TRUE(reached.empty()) << "nothing is sent to a refused target";
            EXPECT_EQ(static_cast<uint32_t>(ERROR_WINHTTP_REDIRECT_FAILED),
                      downloader.LastError().code);
            EXPECT_EQ(c.reason, Narrow(downloader.LastError().reason));
            EXPECT_TRUE(Has(log, std::string("  ERROR : Redirect refused: ") + c.reason + "\n"))
                << log;
        }
    }
}

TEST(Downloader, FollowsQueryStringsAndNamedPorts) {
    {
        ScratchFile file(L"query.exe");
        const DownloadRun run =
            RunDownload(kServer + GeneratedPath(777, L"dl-query") + L"?v=1", file);
        EXPECT_TRUE(run.result);
        EXPECT_EQ(GeneratedBytes(0, 777), file.Read());
    }
    {
        ScratchFile file(L"port.exe");
        const std::wstring path = GeneratedPath(555, L"dl-port");
        const DownloadRun run = RunDownload(kServerPort8443 + path, file);
        EXPECT_TRUE(run.result);
        EXPECT_EQ(GeneratedBytes(0, 555), file.Read());
        const auto served = ServerRequests(Narrow(path), 1);
        ASSERT_EQ(1u, served.size());
        EXPECT_EQ(8443, served[0].port);
    }
}

TEST(Downloader, WritesNothingForAnUntrustedServerOrAnUnknownHost) {
    for (const std::wstring& url : {kUntrustedServer + GeneratedPath(100, L"dl-untrusted"),
                                    std::wstring(L"https://no-such-host.invalid/setup.exe")}) {
        ScratchFile file(L"untrusted.exe");
        const DownloadRun run = RunDownload(url, file);
        EXPECT_FALSE(run.result);
        EXPECT_FALSE(file.Exists());
        EXPECT_TRUE(Has(
            run.log, "  ERROR : Failed to connect to remote resource at: [" + Narrow(url) + "]\n"));
    }
}

TEST(Downloader, EndsWithFailureWhenTheFileCannotBeOpened) {
    // A folder that does not exist: the stream never opens, nothing is read on.
    const std::wstring path = L"C:\\no-such-folder-kg\\file.exe";
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    Downloader downloader(std::make_unique<HttpRequest>(), std::make_unique<DownloadFile>(path));
    EXPECT_FALSE(downloader.Download(
        kServer + GeneratedPath(3 * Downloader::kReadChunkBytes, L"unopenable")));
    const std::string log = capture.Take();
    EXPECT_TRUE(Has(
        log, "  ERROR : Failed to open file for appending: [C:\\no-such-folder-kg\\file.exe]\n"));
    EXPECT_TRUE(Has(log, "  ERROR : Failed to read next binary data chunk\n"));
}

// A partial entry that is not a plain file of a trusted owner is never
// resumed: it is deleted (itself, not what it points at) and the download
// starts afresh. Wine makes no reparse points and gives every file one owner:
// those two come from the seam; the second name is a real hard link.
TEST(Downloader, ResumesOnlyAPlainFileOfATrustedOwner) {
    struct Case {
        const char* what;
        FakeFileSystem::Override facts;
        bool hardLink;
    };
    FakeFileSystem::Override reparse;
    reparse.addAttributes = FILE_ATTRIBUTE_REPARSE_POINT;
    FakeFileSystem::Override foreign;
    foreign.ownerSid = L"S-1-5-21-1-2-3-1001";
    const Case cases[] = {
        {"a reparse point", reparse, false},
        {"a file of another owner", foreign, false},
        {"a second name of another file", {}, true},
    };
    int round = 0;
    for (const Case& c : cases) {
        const std::wstring name = L"entry-" + std::to_wstring(++round) + L".exe";
        ScratchFile file(name);
        ScratchFile elsewhere(L"outside-" + name);
        if (c.hardLink) {
            elsewhere.Write(GeneratedBytes(0, 400));
            ASSERT_TRUE(::CreateHardLinkW(file.Path().c_str(), elsewhere.Path().c_str(), nullptr));
        } else {
            file.Write(GeneratedBytes(0, 400));
        }
        FakeFileSystem files;
        files.overrides[name] = c.facts;
        const Common::ScopedFileSystem seam(files);

        const std::wstring path = GeneratedPath(1000, L"entry-" + std::to_wstring(round));
        const DownloadRun run = RunDownload(kServer + path, file);
        EXPECT_TRUE(run.result) << c.what << run.log;
        EXPECT_EQ(GeneratedBytes(0, 1000), file.Read()) << c.what;
        EXPECT_TRUE(Has(run.log, "WARNING : Cache entry: [" + Narrow(file.Path()) +
                                     "] is not a plain file of a trusted owner"))
            << c.what << run.log;
        const auto served = ServerRequests(Narrow(path), 1);
        ASSERT_EQ(1u, served.size()) << c.what;
        EXPECT_EQ("-", served[0].range) << c.what << ": never resumed";
        if (c.hardLink) {
            EXPECT_EQ(GeneratedBytes(0, 400), elsewhere.Read()) << "the other name is untouched";
        }
    }
}

// A download that would leave its volume less than the reserve is refused
// before anything is written; one whose volume fills up while it runs fails
// at the chunk that does not fit, no "Written" line claims bytes that never
// reached the disk, and once there is room again it resumes from what was
// written.
TEST(Downloader, AFullVolumeIsRefusedOrFailsWithoutFalseWritesAndResumesOnceThereIsRoom) {
    const std::wstring volume = KG_TEST_WORK_DIR L"\\small-volume\\";
    ULARGE_INTEGER total = {};
    if (!::GetDiskFreeSpaceExW(volume.c_str(), nullptr, &total, nullptr) ||
        total.QuadPart > 4 * 1024 * 1024) {
        GTEST_SKIP() << "no small volume (tools/small-volume mounts one inside scripts/test)";
    }
    const std::wstring filler = volume + L"filler.bin";
    const std::wstring entry = volume + L"entry.exe";
    ::DeleteFileW(entry.c_str());
    const size_t size = 600 * 1024;

    // Too little room from the start (the reserve is 5 % of this 1 MiB volume).
    {
        std::ofstream fill(filler.c_str(), std::ios::binary | std::ios::trunc);
        fill << GeneratedBytes(0, 700 * 1024);
    }
    const DownloadRun refused = RunDownloadTo(kServer + GeneratedPath(size, L"no-room"), entry);
    EXPECT_FALSE(refused.result);
    EXPECT_TRUE(Has(refused.log, "  ERROR : Refusing to download [614400] bytes into [")) << refused.log;
    EXPECT_FALSE(Has(refused.log, "Written: ["));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(entry.c_str())) << "nothing written";
    ASSERT_TRUE(::DeleteFileW(filler.c_str()));

    // Room at the start; the volume fills up once the first bytes are written.
    const std::wstring url = kServer + L"/_/slow=100000" + GeneratedPath(size, L"full-volume");
    DownloadRun full;
    std::thread download([&] { full = RunDownloadTo(url, entry); });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (WIN32_FILE_ATTRIBUTE_DATA data = {};
         std::chrono::steady_clock::now() < end &&
         (!::GetFileAttributesExW(entry.c_str(), GetFileExInfoStandard, &data) ||
          data.nFileSizeLow == 0);) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    {
        std::ofstream fill(filler.c_str(), std::ios::binary | std::ios::trunc);
        fill << GeneratedBytes(0, 1024 * 1024);  // as much as fits
    }
    download.join();
    EXPECT_FALSE(full.result);
    EXPECT_TRUE(Has(full.log, "  ERROR : Failed to write to file: [")) << full.log;
    const std::string kept = testsupport::FileBytes(entry);
    size_t claimed = 0;
    for (size_t at = full.log.find("Written: ["); at != std::string::npos;
         at = full.log.find("Written: [", at + 1)) {
        claimed += std::stoul(full.log.substr(at + 10));
    }
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), size);
    EXPECT_LE(claimed, kept.size()) << full.log;
    EXPECT_EQ(GeneratedBytes(0, kept.size()), kept);

    ASSERT_TRUE(::DeleteFileW(filler.c_str()));
    const DownloadRun resumed = RunDownloadTo(url, entry);
    EXPECT_TRUE(resumed.result) << resumed.log;
    EXPECT_TRUE(Has(resumed.log, "Attempting to continue a partial download")) << resumed.log;
    EXPECT_TRUE(testsupport::FileBytes(entry) == GeneratedBytes(0, size));
    ::DeleteFileW(entry.c_str());
}

}  // namespace
