#pragma once

// The publisher policy: which downloads the service may run, judged by their
// digest, their signer against the service's own, and their version. The
// signature itself is verified in authenticode.h.

#include <windows.h>

#include <string>

#include "common/unique_handle.h"
#include "update/authenticode.h"
#include "update/update_failure.h"

// The company tag a download's signer must name when the service is signed.
inline constexpr wchar_t kCompanyTag[] = L"kestrelGATE";

// Validation of a downloaded cache entry: its digest must equal `policyHash`
// (when one is given) and, unless the executable at `ownPath` carries no
// signature at all, the file must be signed by the same publisher
// (IsSamePublisher). A service signature that is present but does not verify
// fails every file. The digest's file errors (FileStore::OpenErr, ReadErr)
// pass through; the file stays then.
// The entry is the one the caller holds open at `file` (read access,
// sharing read only, so that nobody can change, rename or delete it between
// these checks and the installer's start): the digest, the trust check and
// the signer all come from that handle. A file that fails is deleted: `file`
// is closed first and the entry at `path` itself is deleted.
// A download whose version resource is damaged is refused
// (HasSoundVersionResource), whoever began the update and whether or not the
// service is signed. A release older than the service is refused too
// (IsNotOlderThanService);
// with ReleaseRule::kNewerOnly, when the service is signed, anything but a
// newer release of the service's own product (IsNewerReleaseOfService).
// `failure` (when given) receives why a file failed.
// With ReleaseRule::kOlderAllowed an older release of the service's own
// product passes too (one WARNING names both versions).
enum class ReleaseRule {
    kNotOlder,      // begun by an administrator
    kOlderAllowed,  // begun by an administrator, policy allowing a downgrade
    kNewerOnly,     // begun by any other caller
};
[[nodiscard]] bool ValidateOpenBinary(Common::KernelHandle& file, const std::wstring& path,
                                      const std::wstring& policyHash, const std::wstring& ownPath,
                                      ReleaseRule rule, UpdateFailure* failure = nullptr);

// Reads the signature of the executable at `ownPath` (the service's own) now
// and keeps the result for the process's life: every later validation with
// that `ownPath` is judged by it. The worker calls it when it starts, before
// it serves anybody.
void KeepServiceSignature(const std::wstring& ownPath);

// Opens the cache entry at `path` the way ValidateOpenBinary needs it: read
// access, sharing read only, a link or junction there is not followed. The
// entry must be a plain file of a trusted owner; otherwise (logged) the
// handle is empty and the entry itself is deleted (a link, never its target).
[[nodiscard]] Common::KernelHandle OpenForChecks(const std::wstring& path);

// True when the file open at `file` passes VerifyFileTrust and its signer's
// simple display name contains `tag`, ignoring the case of A to Z. Logs the
// name ("Obtained certificate subject name") and the result; `signer` and
// `trust` (when given) receive the signer's names and the trust check's
// result.
[[nodiscard]] bool HasCompanyTag(HANDLE file, const std::wstring& path, const std::wstring& tag,
                                 SignerIdentity* signer = nullptr, LONG* trust = nullptr);

// True when the file open at `file` carries a valid signature (as
// VerifyFileTrust) whose signer is the update service's own publisher: the
// signer's name has the company tag (HasCompanyTag) and its whole subject
// (every attribute, in order: organisation, locality, country, ...) equals
// that of `service`, letter case ignored. Logs both names and subjects.
// `failure` (when given) receives why it is refused.
[[nodiscard]] bool IsSamePublisher(HANDLE file, const std::wstring& path,
                                   const SignerIdentity& service,
                                   UpdateFailure* failure = nullptr);
