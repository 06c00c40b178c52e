#include "update/authenticode.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "common/log.h"
#include "common/trace_scope.h"
#include "common/system_error_text.h"

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
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, signer->pChainContext,
                                            &policy, &status)) {
        return static_cast<LONG>(HRESULT_FROM_WIN32(::GetLastError()));
    }
    return static_cast<LONG>(status.dwError);
}

// The certificate's simple display name; empty (logged) when it has none.
std::wstring SignerName(PCCERT_CONTEXT certificate) {
    const DWORD length =
        ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    std::wstring name(length, L'\0');
    if (length <= 1 || ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                            &name[0], length) <= 1) {
        Log::Error(L"CertGetNameString failed with %x", ::GetLastError());
        return std::wstring();
    }
    name.resize(length - 1);
    Log::Info(L"Certificate Subject Name: [%s]", name.c_str());
    return name;
}

// The certificate's whole subject as X.500 text, every attribute in the
// order it is encoded ("O=..., CN=..."); values with separators are quoted.
std::wstring SubjectText(PCCERT_CONTEXT certificate) {
    CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
    const DWORD flags = CERT_X500_NAME_STR;
    const DWORD length = ::CertNameToStrW(X509_ASN_ENCODING, subject, flags, nullptr, 0);
    std::wstring text(length, L'\0');
    if (length <= 1 ||
        ::CertNameToStrW(X509_ASN_ENCODING, subject, flags, &text[0], length) <= 1) {
        Log::Error(L"CertNameToStr failed with %x", ::GetLastError());
        return std::wstring();
    }
    text.resize(length - 1);
    return text;
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
LONG RunTrustCheck(const std::wstring& path, HANDLE file, SignerIdentity* signer) {
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
        CRYPT_PROVIDER_SGNR* verified = VerifiedSigner(request.hWVTStateData);
        const PCCERT_CONTEXT certificate =
            verified != nullptr ? SignerCertificate(verified) : nullptr;
        if (certificate == nullptr) {
            result = TRUST_E_NO_SIGNER_CERT;
        } else if ((result = CheckSignerChain(verified)) != 0) {
            Log::Error(L"File:[%s] is signed through a certificate chain the policy refuses",
                       path.c_str());
        } else if (!HasCodeSigningUsage(certificate)) {
            Log::Error(L"File:[%s] is signed with a certificate that is not for code signing",
                       path.c_str());
            result = CERT_E_WRONG_USAGE;
        } else if (signer != nullptr) {
            signer->name = SignerName(certificate);
            signer->subject = SubjectText(certificate);
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

}  // namespace

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
        {static_cast<LONG>(CERT_E_WRONG_USAGE),
         L"its signer's certificate is not for code signing"},
        {static_cast<LONG>(TRUST_E_NO_SIGNER_CERT), L"its signature names no signer certificate"},
    };
    const std::wstring code = Common::HresultNumber(result);
    for (const Named& named : kNamed) {
        if (named.code == result) {
            return std::wstring(named.text) + L" (" + code + L")";
        }
    }
    return std::wstring(L"WinVerifyTrust refused it (") + code + L")";
}

LONG ReadFileTrust(const std::wstring& path, SignerIdentity* signer) {
    const LONG result = RunTrustCheck(path, nullptr, signer);
    (void)ReportTrust(path, result);
    return result;
}

bool VerifyFileTrust(const std::wstring& path) {
    TraceScope trace;
    return ReportTrust(path, RunTrustCheck(path, nullptr, nullptr));
}

bool VerifyFileTrust(HANDLE file, const std::wstring& path, SignerIdentity* signer,
                     LONG* result) {
    TraceScope trace;
    const LONG trust = RunTrustCheck(path, file, signer);
    if (result != nullptr) {
        *result = trust;
    }
    return ReportTrust(path, trust);
}
