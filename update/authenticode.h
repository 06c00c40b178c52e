#pragma once

// Authenticode: whether a file's signature verifies, and who signed it.

#include <windows.h>

#include <string>

// True when WinVerifyTrust (Authenticode policy: chain to a trusted root,
// time stamps honoured; no UI, no revocation check) accepts the file's
// signature and its signer certificate is for code signing.
[[nodiscard]] bool VerifyFileTrust(const std::wstring& path);

// The same for the file open at `file` (`path` names it); on success fills
// `signerName` (when given) with the simple display name of the certificate
// that signed exactly what was verified (read from the verification itself,
// not from the file again). `result` (when given) receives the check's
// result (0, or the trust error).
[[nodiscard]] bool VerifyFileTrust(HANDLE file, const std::wstring& path, std::wstring* signerName,
                                   LONG* result = nullptr);

// The trust check of the executable at `path` (read by its path), logged as
// VerifyFileTrust logs it, without a trace scope of its own: 0, or the trust
// error. `signerName` (when given) receives the signer's name on success.
[[nodiscard]] LONG ReadFileTrust(const std::wstring& path, std::wstring* signerName);

// What a refused trust check means, in words, with its code.
[[nodiscard]] std::wstring DescribeTrustError(LONG result);
