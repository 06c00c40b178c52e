#include "update/binary_validation.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstddef>

#include <cryptopp/files.h>

#include "common/console_text.h"
#include "common/contains_no_case.h"
#include "common/file_system.h"
#include "common/log.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"
#include "update/sha256.h"

namespace {

using Common::LocalMemory;

struct CertStoreTraits {
    using Handle = HCERTSTORE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::CertCloseStore(h, 0); }
};

struct CryptMsgTraits {
    using Handle = HCRYPTMSG;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::CryptMsgClose(h); }
};

struct CertContextTraits {
    using Handle = PCCERT_CONTEXT;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::CertFreeCertificateContext(h); }
};

// The lookup's resources, released in this order whatever step failed.
struct SignerLookup {
    LocalMemory signerInfo;
    Common::UniqueHandle<CertContextTraits> certificate;
    Common::UniqueHandle<CertStoreTraits> store;
    Common::UniqueHandle<CryptMsgTraits> message;
    LocalMemory name;

    ~SignerLookup() {
        signerInfo.Reset();
        certificate.Reset();
        store.Reset();
        message.Reset();
        name.Reset();
    }
};

bool IsServiceSigned(const std::wstring& ownPath) {
    TraceScope trace;
    const bool isSigned = !ownPath.empty() && VerifyFileTrust(ownPath);
    Log::Info(L"WinVerifyTrust on current process returned: [%d]", isSigned ? 1 : 0);
    return isSigned;
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
    }
    return file;
}

namespace {

// Closes the checked handle, then deletes the entry itself.
void DeleteRejected(Common::KernelHandle& file, const std::wstring& path) {
    file.Reset();
    if (!Common::DeleteWithoutFollowing(path)) {
        Log::Error(L"Failed to delete file: [%s], with error: [%lu]", path.c_str(),
                   ::GetLastError());
    }
}

}  // namespace

bool ValidateOpenBinary(Common::KernelHandle& file, const std::wstring& path,
                        const std::wstring& policyHash, const std::wstring& ownPath) {
    TraceScope trace;
    if (!policyHash.empty()) {
        if (!Sha256().CheckOpenFile(file.Get(), path, policyHash)) {
            Log::Error(L"Binary has failed Sha256 validation check. Deleting invalid file.");
            DeleteRejected(file, path);
            return false;
        }
    } else {
        Log::Warning(
            L"Unable to validate file integrity as no hash has been provided. Assuming all ok.");
    }

    if (!IsServiceSigned(ownPath)) {
        Log::Warning(
            L"Skipping certificate checks on downloaded binary as update service is not signed.");
        return true;
    }
    if (HasCompanyTag(file.Get(), path, kCompanyTag)) {
        Log::Info(L"Downloaded binary passed all certificate checks.");
        return true;
    }
    Log::Error(L"Downloaded binary failed certificate checks. Deleting invalid file.");
    DeleteRejected(file, path);
    return false;
}

bool ValidateBinary(const std::wstring& path, const std::wstring& policyHash,
                    const std::wstring& ownPath) {
    Common::KernelHandle file = OpenForChecks(path);
    if (!file) {
        throw CryptoPP::FileStore::OpenErr(ToConsoleNarrow(path));
    }
    return ValidateOpenBinary(file, path, policyHash, ownPath);
}

bool HasCompanyTag(HANDLE file, const std::wstring& path, const std::wstring& tag) {
    // An empty ENTER/EXIT pair first, then a second scope around the name
    // check: the trace of a validation has always read this way.
    { TraceScope trace; }
    std::wstring subjectName;
    bool named = false;
    if (!VerifyFileTrust(file, path, &subjectName)) {
        return false;
    }
    named = !subjectName.empty();
    TraceScope trace;
    bool result = false;
    if (named) {
        Log::Info(L"Obtained certificate subject name: [%s]", subjectName.c_str());
        result = ContainsNoCase(subjectName, tag);
    } else {
        Log::Error(L"Failed to obtain certificate name.");
    }
    Log::Info(L"HasCompanyTag returning: [%d]", result ? 1 : 0);
    return result;
}

bool HasCompanyTag(const std::wstring& path, const std::wstring& tag) {
    Common::KernelHandle file = OpenForChecks(path);
    return file && HasCompanyTag(file.Get(), path, tag);
}

