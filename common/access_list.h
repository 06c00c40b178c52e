#pragma once

#include <windows.h>

#include <string>

#include "common/file_system.h"

namespace Common {

// Whether a security descriptor leaves an object to the trusted accounts
// alone: its owner is a trusted owner (IsTrustedOwner) and its DACL allows no
// other account any of `rights`. Generic rights in an entry count as what
// `mapping` makes of them; entries that only pass on to children do not
// count; a missing DACL allows everybody everything.
struct AccessVerdict {
    bool onlyTrusted = false;
    // When not: the account (SID text) that may, and the rights it holds, or
    // the owner that is not trusted.
    std::wstring sid;
    ACCESS_MASK granted = 0;
    bool ownerUntrusted = false;

    // "owner S-1-5-21-... is not trusted" or "S-1-5-32-545 may 0x00010000".
    [[nodiscard]] std::wstring Describe() const;
};

[[nodiscard]] AccessVerdict JudgeAccess(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights,
                                        const GENERIC_MAPPING& mapping);

// The same for a descriptor written in SDDL (tests and fixed descriptors);
// a text that does not parse is judged as not trusted.
[[nodiscard]] AccessVerdict JudgeAccess(const wchar_t* sddl, ACCESS_MASK rights,
                                        const GENERIC_MAPPING& mapping);

// What a registry key's generic rights stand for.
[[nodiscard]] const GENERIC_MAPPING& KeyRightsMapping();

// The rights that change a registry key: its values, its subkeys, its
// permissions, its owner, or the key itself.
inline constexpr ACCESS_MASK kKeyChangeRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | WRITE_DAC | WRITE_OWNER | DELETE;

// What lets an account change a folder on the way to what the service keeps:
// deleting or renaming it, changing its permissions or owner, deleting what
// it holds.
inline constexpr ACCESS_MASK kFolderChainChangeRights =
    DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
// For a folder whose contents the service keeps, also adding to it.
inline constexpr ACCESS_MASK kOwnFolderChangeRights =
    kFolderChainChangeRights | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;

// What a file's or folder's generic rights stand for.
[[nodiscard]] const GENERIC_MAPPING& FileRightsMapping();

// Why the folder whose facts (read through its handle) these are is not the
// service's own; empty when it is: a folder, not a reparse point, whose owner
// is trusted and whose access list gives nobody else any of `rights`.
[[nodiscard]] std::wstring WhyNotOwnFolder(const FileFacts& facts, ACCESS_MASK rights);

}  // namespace Common
