#include "update/binary_validation.h"

#include <windows.h>

#include <map>
#include <mutex>
#include <vector>

#include "common/contains_no_case.h"
#include "common/checked_open.h"
#include "common/file_system.h"
#include "common/log.h"
#include "common/system_error_text.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"
#include "update/product_version.h"
#include "update/sha256.h"

namespace {

// The state of the service's own signature, which decides the publisher
// check: none at all skips it; one that does not verify fails every download.
enum class OwnSignature { Absent, Valid, Broken };

struct ServiceSigner {
    OwnSignature state = OwnSignature::Broken;
    SignerIdentity signer;
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
    Common::CheckedEntry entry = Common::OpenChecked(path, GENERIC_READ | READ_CONTROL,
                                                     FILE_SHARE_READ, OPEN_EXISTING,
                                                     Common::Expect::kPlainTrustedFile);
    if (!entry.Opened()) {
        Log::Error(L"Failed to open file for its checks: [%s], with error: [%lu]", path.c_str(),
                   entry.error);
        return Common::KernelHandle();
    }
    if (entry.accepted) {
        return std::move(entry.handle);
    }
    Log::Error(L"File: [%s] is not a plain file of a trusted owner (attributes [0x%lx], "
               L"links [%lu], owner [%s], error [%lu]); it is not checked or run",
               path.c_str(), entry.facts.attributes, entry.facts.links,
               entry.facts.ownerSid.c_str(), entry.error);
    entry.handle.Reset();
    // The entry itself goes, never what a link there points at.
    if (!Common::DeleteWithoutFollowing(path)) {
        Log::Error(L"Failed to delete file: [%s], with error: [%lu]", path.c_str(),
                   ::GetLastError());
    }
    return Common::KernelHandle();
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

// What the checks of a download found: accepted, or rejected with the line
// that says so and why.
struct Verdict {
    bool accepted = true;
    const wchar_t* rejection = nullptr;
    UpdateFailure failure;
};

Verdict Rejected(const wchar_t* rejection, UpdateFailure failure) {
    return {false, rejection, std::move(failure)};
}

// The downgrade rule (IsNotOlderThanService). The entry is held open without
// write or delete sharing: the version read is that of the file checked.
Verdict NotOlder(HANDLE file, const std::wstring& path, const std::wstring& ownPath,
                 ReleaseRule rule) {
    std::wstring refusal;
    if (IsNotOlderThanService(file, path, ownPath, &refusal,
                              rule == ReleaseRule::kOlderAllowed)) {
        return {};
    }
    return Rejected(L"Downloaded binary is an older release. Deleting invalid file.",
                    {kStageSignature, 0, refusal});
}

// A version resource is read only when its blocks hold together: one that
// does not is refused like any other failed check.
Verdict SoundVersion(HANDLE file, const std::wstring& path) {
    std::wstring refusal;
    if (HasSoundVersionResource(file, path, &refusal)) {
        return {};
    }
    return Rejected(L"Downloaded binary carries a damaged version resource. Deleting invalid file.",
                    {kStageSignature, 0, refusal});
}

// The release rule of a signed service: the downgrade rule, or for callers
// that are not administrators, a newer release of this product only.
Verdict ReleaseRuleVerdict(HANDLE file, const std::wstring& path, const std::wstring& ownPath,
                           ReleaseRule rule) {
    if (rule != ReleaseRule::kNewerOnly) {
        return NotOlder(file, path, ownPath, rule);
    }
    std::wstring refusal;
    if (IsNewerReleaseOfService(file, path, ownPath, &refusal)) {
        return {};
    }
    return Rejected(
        L"Downloaded binary is not a newer release of this product. Deleting invalid file.",
        {kStageSignature, 0, refusal});
}

// Every check of a download, in order: digest, then signer and release.
Verdict CheckOpenBinary(HANDLE file, const std::wstring& path, const std::wstring& policyHash,
                        const std::wstring& ownPath, ReleaseRule rule) {
    if (!policyHash.empty()) {
        std::wstring computed;
        if (!Sha256().CheckOpenFile(file, path, policyHash, &computed)) {
            return Rejected(L"Binary has failed Sha256 validation check. Deleting invalid file.",
                            {kStageHash, 0,
                             L"The download's SHA-256 digest is " + computed +
                                 L", but the update request expects " + policyHash + L"."});
        }
    } else {
        Log::Warning(
            L"Unable to validate file integrity as no hash has been provided. Assuming all ok.");
    }

    const ServiceSigner own = CheckServiceSignature(ownPath);
    if (own.state == OwnSignature::Absent) {
        Log::Warning(
            L"Skipping certificate checks on downloaded binary as update service is not signed.");
        Verdict sound = SoundVersion(file, path);
        if (!sound.accepted) {
            return sound;
        }
        return NotOlder(file, path, ownPath, rule == ReleaseRule::kNewerOnly
                                                  ? ReleaseRule::kNotOlder
                                                  : rule);
    }
    constexpr wchar_t kCertificateRejection[] =
        L"Downloaded binary failed certificate checks. Deleting invalid file.";
    if (own.state == OwnSignature::Broken) {
        // Present but not valid (tampered, untrusted, wrong usage): never
        // read as "not signed", which would let any download through.
        Log::Error(L"The update service's own signature does not verify, error: [0x%08lX]; no "
                   L"download can pass the publisher check.",
                   static_cast<unsigned long>(own.code));
        return Rejected(kCertificateRejection,
                        {kStageSignature, own.code,
                         L"The update service's own signature does not verify (" +
                             Common::HresultNumber(own.code) +
                             L"); no download can pass until the service is reinstalled."});
    }
    UpdateFailure publisher;
    if (!IsSamePublisher(file, path, own.signer, &publisher)) {
        return Rejected(kCertificateRejection, publisher);
    }
    Log::Info(L"Downloaded binary passed all certificate checks.");
    Verdict sound = SoundVersion(file, path);
    if (!sound.accepted) {
        return sound;
    }
    return ReleaseRuleVerdict(file, path, ownPath, rule);
}

}  // namespace

bool ValidateOpenBinary(Common::KernelHandle& file, const std::wstring& path,
                        const std::wstring& policyHash, const std::wstring& ownPath,
                        ReleaseRule rule, UpdateFailure* failure) {
    TraceScope trace;
    Verdict verdict = CheckOpenBinary(file.Get(), path, policyHash, ownPath, rule);
    if (verdict.accepted) {
        return true;
    }
    // A rejected file is deleted here, whichever check refused it.
    Log::Error(L"%s", verdict.rejection);
    DeleteRejected(file, path);
    if (failure != nullptr) {
        *failure = std::move(verdict.failure);
    }
    return false;
}

bool IsSamePublisher(HANDLE file, const std::wstring& path, const SignerIdentity& service,
                     UpdateFailure* failure) {
    TraceScope trace;
    SignerIdentity signer;
    LONG trust = 0;
    const bool tagged = HasCompanyTag(file, path, kCompanyTag, &signer, &trust);
    if (trust != 0) {
        Report(failure, kStageSignature, trust,
               L"The download's signature is refused: " + DescribeTrustError(trust) + L".");
        return false;
    }
    // The tag alone is not enough ("Evil kestrelGATE Ltd" has it), nor is the
    // name: another company can buy a certificate of the same common name.
    // The whole subject must be the service's own publisher's. A renewed
    // certificate keeps its subject, so renewals keep passing.
    const bool sameName = SameText(signer.name, service.name);
    const bool sameSubject = !signer.subject.empty() && SameText(signer.subject, service.subject);
    const bool result = tagged && sameName && sameSubject;
    Log::Info(L"Signer of the download: [%s], signer of the update service: [%s]",
              signer.name.c_str(), service.name.c_str());
    Log::Info(L"Subject of the download's signer: [%s], of the update service's: [%s]",
              signer.subject.c_str(), service.subject.c_str());
    Log::Info(L"IsSamePublisher returning: [%d]", result ? 1 : 0);
    if (!result) {
        Report(failure, kStageSignature, static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
               tagged && sameName
                   ? L"The download is signed by \"" + signer.subject +
                         L"\", which only looks like the update service's publisher \"" +
                         service.subject + L"\"."
                   : L"The download is signed by \"" + signer.name +
                         L"\", not by the update service's publisher \"" + service.name + L"\".");
    }
    return result;
}

bool HasCompanyTag(HANDLE file, const std::wstring& path, const std::wstring& tag,
                   SignerIdentity* signer, LONG* trust) {
    // An empty ENTER/EXIT pair first, then a second scope around the name
    // check: the trace of a validation has always read this way.
    { TraceScope trace; }
    SignerIdentity identity;
    if (!VerifyFileTrust(file, path, &identity, trust)) {
        return false;
    }
    const std::wstring& subjectName = identity.name;
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
        *signer = identity;
    }
    return result;
}

namespace {

ServiceSigner ReadServiceSignature(const std::wstring& ownPath) {
    ServiceSigner own;
    if (ownPath.empty()) {
        own.code = ERROR_FILE_NOT_FOUND;  // unknown is not "unsigned"
    } else {
        own.code = ReadFileTrust(ownPath, &own.signer);
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