namespace {

// The simple display name of the signer certificate that a successful
// verification of `state` found.
std::wstring SignerNameFromState(HANDLE state) {
    CRYPT_PROVIDER_DATA* data = ::WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer =
        data != nullptr ? ::WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate =
        signer != nullptr ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (certificate == nullptr || certificate->pCert == nullptr) {
        Log::Error(L"The verified signature names no signer certificate, error [%lu]",
                   ::GetLastError());
        return std::wstring();
    }
    const DWORD length = ::CertGetNameStringW(certificate->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE,
                                              0, nullptr, nullptr, 0);
    std::wstring name(length, L'\0');
    if (length <= 1 || ::CertGetNameStringW(certificate->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                            nullptr, &name[0], length) <= 1) {
        Log::Error(L"CertGetNameString failed with %x", ::GetLastError());
        return std::wstring();
    }
    name.resize(length - 1);
    Log::Info(L"Certificate Subject Name: [%s]", name.c_str());
    return name;
}

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

    GUID action = WINTRUST_ACTION_GENERIC_CHAIN_VERIFY;
    const LONG result =
        ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &request);
    if (result == 0 && signerName != nullptr) {
        *signerName = SignerNameFromState(request.hWVTStateData);
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

bool VerifyFileTrust(const std::wstring& path) {
    TraceScope trace;
    return ReportTrust(path, RunTrustCheck(path, nullptr, nullptr));
}

bool VerifyFileTrust(HANDLE file, const std::wstring& path, std::wstring* signerName) {
    TraceScope trace;
    return ReportTrust(path, RunTrustCheck(path, file, signerName));
}

bool GetSignerSubjectName(const std::wstring& path, std::wstring& name) {
    TraceScope trace;
    SignerLookup lookup;

    DWORD encoding = 0;
    DWORD contentType = 0;
    DWORD formatType = 0;
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    const BOOL queried = ::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding,
                                            &contentType, &formatType, &store, &message, nullptr);
    lookup.store.Reset(store);
    lookup.message.Reset(message);
    if (!queried) {
        Log::Error(L"CryptQueryObject failed with %x.", ::GetLastError());
        return false;
    }

    DWORD signerInfoSize = 0;
    if (!::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &signerInfoSize)) {
        Log::Error(L"CryptMsgGetParam failed with %x.", ::GetLastError());
        return false;
    }
    lookup.signerInfo.Reset(::LocalAlloc(LPTR, signerInfoSize));
    if (!lookup.signerInfo.IsValid()) {
        Log::Error(L"Unable to allocate memory for Signer Info.");
        return false;
    }
    if (!::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, lookup.signerInfo.Get(),
                            &signerInfoSize)) {
        Log::Error(L"CryptMsgGetParam failed with %x.", ::GetLastError());
        return false;
    }

    const auto* signer = static_cast<const CMSG_SIGNER_INFO*>(lookup.signerInfo.Get());
    CERT_INFO certificateInfo = {};
    certificateInfo.Issuer = signer->Issuer;
    certificateInfo.SerialNumber = signer->SerialNumber;
    lookup.certificate.Reset(
        ::CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_FIND_SUBJECT_CERT, &certificateInfo, nullptr));
    if (!lookup.certificate.IsValid()) {
        Log::Error(L"CertFindCertificateInStore failed with %x.", ::GetLastError());
        return false;
    }

    const DWORD length = ::CertGetNameStringW(
        lookup.certificate.Get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length == 0) {
        Log::Error(L"CertGetNameString failed with %x.", ::GetLastError());
        return false;
    }
    lookup.name.Reset(::LocalAlloc(LPTR, length * sizeof(wchar_t)));
    if (!lookup.name.IsValid()) {
        Log::Error(L"Unable to allocate memory for subject name.");
        return false;
    }
    auto* text = static_cast<wchar_t*>(lookup.name.Get());
    if (::CertGetNameStringW(lookup.certificate.Get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                             text, length) == 0) {
        Log::Error(L"CertGetNameString failed with %x", ::GetLastError());
        return false;
    }
    name = text;
    Log::Info(L"Certificate Subject Name: [%s]", name.c_str());
    return true;
}
