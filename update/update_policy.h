#pragma once

// What administrators decide about updates through the policy key that only
// they can write (set by Group Policy). With the key absent, nothing here
// changes what a begin may do.

#include <windows.h>

#include <string>
#include <vector>

// HKEY_LOCAL_MACHINE\<this>; the values below.
inline constexpr wchar_t kPolicyKeyPath[] = L"SOFTWARE\\Policies\\kestrelGATE\\Client\\AutoUpdate";
inline constexpr wchar_t kPolicyUpdatesDisabled[] = L"UpdatesDisabled";    // DWORD 1: no update
inline constexpr wchar_t kPolicyAllowedHosts[] = L"AllowedHosts";          // multi-string
inline constexpr wchar_t kPolicyAllowedArguments[] = L"AllowedArguments";  // multi-string

struct UpdatePolicy {
    // The key exists. It is in force only when not `ignored`.
    bool present = false;
    // Present but writable by accounts other than the trusted ones: none of
    // its values is used; `ignoredBecause` says why.
    bool ignored = false;
    std::wstring ignoredBecause;

    bool updatesDisabled = false;
    // With `restrictsHosts`, a URL's host must be one of `allowedHosts`
    // (exact, letter case ignored); an empty list then allows none.
    bool restrictsHosts = false;
    std::vector<std::wstring> allowedHosts;
    // Argument texts a caller that is not an administrator may pass, exactly.
    std::vector<std::wstring> allowedArguments;
    // Values present with a type other than the one expected, ignored.
    std::vector<std::wstring> malformed;

    [[nodiscard]] bool InForce() const { return present && !ignored; }
    [[nodiscard]] bool AllowsHost(const std::wstring& host) const;
    [[nodiscard]] bool AllowsArguments(const std::wstring& args) const;

    // Lines for an administrator: where it was read and each value in force.
    [[nodiscard]] std::wstring Describe() const;
};

// Reads the policy under `root`\`subkey` (tests name a key of their own):
// the key's owner and access list are judged first, through the key opened
// once; a key that others may change is ignored. Logs a WARNING for an
// ignored key or value.
[[nodiscard]] UpdatePolicy ReadUpdatePolicy(HKEY root = HKEY_LOCAL_MACHINE,
                                            const wchar_t* subkey = kPolicyKeyPath);
