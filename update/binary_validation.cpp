#include "update/binary_validation.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include <cryptopp/files.h>

#include "common/console_text.h"
#include "common/contains_no_case.h"
#include "common/file_system.h"
#include "common/log.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"
#include "common/wide_format.h"
#include "update/product_version.h"
#include "update/sha256.h"

namespace {

// The state of the service's own signature, which decides the publisher
// check: none at all skips it; one that does not verify fails every download.
enum class OwnSignature { Absent, Valid, Broken };

struct ServiceSigner {
    OwnSignature state = OwnSignature::Broken;
    std::wstring name;
    LONG code = 0;
};

ServiceSigner CheckServiceSignature(const std::wstring& ownPath);

// Whole text, letter case ignored (ordinal, every script).
bool SameText(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

Common::KernelHandle OpenForChecks(const std::wstring& path) {
    TraceScope trace;
    Common::KernelHandle file = Common::Files().Open(path, GENERIC_READ | READ_CONTROL,
                                                     FILE_SHARE_READ, OPEN_EXISTING);
    if (!file) {
        Log::Error(L"Failed to open file for its checks: [%s], with error: [%lu]", path.c_str(),
                   ::GetLastError());
        return file;
    }
    Common::FileFacts facts;
    const DWORD inspected = Common::Files().Inspect(file.Get(), facts);
    if (inspected != ERROR_SUCCESS || !Common::IsPlainFile(facts) ||
        !Common::IsTrustedOwner(facts.ownerSid)) {
        Log::Error(L"File: [%s] is not a plain file of a trusted owner (attributes [0x%lx], "
                   L"links [%lu], owner [%s], error [%lu]); it is not checked or run",
                   path.c_str(), facts.attributes, facts.links, facts.ownerSid.c_str(), inspected);
        file.Reset();
        // The entry itself goes, never what a link there points at.
        if (!Common::DeleteWithoutFollowing(path)) {
            Log::Error(L"Failed to delete file: [%s], with error: [%lu]", path.c_str(),
                       ::GetLastError());
        }
    }
    return file;
}

namespace {

// Records why validation failed, when the caller asked.
void Report(UpdateFailure* failure, const wchar_t* stage, int64_t code, std::wstring text) {
    if (failure != nullptr) {
        failure->stage = stage;
        failure->code = code;
        failure->text = std::move(text);
    }
}

// Closes the checked handle, then deletes the entry itself.
void DeleteRejected(Common::KernelHandle& file, const std::wstring& path) {
    file.Reset();
    if (!Common::DeleteWithoutFollowing(path)) {
        Log::Error(L"Failed to delete file: [%s], with error: [%lu]", path.c_str(),
                   ::GetLastError());
    }
}

// The downgrade rule (IsNotOlderThanService); an older release is deleted.
// The entry is held open without write or delete sharing: the version read by
// its path is that of the file checked.
bool IsNotOlderOrDeleted(Common::KernelHandle& file, const std::wstring& path,
                         const std::wstring& ownPath, UpdateFailure* failure) {
    std::wstring refusal;
    if (IsNotOlderThanService(path, ownPath, &refusal)) {
        return true;
    }
    Log::Error(L"Downloaded binary is an older release. Deleting invalid file.");
    DeleteRejected(file, path);
    Report(failure, kStageSignature, 0, refusal);
    return false;
}

// What a refused trust check means, in words.
std::wstring DescribeTrustError(LONG result) {
    struct Named {
        LONG code;
        const wchar_t* text;
    };
    static const Named kNamed[] = {
        {static_cast<LONG>(TRUST_E_NOSIGNATURE), L"the download is not signed"},
        {static_cast<LONG>(TRUST_E_BAD_DIGEST), L"the download was changed after it was signed"},
        {static_cast<LONG>(CERT_E_UNTRUSTEDROOT),
         L"its signature chains to a root certificate that is not trusted"},
        {static_cast<LONG>(CERT_E_CHAINING), L"its signer's certificate chain cannot be built"},
        {static_cast<LONG>(CERT_E_EXPIRED), L"its signer's certificate has expired"},
        {static_cast<LONG>(CERT_E_WRONG_USAGE), L"its signer's certificate is not for code signing"},
        {static_cast<LONG>(TRUST_E_NO_SIGNER_CERT), L"its signature names no signer certificate"},
    };
    wchar_t code[32];
    Common::FormatWide(code, L"error 0x%08lX", static_cast<unsigned long>(result));
    for (const Named& named : kNamed) {
        if (named.code == result) {
            return std::wstring(named.text) + L" (" + code + L")";
        }
    }
    return std::wstring(L"WinVerifyTrust refused it (") + code + L")";
}

}  // namespace

bool ValidateOpenBinary(Common::KernelHandle& file, const std::wstring& path,
                        const std::wstring& policyHash, const std::wstring& ownPath,
                        UpdateFailure* failure) {
    TraceScope trace;
    if (!policyHash.empty()) {
        std::wstring computed;
        if (!Sha256().CheckOpenFile(file.Get(), path, policyHash, &computed)) {
            Log::Error(L"Binary has failed Sha256 validation check. Deleting invalid file.");
            DeleteRejected(file, path);
            Report(failure, kStageHash, 0,
                   L"The download's SHA-256 digest is " + computed +
                       L", but the update request expects " + policyHash + L".");
            return false;
        }
    } else {
        Log::Warning(
            L"Unable to validate file integrity as no hash has been provided. Assuming all ok.");
    }

    const ServiceSigner own = CheckServiceSignature(ownPath);
    if (own.state == OwnSignature::Absent) {
        Log::Warning(
            L"Skipping certificate checks on downloaded binary as update service is not signed.");
        return IsNotOlderOrDeleted(file, path, ownPath, failure);
    }
    if (own.state == OwnSignature::Broken) {
        // Present but not valid (tampered, untrusted, wrong usage): never
        // read as "not signed", which would let any download through.
        Log::Error(L"The update service's own signature does not verify, error: [0x%08lX]; no "
                   L"download can pass the publisher check.",
                   static_cast<unsigned long>(own.code));
        wchar_t text[160];
        Common::FormatWide(text,
                           L"The update service's own signature does not verify (error "
                           L"0x%08lX); no download can pass until the service is reinstalled.",
                           static_cast<unsigned long>(own.code));
        Report(failure, kStageSignature, own.code, text);
    } else if (IsSamePublisher(file.Get(), path, own.name, failure)) {
        Log::Info(L"Downloaded binary passed all certificate checks.");
        return IsNotOlderOrDeleted(file, path, ownPath, failure);
    }
    Log::Error(L"Downloaded binary failed certificate checks. Deleting invalid file.");
    DeleteRejected(file, path);
    return false;
}

bool IsSamePublisher(HANDLE file, const std::wstring& path, const std::wstring& serviceSigner,
                     UpdateFailure* failure) {
    TraceScope trace;
    std::wstring signer;
    LONG trust = 0;
    const bool tagged = HasCompanyTag(file, path, kCompanyTag, &signer, &trust);
    if (trust != 0) {
        Report(failure, kStageSignature, trust,
               L"The download's signature is refused: " + DescribeTrustError(trust) + L".");
        return false;
    }
    // The tag alone is not enough ("Evil kestrelGATE Ltd" has it): the signer
    // must be the service's own publisher. A renewed certificate keeps its
    // subject name, so renewals keep passing.
    const bool result = tagged && SameText(signer, serviceSigner);
    Log::Info(L"Signer of the download: [%s], signer of the update service: [%s]",
              signer.c_str(), serviceSigner.c_str());
    Log::Info(L"IsSamePublisher returning: [%d]", result ? 1 : 0);
    if (!result) {
        Report(failure, kStageSignature, static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
               L"The download is signed by \"" + signer +
                   L"\", not by the update service's publisher \"" + serviceSigner + L"\".");
    }
    return result;
}

bool ValidateBinary(const std::wstring& path, const std::wstring& policyHash,
                    const std::wstring& ownPath) {
    Common::KernelHandle file = OpenForChecks(path);
    if (!file) {
        throw CryptoPP::FileStore::OpenErr(ToConsoleNarrow(path));
    }
    return ValidateOpenBinary(file, path, policyHash, ownPath);
}

bool HasCompanyTag(HANDLE file, const std::wstring& path, const std::wstring& tag,
                   std::wstring* signer, LONG* trust) {
    // An empty ENTER/EXIT pair first, then a second scope around the name
    // check: the trace of a validation has always read this way.
    { TraceScope trace; }
    std::wstring subjectName;
    if (!VerifyFileTrust(file, path, &subjectName, trust)) {
        return false;
    }
    TraceScope trace;
    bool result = false;
    if (!subjectName.empty()) {
        Log::Info(L"Obtained certificate subject name: [%s]", subjectName.c_str());
        result = ContainsNoCase(subjectName, tag);
    } else {
        Log::Error(L"Failed to obtain certificate name.");
    }
    Log::Info(L"HasCompanyTag returning: [%d]", result ? 1 : 0);
    if (signer != nullptr) {
        *signer = subjectName;
    }
    return result;
}

namespace {

// The signer a successful verification of `state` found; owned by the state.
CRYPT_PROVIDER_SGNR* VerifiedSigner(HANDLE state) {
    CRYPT_PROVIDER_DATA* data = ::WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer =
        data != nullptr ? ::WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    if (signer == nullptr) {
        Log::Error(L"The verified signature names no signer, error [%lu]", ::GetLastError());
    }
    return signer;
}

// The signer's certificate; owned by the state.
PCCERT_CONTEXT SignerCertificate(CRYPT_PROVIDER_SGNR* signer) {
    CRYPT_PROVIDER_CERT* certificate = ::WTHelperGetProvCertFromChain(signer, 0);
    return certificate != nullptr ? certificate->pCert : nullptr;
}

// The signer's certificate chain judged by the Authenticode chain policy (a
// trusted root, nothing expired or invalid on the way): 0, or the policy's
// error. The platform's verification does not always refuse an untrusted root.
LONG CheckSignerChain(CRYPT_PROVIDER_SGNR* signer) {
    if (signer->pChainContext == nullptr) {
        return CERT_E_CHAINING;
    }
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof(policy);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE,
                                            signer->pChainContext, &policy, &status)) {
        return static_cast<LONG>(HRESULT_FROM_WIN32(::GetLastError()));
    }
    return static_cast<LONG>(status.dwError);
}

// The certificate's simple display name; empty (logged) when it has none.
std::wstring SignerName(PCCERT_CONTEXT certificate) {
    const DWORD length =
        ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    std::wstring name(length, L'\0');
    if (length <= 1 || ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                            nullptr, &name[0], length) <= 1) {
        Log::Error(L"CertGetNameString failed with %x", ::GetLastError());
        return std::wstring();
    }
    name.resize(length - 1);
    Log::Info(L"Certificate Subject Name: [%s]", name.c_str());
    return name;
}

