#include "common/access_list.h"

#include <sddl.h>

#include "common/file_system.h"
#include "common/process_account.h"
#include "common/unique_handle.h"
#include "common/wide_format.h"

namespace Common {

std::wstring AccessVerdict::Describe() const {
    if (onlyTrusted) {
        return L"only trusted accounts may change it";
    }
    if (ownerUntrusted) {
        return L"its owner " + (sid.empty() ? std::wstring(L"(unknown)") : sid) +
               L" is not a trusted account";
    }
    wchar_t rights[16];
    FormatWide(rights, L"0x%08lX", static_cast<unsigned long>(granted));
    return (sid.empty() ? std::wstring(L"everybody (no access list)") : sid) +
           L" is allowed rights " + rights;
}

AccessVerdict JudgeAccess(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights,
                          const GENERIC_MAPPING& mapping) {
    AccessVerdict verdict;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (descriptor == nullptr || !::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !IsTrustedOwner(SidText(owner))) {
        verdict.ownerUntrusted = true;
        verdict.sid = SidText(owner);
        return verdict;
    }
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        return verdict;
    }
    if (!present || dacl == nullptr) {
        verdict.granted = rights;  // no DACL: everybody may do everything
        return verdict;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) {
            return verdict;
        }
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;  // applies to children only
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            // Denials only take away; an allowed entry of another kind
            // (object, callback) is not expected here and is not trusted.
            if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
                continue;
            }
            verdict.granted = rights;
            return verdict;
        }
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        ACCESS_MASK mask = allowed->Mask;
        ::MapGenericMask(&mask, const_cast<GENERIC_MAPPING*>(&mapping));
        if ((mask & rights) == 0) {
            continue;
        }
        const std::wstring sid = SidText(const_cast<DWORD*>(&allowed->SidStart));
        if (!IsTrustedOwner(sid)) {
            verdict.sid = sid;
            verdict.granted = mask & rights;
            return verdict;
        }
    }
    verdict.onlyTrusted = true;
    return verdict;
}

AccessVerdict JudgeAccess(const wchar_t* sddl, ACCESS_MASK rights,
                          const GENERIC_MAPPING& mapping) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (sddl == nullptr || !::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                               sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        AccessVerdict verdict;
        verdict.granted = rights;
        return verdict;
    }
    const LocalMemory owned(descriptor);
    return JudgeAccess(descriptor, rights, mapping);
}

const GENERIC_MAPPING& FileRightsMapping() {
    static const GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                            FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    return mapping;
}

std::wstring WhyNotOwnFolder(const FileFacts& facts, ACCESS_MASK rights) {
    if ((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return L"it is a reparse point";
    }
    if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return L"it is not a folder";
    }
    if (facts.descriptorSddl.empty()) {
        return L"its owner and access list cannot be read";
    }
    const AccessVerdict verdict =
        JudgeAccess(facts.descriptorSddl.c_str(), rights, FileRightsMapping());
    return verdict.onlyTrusted ? std::wstring() : verdict.Describe();
}

const GENERIC_MAPPING& KeyRightsMapping() {
    static const GENERIC_MAPPING mapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    return mapping;
}

}  // namespace Common
