#include "update/sha256.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <cryptopp/files.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include "common/console_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"

namespace {

using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;

const wchar_t kEmptyDigest[] = L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855";
const wchar_t kAbcDigest[] = L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

// A file in the test's temporary folder, removed again.
class TempFile {
  public:
    explicit TempFile(const std::string& content) {
        wchar_t folder[MAX_PATH];
        wchar_t name[MAX_PATH];
        ::GetTempPathW(MAX_PATH, folder);
        ::GetTempFileNameW(folder, L"sha", 0, name);
        path_ = name;
        std::ofstream file(ToConsoleNarrow(path_), std::ios::binary | std::ios::trunc);
        file.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    ~TempFile() { ::DeleteFileW(path_.c_str()); }
    const std::wstring& Path() const { return path_; }

  private:
    std::wstring path_;
};

TEST(Sha256HashText, GivesTheFips180Vectors) {
    const Sha256 sha;
    EXPECT_EQ(kAbcDigest, sha.HashText(L"abc"));
    EXPECT_EQ(kEmptyDigest, sha.HashText(L""));
    EXPECT_EQ(L"248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1",
              sha.HashText(L"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
}

// The digest names a URL's cache file. ASCII texts keep the names they have
// always had; texts beyond ASCII are hashed as UTF-8, so two URLs that differ
// only in characters the code page cannot hold (each became its default
// character) no longer share a file, and one's partial download is never
// resumed with the other's bytes.
TEST(Sha256HashText, AsciiNamesStayAndOtherTextsAreHashedAsUtf8) {
    const Sha256 sha;
    const struct {
        std::wstring text;
        const wchar_t* digest;
    } known[] = {
        // A stored cache's name: the digest of the URL's ASCII bytes.
        {L"https://localhost/signed/installer-unsigned.exe",
         L"43ED5C9AA33FCC946737C2990341CF40CB6F6F811A5E668F7AB04A0FCC11B305"},
        // U+00E9 as the two UTF-8 bytes C3 A9.
        {L"\u00E9", L"4A99557E4033C3539DE2EB65472017CAD5F9557F7A0625A09F1C3F6E2BA69C4C"},
    };
    for (const auto& k : known) {
        EXPECT_EQ(std::wstring(k.digest), sha.HashText(k.text)) << testsupport::Narrow(k.text);
    }
    const struct {
        std::wstring a;
        std::wstring b;
    } distinct[] = {
        {L"https://host/\u4E2D.exe", L"https://host/\u4E8C.exe"},
        {L"https://host/a\u00E9.exe", L"https://host/a\u00E8.exe"},
        {L"https://host/\u0416.exe", L"https://host/\u0417.exe"},
        {L"https://host/a.exe", L"https://host/b.exe"},
    };
    for (const auto& d : distinct) {
        EXPECT_NE(sha.HashText(d.a), sha.HashText(d.b)) << testsupport::Narrow(d.a);
    }
}

TEST(Sha256HashText, LogsTheTextAndTheDigest) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    (void)Sha256().HashText(L"abc");
    EXPECT_EQ(
        "   INFO : Computing Sha256 hash for text: [abc]\n"
        "   INFO : Sha256 hash: "
        "[BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD]\n",
        capture.Take());
}

TEST(Sha256CheckFile, ComparesTheDigestTextExactly) {
    const TempFile file("abc");
    const std::wstring digest = kAbcDigest;
    std::wstring lower = digest;
    for (auto& c : lower) {
        c = static_cast<wchar_t>(towlower(c));
    }
    const struct {
        std::wstring expected;
        bool match;
    } cases[] = {
        {digest, true},         {lower, false},
        {digest + L" ", false}, {digest.substr(0, 63), false},
        {L"", false},           {kEmptyDigest, false},
    };
    const Sha256 sha;
    for (const auto& c : cases) {
        EXPECT_EQ(c.match, sha.CheckFile(file.Path(), c.expected))
            << testing::PrintToString(c.expected);
    }
}

TEST(Sha256CheckFile, HashesBinaryContentAndEmptyFiles) {
    const Sha256 sha;
    const TempFile empty("");
    EXPECT_TRUE(sha.CheckFile(empty.Path(), kEmptyDigest));
    // Line ends and NULs are hashed as they are.
    const TempFile binary(std::string("a\r\nb\0c\n", 7));
    EXPECT_TRUE(sha.CheckFile(binary.Path(),
                              L"65C90EE063C049E85F1C23B8E102F90033ABDBA1BF66592E03B0C8FACEA125EE"));
}

TEST(Sha256CheckFile, LogsTheComparison) {
    const TempFile file("abc");
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    (void)Sha256().CheckFile(file.Path(), L"abc");
    const std::string narrowPath = ToConsoleNarrow(file.Path());
    EXPECT_EQ("   INFO : Computing Sha256 hash for file: [" + narrowPath +
                  "]\n"
                  "   INFO : Expected hash: [abc], computed hash: "
                  "[BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD].  "
                  "Comparison IsMatch result is: [FALSE]\n",
              capture.Take());
}

TEST(Sha256CheckFile, AMissingFileRaisesOpenErrWithoutAComparisonLine) {
    ScopedLogSettings settings(LogDestination::Console, 6);
    StdoutCapture capture;
    const std::wstring missing = L"C:\\no\\such\\folder\\file.exe";
    try {
        (void)Sha256().CheckFile(missing, kEmptyDigest);
        FAIL() << "no exception";
    } catch (const CryptoPP::FileStore::OpenErr& e) {
        EXPECT_EQ("FileStore: error opening file for reading: C:\\no\\such\\folder\\file.exe",
                  std::string(e.what()));
    }
    EXPECT_EQ(
        "  ENTER : \n"
        "   INFO : Computing Sha256 hash for file: [C:\\no\\such\\folder\\file.exe]\n",
        capture.Take());
}

}  // namespace
