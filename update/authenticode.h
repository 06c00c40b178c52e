#pragma once

// Authenticode: whether a file's signature verifies, and who signed it.

#include <windows.h>

#include <string>

// Who signed a file, from the certificate that signed what was verified.
struct SignerIdentity {
    std::wstring name;     // the simple display name (the common name)
    std::wstring subject;  // every attribute of the subject, in order (X.500 text)
};

// True when WinVerifyTrust (Authenticode policy: chain to a trusted root,
// time stamps honoured; no UI, no revocation check) accepts the file's
// signature and its signer certificate is for code signing.
[[nodiscard]] bool VerifyFileTrust(const std::wstring& path);

// The same for the file open at `file` (`path` names it); on success fills
// `signer` (when given) with the names of the certificate that signed exactly
// what was verified (read from the verification itself, not from the file
// again). `result` (when given) receives the check's result (0, or the trust
// error).
[[nodiscard]] bool VerifyFileTrust(HANDLE file, const std::wstring& path, SignerIdentity* signer,
                                   LONG* result = nullptr);

// The trust check of the executable at `path` (read by its path), logged as
// VerifyFileTrust logs it, without a trace scope of its own: 0, or the trust
// error. `signer` (when given) receives the signer's names on success.
[[nodiscard]] LONG ReadFileTrust(const std::wstring& path, SignerIdentity* signer);

// What a refused trust check means, in words, with its code.
[[nodiscard]] std::wstring DescribeTrustError(LONG result);