// True when the certificate names code signing among its extended key usages.
bool HasCodeSigningUsage(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr,
                                   &size) ||
        size == 0) {
        return false;  // no usage extension: not explicitly for code signing
    }
    std::vector<BYTE> buffer(size);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage,
                                   &size)) {
        return false;
    }
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) {
            return true;
        }
    }
    return false;
}

// Authenticode verification (chain to a trusted root, time stamps honoured,
// no revocation lookups) of the file at `path`, or of the one open at `file`.
// A signer certificate without the code-signing usage fails with
// CERT_E_WRONG_USAGE: the platform's policy does not always enforce it.
LONG RunTrustCheck(const std::wstring& path, HANDLE file, std::wstring* signerName) {
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    if (file != nullptr) {
        LARGE_INTEGER start = {};
        (void)::SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    }

    WINTRUST_DATA request = {};
    // The size up to and including the UI context: the request predates the
    // signature-settings member.
    request.cbStruct = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(request.dwUIContext);
    request.dwUIChoice = WTD_UI_NONE;
    request.fdwRevocationChecks = WTD_REVOKE_NONE;
    request.dwUnionChoice = WTD_CHOICE_FILE;
    request.pFile = &fileInfo;
    request.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &request);
    if (result == 0) {
        CRYPT_PROVIDER_SGNR* signer = VerifiedSigner(request.hWVTStateData);
        const PCCERT_CONTEXT certificate = signer != nullptr ? SignerCertificate(signer) : nullptr;
        if (certificate == nullptr) {
            result = TRUST_E_NO_SIGNER_CERT;
        } else if ((result = CheckSignerChain(signer)) != 0) {
            Log::Error(L"File:[%s] is signed through a certificate chain the policy refuses",
                       path.c_str());
        } else if (!HasCodeSigningUsage(certificate)) {
            Log::Error(L"File:[%s] is signed with a certificate that is not for code signing",
                       path.c_str());
            result = CERT_E_WRONG_USAGE;
        } else if (signerName != nullptr) {
            *signerName = SignerName(certificate);
        }
    }
    request.dwStateAction = WTD_STATEACTION_CLOSE;
    (void)::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &request);
    return result;
}

