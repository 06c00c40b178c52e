#pragma once

// What administrators decide about updates through the policy key (set by
// Group Policy). Without the key, callers that are administrators may ask for
// anything a begin can say (but an older release); other callers may pass no
// installer arguments and install only a newer release of the product.
//
// The key's restrictions (UpdatesDisabled, AllowedHosts) apply whoever could
// have written it. What it allows (AllowedArguments, AllowDowngrade) applies
// only when nobody but SYSTEM and Administrators can change the key: a key
// that looks unsafe never turns a restriction off, and never grants more.

#include <windows.h>

#include <string>
#include <vector>

// HKEY_LOCAL_MACHINE\<this>; the values below.
inline constexpr wchar_t kPolicyKeyPath[] = L"SOFTWARE\\Policies\\kestrelGATE\\Client\\AutoUpdate";
inline constexpr wchar_t kPolicyUpdatesDisabled[] = L"UpdatesDisabled";    // DWORD 1: no update
inline constexpr wchar_t kPolicyAllowedHosts[] = L"AllowedHosts";          // multi-string
inline constexpr wchar_t kPolicyAllowedArguments[] = L"AllowedArguments";  // multi-string
inline constexpr wchar_t kPolicyAllowDowngrade[] = L"AllowDowngrade";      // DWORD 1

struct UpdatePolicy {
    // The key exists.
    bool present = false;
    // Present but its values cannot be read: none is known; `untrustedBecause`
    // says why.
    bool unreadable = false;
    // Only SYSTEM and Administrators can change it: what it allows applies.
    // Otherwise `untrustedBecause` says why not.
    bool trusted = false;
    std::wstring untrustedBecause;
    // Where it was read ("HKEY_LOCAL_MACHINE\SOFTWARE\Policies\...").
    std::wstring keyName;
    // The allowances a key that is not protected holds and that were
    // therefore ignored (AllowedArguments, AllowDowngrade).
    std::vector<std::wstring> ignoredAllowances;

    // Restrictions: applied for any key that could be read.
    bool updatesDisabled = false;
    // With `restrictsHosts`, a URL's host must be one of `allowedHosts`
    // (compared in their ASCII (IDNA) form, letter case ignored, one
    // trailing dot removed); an empty list then allows none. Redirects are
    // held to the same list.
    bool restrictsHosts = false;
    std::vector<std::wstring> allowedHosts;

    // Allowances: applied only for a trusted key (Allows... below).
    // Argument texts a caller that is not an administrator may pass, exactly.
    std::vector<std::wstring> allowedArguments;
    // Administrators may install an older release of the product.
    bool allowDowngrade = false;

    // Values present with a type other than the one expected, as
    // "name (REG_SZ)"; a restriction of another type still restricts.
    std::vector<std::wstring> malformed;

    // The key's restrictions are known and apply.
    [[nodiscard]] bool Restricts() const { return present && !unreadable; }
    // What the key allows applies.
    [[nodiscard]] bool Grants() const { return Restricts() && trusted; }

    [[nodiscard]] bool DisablesUpdates() const { return Restricts() && updatesDisabled; }
    [[nodiscard]] bool AllowsHost(const std::wstring& host) const;
    // For callers that are not administrators: the empty text always.
    [[nodiscard]] bool AllowsArguments(const std::wstring& args) const;
    // For administrators.
    [[nodiscard]] bool AllowsDowngrade() const { return Grants() && allowDowngrade; }

    // Lines for an administrator: where it was read and each value in force.
    [[nodiscard]] std::wstring Describe() const;
};

// Reads the policy under `root`\`subkey` (tests name a key of their own):
// the key's owner and access list are judged first, through the key opened
// once, and decide whether its allowances apply. Logs a WARNING for a key
// whose allowances are dropped and for a value of another type.
[[nodiscard]] UpdatePolicy ReadUpdatePolicy(HKEY root = HKEY_LOCAL_MACHINE,
                                            const wchar_t* subkey = kPolicyKeyPath);

// The same with the key's owner and access list given as SDDL instead of
// read from it (Wine stores no access lists on keys).
[[nodiscard]] UpdatePolicy ReadUpdatePolicyJudgedAsForTesting(const wchar_t* keySddl, HKEY root,
                                                              const wchar_t* subkey);
