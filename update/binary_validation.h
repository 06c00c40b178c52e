#pragma once

#include <string>

// The company tag a download's signer must name when the service is signed.
inline constexpr wchar_t kCompanyTag[] = L"kestrelGATE";

// Validates a downloaded cache entry: its digest must equal `policyHash` (when
// one is given) and, when the executable at `ownPath` carries a valid
// Authenticode signature, the file must carry one too whose signer names the
// company. A file that fails is deleted. The digest's file errors
// (FileStore::OpenErr, ReadErr) pass through; the file stays then.
[[nodiscard]] bool ValidateBinary(const std::wstring& path, const std::wstring& policyHash,
                                  const std::wstring& ownPath);

// True when the file passes VerifyFileTrust and its signer's simple display
// name contains `tag`, ignoring the case of A to Z.
[[nodiscard]] bool HasCompanyTag(const std::wstring& path, const std::wstring& tag);

// True when WinVerifyTrust (generic chain verification, no UI, no revocation
// check) accepts the file's signature.
[[nodiscard]] bool VerifyFileTrust(const std::wstring& path);

// The simple display name of the certificate that signed the file; `name`
// is left as it was on false.
[[nodiscard]] bool GetSignerSubjectName(const std::wstring& path, std::wstring& name);