bool ReportTrust(const std::wstring& path, LONG result) {
    if (result == 0) {
        Log::Info(L"File:[%s] passed WinVerifyTrustChecks", path.c_str());
        return true;
    }
    Log::Error(L"File:[%s] failed WinVerifyTrustChecks, error: [%d]", path.c_str(),
               static_cast<int>(result));
    return false;
}

ServiceSigner ReadServiceSignature(const std::wstring& ownPath) {
    ServiceSigner own;
    if (ownPath.empty()) {
        own.code = ERROR_FILE_NOT_FOUND;  // unknown is not "unsigned"
    } else {
        own.code = RunTrustCheck(ownPath, nullptr, &own.name);
        (void)ReportTrust(ownPath, own.code);
    }
    own.state = own.code == 0                     ? OwnSignature::Valid
                : own.code == TRUST_E_NOSIGNATURE ? OwnSignature::Absent
                                                  : OwnSignature::Broken;
    return own;
}

// The first reading of each executable's signature, kept for the process's
// life: the service reads its own when it starts (KeepServiceSignature),
// before any caller can act. Read again later, the file could be held open
// exclusively by any user who can read it, which would make the check fail
// and every update with it.
ServiceSigner CheckServiceSignature(const std::wstring& ownPath) {
    TraceScope trace;
    static std::mutex mutex;
    static std::map<std::wstring, ServiceSigner> kept;
    ServiceSigner own;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = kept.find(ownPath);
        own = found != kept.end() ? found->second
                                  : kept.emplace(ownPath, ReadServiceSignature(ownPath)).first->second;
    }
    Log::Info(L"WinVerifyTrust on current process returned: [%d]",
              own.state == OwnSignature::Valid ? 1 : 0);
    return own;
}

}  // namespace

void KeepServiceSignature(const std::wstring& ownPath) {
    (void)CheckServiceSignature(ownPath);
}

bool VerifyFileTrust(const std::wstring& path) {
    TraceScope trace;
    return ReportTrust(path, RunTrustCheck(path, nullptr, nullptr));
}

bool VerifyFileTrust(HANDLE file, const std::wstring& path, std::wstring* signerName,
                     LONG* result) {
    TraceScope trace;
    const LONG trust = RunTrustCheck(path, file, signerName);
    if (result != nullptr) {
        *result = trust;
    }
    return ReportTrust(path, trust);
}
