#include "update/binary_validation.h"

#include <windows.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/file_system.h"
#include "common/pe_image.h"
#include "common/unique_handle.h"
#include "tests/support/fake_file_system.h"
#include "update/product_version.h"
#include "tests/support/file_digest.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_server.h"
#include "tests/support/text_checks.h"

namespace {

using testsupport::Has;

using namespace testsupport;

const std::wstring kUnsignedService = SignedFixture(L"installer-unsigned.exe");
const std::wstring kSignedService = SignedFixture(L"service-signed.exe");

struct Validation {
    bool result = false;
    bool kept = false;
    std::string log;
    UpdateFailure failure;
};

// Validates a scratch file of `bytes` (validation deletes).
Validation ValidateBytes(const std::string& bytes, const std::wstring& hash,
                         const std::wstring& ownPath, ReleaseRule rule = ReleaseRule::kNotOlder) {
    ScratchFile file(L"validate.exe");
    file.Write(bytes);
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    Validation v;
    Common::KernelHandle held = OpenForChecks(file.Path());
    EXPECT_TRUE(held.IsValid());
    v.result = ValidateOpenBinary(held, file.Path(), hash, ownPath, rule, &v.failure);
    held.Reset();
    v.kept = file.Exists();
    v.log = capture.Take();
    return v;
}

// Validates a scratch copy of the fixture `download`.
Validation Validate(const std::wstring& download, const std::wstring& hash,
                    const std::wstring& ownPath, ReleaseRule rule = ReleaseRule::kNotOlder) {
    const std::string bytes = FileBytes(SignedFixture(download));
    EXPECT_FALSE(bytes.empty()) << Narrow(download);
    return ValidateBytes(bytes, hash, ownPath, rule);
}

TEST(ValidateBinary, WithoutHashOrServiceSignatureTheFileIsKeptUnchecked) {
    const Validation v = Validate(L"installer-unsigned.exe", L"", kUnsignedService);
    EXPECT_TRUE(v.result);
    EXPECT_TRUE(v.kept);
    EXPECT_TRUE(Has(v.log,
                    "WARNING : Unable to validate file integrity as no hash has been provided. "
                    "Assuming all ok.\n"));
    // The service's own check fails on every validation, at ERROR level.
    EXPECT_TRUE(Has(v.log,
                    " failed WinVerifyTrustChecks, error: [-2146762496]\n"
                    "   INFO : WinVerifyTrust on current process returned: [0]\n"
                    "WARNING : Skipping certificate checks on downloaded binary as update service "
                    "is not signed.\n"))
        << v.log;
}

TEST(ValidateBinary, ThePolicyHashMustMatchExactly) {
    const std::wstring digest = FileDigest(SignedFixture(L"installer-unsigned.exe"));
    std::wstring lower = digest;
    for (auto& c : lower) {
        c = static_cast<wchar_t>(towlower(c));
    }
    std::wstring other = digest;
    other[0] = other[0] == L'A' ? L'B' : L'A';
    const struct {
        std::wstring hash;
        bool valid;
    } cases[] = {{digest, true}, {lower, false}, {other, false}, {digest + L" ", false}};
    for (const auto& c : cases) {
        const Validation v = Validate(L"installer-unsigned.exe", c.hash, kUnsignedService);
        EXPECT_EQ(c.valid, v.result) << Narrow(c.hash);
        EXPECT_EQ(c.valid, v.kept) << Narrow(c.hash);
        if (!c.valid) {
            EXPECT_TRUE(Has(
                v.log,
                "  ERROR : Binary has failed Sha256 validation check. Deleting invalid file.\n"));
            EXPECT_FALSE(Has(v.log, "WinVerifyTrust")) << "no trust call after a failed digest";
            EXPECT_EQ(std::wstring(kStageHash), v.failure.stage);
            EXPECT_EQ(L"The download's SHA-256 digest is " + digest +
                          L", but the update request expects " + c.hash + L".",
                      v.failure.text);
        }
    }
}

// A signed service runs only downloads of its own publisher: the signer's
// whole subject (letter case ignored) must be the service's signer's, with the
// company tag, on a code-signing certificate that chains to a trusted root.
TEST(ValidateBinary, ASignedServiceRunsOnlyItsOwnPublishersDownloads) {
    const std::string service = "signer of the update service: [KESTRELGATE Client Release Signing]";
    // The signer's name and the tag test come first, in this order, then the
    // same-publisher decision.
    const std::string signedLines =
        "   INFO : Obtained certificate subject name: [KESTRELGATE Client Release Signing]\n"
        "   INFO : HasCompanyTag returning: [1]\n";
    const struct {
        const wchar_t* download;
        bool valid;
        std::string expectedLine;
        int64_t code;  // of the failure (stage "signature")
        const char* because;
    } cases[] = {
        {L"installer-signed.exe", true,
         "   INFO : Downloaded binary passed all certificate checks.\n", 0, ""},
        {L"installer-signed.exe", true, signedLines, 0, ""},
        {L"installer-renewed.exe", true,  // another certificate, the name in other letter case
         "   INFO : Signer of the download: [kestrelGATE Client Release Signing], " + service, 0, ""},
        {L"installer-evil.exe", false,
         "   INFO : Signer of the download: [Evil kestrelGATE Ltd], " + service, -2146762748,
         "The download is signed by \"Evil kestrelGATE Ltd\", not by the update service's "
         "publisher \"KESTRELGATE Client Release Signing\"."},
        {L"installer-serverauth.exe", false,
         "is signed with a certificate that is not for code signing\n", -2146762480,
         "its signer's certificate is not for code signing (error 0x800B0110)"},
        {L"installer-othervendor.exe", false,
         "   INFO : HasCompanyTag returning: [0]\n   INFO : Signer of the download: [Other",
         -2146762748, "The download is signed by \"Other Vendor Release Signing\""},
        {L"installer-split.exe", false, "   INFO : IsSamePublisher returning: [0]\n", -2146762748,
         "not by the update service's publisher"},
        // The same common name, bought by a look-alike organisation, or with
        // an attribute the service's subject does not have.
        {L"installer-lookalike.exe", false,
         "   INFO : Subject of the download's signer: [O=kestrelGATE Test Ltd, CN=KESTRELGATE "
         "Client Release Signing], of the update service's: [O=kestrelGATE Test, CN=KESTRELGATE "
         "Client Release Signing]\n",
         -2146762748, "which only looks like the update service's publisher"},
        {L"installer-country.exe", false, "   INFO : IsSamePublisher returning: [0]\n",
         -2146762748, "signed by \"C=KG, O=kestrelGATE Test, CN=KESTRELGATE Client Release"},
        {L"installer-unsigned.exe", false, "failed WinVerifyTrustChecks, error: [-2146762496]\n",
         -2146762496, "The download's signature is refused: the download is not signed"},
        {L"installer-untrusted.exe", false, "failed WinVerifyTrustChecks, error: [-2146762487]\n",
         -2146762487, "a root certificate that is not trusted"},
        {L"installer-tampered.exe", false, "failed WinVerifyTrustChecks, error: [-2146869232]\n",
         -2146869232, "the download was changed after it was signed"},
    };
    for (const auto& c : cases) {
        const Validation v = Validate(c.download, L"", kSignedService);
        EXPECT_EQ(c.valid, v.result) << Narrow(c.download);
        EXPECT_EQ(c.valid, v.kept) << Narrow(c.download) << ": a refused file is deleted";
        EXPECT_EQ(c.valid ? L"" : std::wstring(kStageSignature), v.failure.stage);
        EXPECT_EQ(c.code, v.failure.code) << Narrow(c.download);
        EXPECT_NE(std::string::npos, Narrow(v.failure.text).find(c.because))
            << Narrow(v.failure.text);
        EXPECT_TRUE(Has(v.log, "   INFO : WinVerifyTrust on current process returned: [1]\n"))
            << v.log;
        EXPECT_TRUE(Has(v.log, c.expectedLine)) << Narrow(c.download) << "\n" << v.log;
        if (!c.valid) {
            EXPECT_TRUE(Has(
                v.log,
                "  ERROR : Downloaded binary failed certificate checks. Deleting invalid file.\n"));
        }
    }
}

TEST(ValidateBinary, AServiceWhoseSignatureNoLongerVerifiesRunsNothing) {
    // One byte of the service's DOS stub changed: it still runs, but its
    // signature is present and broken. That is not "unsigned".
    const std::wstring tampered = SignedFixture(L"service-tampered.exe");
    for (const wchar_t* download : {L"installer-unsigned.exe", L"installer-signed.exe"}) {
        const Validation v = Validate(download, L"", tampered);
        EXPECT_FALSE(v.result) << Narrow(download);
        EXPECT_FALSE(v.kept) << Narrow(download);
        EXPECT_TRUE(Has(v.log,
                        "  ERROR : The update service's own signature does not verify, error: "
                        "[0x80096010]; no download can pass the publisher check.\n"))
            << v.log;
        EXPECT_FALSE(Has(v.log, "Skipping certificate checks")) << v.log;
    }
}

// The service's own signature is read once, when it starts, and kept: a
// user who later holds the executable open exclusively cannot make it look
// broken and so fail every update.
TEST(ValidateBinary, TheServiceSignatureReadAtTheStartIsKept) {
    ScratchFile service(L"kept-signature-service.exe");
    ASSERT_TRUE(::CopyFileW(kSignedService.c_str(), service.Path().c_str(), FALSE));
    KeepServiceSignature(service.Path());
    {
        // Held exclusively: read now, the check would fail with a sharing violation.
        Common::KernelHandle held(::CreateFileW(service.Path().c_str(), GENERIC_READ, 0, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.IsValid());
        const Validation v = Validate(L"installer-signed.exe", L"", service.Path());
        EXPECT_TRUE(v.result) << v.log;
        EXPECT_TRUE(Has(v.log, "   INFO : Downloaded binary passed all certificate checks.\n")) << v.log;
        EXPECT_FALSE(Has(v.log, "does not verify")) << v.log;
    }
}

// A release older than the service, of the same product and signed by the
// same publisher, still has the holes closed since: it is refused. Other
// products and downloads without a version resource are judged as before.
TEST(ValidateBinary, AnOlderReleaseOfTheSameProductIsRefused) {
    const struct {
        const wchar_t* download;
        const std::wstring& service;
        bool valid;
    } cases[] = {
        {L"installer-older.exe", kSignedService, false},        // 0.9.0.0 of kestrelGATE Client
        {L"installer-newer.exe", kSignedService, true},         // 99.0.0.0
        {L"installer-otherproduct.exe", kSignedService, true},  // 0.1.0.0 of Other Product
        {L"installer-signed.exe", kSignedService, true},        // no version resource
        {L"installer-older.exe", kUnsignedService, true},       // a service without one
    };
    for (const auto& c : cases) {
        const Validation v = Validate(c.download, L"", c.service);
        EXPECT_EQ(c.valid, v.result) << Narrow(c.download) << v.log;
        EXPECT_EQ(c.valid, v.kept) << Narrow(c.download);
        EXPECT_EQ(!c.valid, Has(v.log, "  ERROR : Downloaded binary is older than the installed "
                                       "version: "))
            << v.log;
        if (!c.valid) {
            EXPECT_TRUE(Has(v.log, "is version [0.9.0.0], the update service is version [1.0.0."))
                << v.log;
        }
    }
}

// With the administrators' AllowDowngrade policy an administrator's begin may
// install an older release of the product (one WARNING names both versions);
// the digest and the publisher are checked as always.
TEST(ValidateBinary, AnOlderReleaseIsInstalledOnlyUnderTheDowngradeRule) {
    const std::wstring olderDigest = FileDigest(SignedFixture(L"installer-older.exe"));
    const struct {
        const char* what;
        const wchar_t* download;
        std::wstring hash;
        const std::wstring& service;
        bool valid;
        const wchar_t* stage;
    } cases[] = {
        {"older", L"installer-older.exe", L"", kSignedService, true, L""},
        {"older, its digest", L"installer-older.exe", olderDigest, kSignedService, true, L""},
        {"older, another digest", L"installer-older.exe", std::wstring(64, L'A'), kSignedService,
         false, kStageHash},
        {"another publisher", L"installer-othervendor.exe", L"", kSignedService, false,
         kStageSignature},
        {"newer", L"installer-newer.exe", L"", kSignedService, true, L""},
        {"older, unsigned service", L"installer-older.exe", L"", kUnsignedService, true, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Validation v = Validate(c.download, c.hash, c.service, ReleaseRule::kOlderAllowed);
        EXPECT_EQ(c.valid, v.result) << v.log;
        EXPECT_EQ(c.valid, v.kept);
        EXPECT_EQ(std::wstring(c.stage), v.failure.stage);
        // The unsigned stand-in for a service has no version to be older than.
        const bool older = c.valid && std::wstring(c.download) == L"installer-older.exe" &&
                           &c.service == &kSignedService;
        EXPECT_EQ(older, Has(v.log, "WARNING : Installing an older release: [")) << v.log;
        if (older) {
            EXPECT_TRUE(Has(v.log, "] is version [0.9.0.0], the update service is version [1.0.0."))
                << v.log;
        }
    }
}

// A caller that is not an administrator gets only a newer release of the
// service's own product, when the service is signed: another product, the
// same or a lower version, or no version resource at all are refused and
// deleted. An unsigned service has no publisher check to rely on: as before.
TEST(ValidateBinary, ACallerWhoIsNotAnAdministratorGetsOnlyANewerReleaseOfThisProduct) {
    const struct {
        const wchar_t* download;
        const std::wstring& service;
        bool valid;
        const char* because;
    } cases[] = {
        {L"installer-newer.exe", kSignedService, true, ""},  // 99.0.0.0 of kestrelGATE Client
        {L"installer-older.exe", kSignedService, false, "not newer than the installed version"},
        {L"installer-otherproduct.exe", kSignedService, false, "The download is Other Product"},
        {L"installer-signed.exe", kSignedService, false, "carries no version resource"},
        {L"installer-older.exe", kUnsignedService, true, ""},
    };
    for (const auto& c : cases) {
        const Validation v = Validate(c.download, L"", c.service, ReleaseRule::kNewerOnly);
        EXPECT_EQ(c.valid, v.result) << Narrow(c.download) << v.log;
        EXPECT_EQ(c.valid, v.kept) << Narrow(c.download);
        EXPECT_EQ(c.valid ? L"" : std::wstring(kStageSignature), v.failure.stage);
        EXPECT_NE(std::string::npos, Narrow(v.failure.text).find(c.because))
            << Narrow(v.failure.text);
    }
    // The same version as the service's own: read it from the service itself.
    const Validation same = Validate(L"service-signed.exe", L"", kSignedService,
                                     ReleaseRule::kNewerOnly);
    EXPECT_FALSE(same.result) << same.log;
    EXPECT_TRUE(Has(same.log, "not newer than the installed version")) << same.log;
}

// A version resource is read only when its blocks hold together: one whose
// length reaches beyond the resource, whose key is not VS_VERSION_INFO, or
// whose first child reaches beyond it is refused at stage "signature" with
// the reason, and the file is deleted, whoever began the update and whether
// or not the service carries a version of its own.
TEST(ValidateBinary, ADamagedVersionResourceIsRefusedAndDeleted) {
    const std::string fixture = FileBytes(SignedFixture(L"installer-newer.exe"));
    size_t at = 0;
    size_t length = 0;
    ASSERT_TRUE(FindVersionResource(reinterpret_cast<const uint8_t*>(fixture.data()),
                                    fixture.size(), at, length));
    const auto setUnit = [](std::string& bytes, size_t offset, size_t value) {
        bytes[offset] = static_cast<char>(value & 0xFF);
        bytes[offset + 1] = static_cast<char>((value >> 8) & 0xFF);
    };
    // The root's header, its key "VS_VERSION_INFO" and the fixed information
    // (52 bytes), each at a multiple of four: the first child at byte 92.
    const size_t rootLength = static_cast<uint8_t>(fixture[at]) |
                              (static_cast<uint8_t>(fixture[at + 1]) << 8);
    ASSERT_EQ(52, static_cast<uint8_t>(fixture[at + 2]));
    const struct {
        const char* what;
        size_t offset;  // of the unit changed, from the resource's start
        size_t value;
        const char* because;
    } cases[] = {
        {"root beyond the resource", 0, length + 100, "exceeds the resource's"},
        {"another key", 6, 'X', "its key is not VS_VERSION_INFO"},
        {"a child beyond the root", 92, rootLength, "the block at byte 92 states"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string damaged = fixture;
        setUnit(damaged, at + c.offset, c.value);
        for (const ReleaseRule rule : {ReleaseRule::kNotOlder, ReleaseRule::kNewerOnly}) {
            const Validation v = ValidateBytes(damaged, L"", kUnsignedService, rule);
            EXPECT_FALSE(v.result) << v.log;
            EXPECT_FALSE(v.kept);
            EXPECT_EQ(std::wstring(kStageSignature), v.failure.stage);
            EXPECT_NE(std::string::npos, Narrow(v.failure.text).find(c.because))
                << Narrow(v.failure.text);
            EXPECT_TRUE(Has(v.log, "  ERROR : Downloaded binary carries a damaged version "
                                   "resource. Deleting invalid file.\n"))
                << v.log;
        }
    }
    // Undamaged, the same file passes.
    EXPECT_TRUE(ValidateBytes(fixture, L"", kUnsignedService).result);
}

// The version comes from the held handle (a read-only mapping of it), not
// from a second open of the path: what is judged is the file checked, even
// when another file has taken its name since.
TEST(ReadProductVersion, ReadsTheFileHeldOpenNotWhatItsPathNowNames) {
    const struct {
        const wchar_t* fixture;
        bool present;
        const wchar_t* product;
        const wchar_t* version;
    } cases[] = {
        {L"installer-older.exe", true, L"kestrelGATE Client", L"0.9.0.0"},
        {L"installer-newer.exe", true, L"kestrelGATE Client", L"99.0.0.0"},
        {L"installer-otherproduct.exe", true, L"Other Product", L"0.1.0.0"},
        {L"installer-signed.exe", false, L"", L""},
        {L"service-signed.exe", true, L"kestrelGATE Client", L"1.0.0."},
    };
    for (const auto& c : cases) {
        ScratchFile held(L"version-held.exe");
        ScratchFile moved(L"version-moved.exe");
        ::DeleteFileW(moved.Path().c_str());
        ASSERT_TRUE(::CopyFileW(SignedFixture(c.fixture).c_str(), held.Path().c_str(), FALSE));
        Common::KernelHandle file(::CreateFileW(held.Path().c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file.IsValid());
        // Another file takes the name of the one held.
        ASSERT_TRUE(::MoveFileW(held.Path().c_str(), moved.Path().c_str()));
        ASSERT_TRUE(::CopyFileW(SignedFixture(L"installer-otherproduct.exe").c_str(),
                                held.Path().c_str(), FALSE));
        ProductVersion read;
        EXPECT_EQ(c.present, ReadProductVersion(file.Get(), read)) << Narrow(c.fixture);
        EXPECT_EQ(std::wstring(c.product), read.productName) << Narrow(c.fixture);
        EXPECT_EQ(0u, read.Text().rfind(c.version, 0)) << Narrow(read.Text());
        file.Reset();
        ::DeleteFileW(moved.Path().c_str());
    }
}

TEST(ValidateBinary, AnUnsignedDownloadWritesNoPublisherLine) {
    const Validation v = Validate(L"installer-unsigned.exe", L"", kSignedService);
    EXPECT_FALSE(v.result);
    EXPECT_FALSE(Has(v.log, "IsSamePublisher returning"));
}

// An entry that fails the open for its checks is deleted itself: a second
// name of a hard link stays, and so does whatever a link points at.
TEST(OpenForChecks, AnEntryThatIsNotAPlainFileOfATrustedOwnerIsDeletedItself) {
    struct Case {
        const char* what;
        FakeFileSystem::Override change;
    };
    const Case cases[] = {
        {"another owner", {0, 0, L"S-1-5-21-1-2-3-1001", L""}},
        {"a second name", {0, 2, L"", L""}},
        {"a reparse point", {FILE_ATTRIBUTE_REPARSE_POINT, 0, L"", L""}},
    };
    for (const Case& c : cases) {
        ScratchFile target(L"checks-target.exe");
        ScratchFile entry(L"checks-entry.exe");
        std::ofstream(target.Path().c_str()) << "somebody else's file";
        // A real hard link: the entry and the target are one file.
        ASSERT_TRUE(::CreateHardLinkW(entry.Path().c_str(), target.Path().c_str(), nullptr));
        FakeFileSystem files;
        files.overrides[L"checks-entry.exe"] = c.change;
        const Common::ScopedFileSystem seam(files);
        ScopedLogSettings settings(LogDestination::Console, 3);
        StdoutCapture capture;
        EXPECT_FALSE(OpenForChecks(entry.Path()).IsValid()) << c.what;
        const std::string log = capture.Take();
        EXPECT_FALSE(entry.Exists()) << c.what << log;
        EXPECT_TRUE(target.Exists()) << c.what;
        EXPECT_TRUE(Has(log, "] is not a plain file of a trusted owner")) << c.what << log;
    }
}

// The name is the signer's (not its issuer's), and the tag is compared
// ignoring case.
TEST(HasCompanyTag, MatchesTheSignerNameIgnoringCase) {
    const std::wstring path = SignedFixture(L"installer-othervendor.exe");
    Common::KernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.IsValid());
    ScopedLogSettings settings(LogDestination::Console, 3);
    StdoutCapture capture;
    SignerIdentity signer;
    LONG trust = -1;
    EXPECT_TRUE(HasCompanyTag(file.Get(), path, L"other VENDOR", &signer, &trust));
    EXPECT_EQ(L"Other Vendor Release Signing", signer.name);
    EXPECT_EQ(L"O=kestrelGATE Test, CN=Other Vendor Release Signing", signer.subject);
    EXPECT_EQ(0, trust);
    EXPECT_TRUE(HasCompanyTag(file.Get(), path, L"release signing"));
    EXPECT_FALSE(HasCompanyTag(file.Get(), path, L"kestrelGATE"));
    const std::string log = capture.Take();
    EXPECT_TRUE(Has(log,
                    "   INFO : Obtained certificate subject name: [Other Vendor Release Signing]\n"
                    "   INFO : HasCompanyTag returning: [1]\n"))
        << log;
    EXPECT_TRUE(Has(log, "   INFO : HasCompanyTag returning: [0]\n")) << log;
}

TEST(VerifyFileTrust, AcceptsOnlyAnIntactTrustedSignature) {
    EXPECT_TRUE(VerifyFileTrust(SignedFixture(L"installer-signed.exe")));
    EXPECT_TRUE(VerifyFileTrust(SignedFixture(L"service-signed.exe")));
    EXPECT_FALSE(VerifyFileTrust(SignedFixture(L"installer-unsigned.exe")));
    EXPECT_FALSE(VerifyFileTrust(SignedFixture(L"installer-tampered.exe")));
    EXPECT_FALSE(VerifyFileTrust(SignedFixture(L"installer-untrusted.exe")));
    EXPECT_FALSE(VerifyFileTrust(SignedFixture(L"installer-serverauth.exe")));  // not code signing
    EXPECT_FALSE(VerifyFileTrust(SignedFixture(L"service-tampered.exe")));
    EXPECT_FALSE(VerifyFileTrust(L"C:\\no\\such\\file.exe"));
}

}  // namespace
