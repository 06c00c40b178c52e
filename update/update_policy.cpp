#include "update/update_policy.h"

#include <cstring>
#include <vector>

#include "common/access_list.h"
#include "common/log.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"
#include "http/host_name.h"
#include "update/multi_string.h"

namespace {

// Larger values are not read (a policy holds a few names).
constexpr DWORD kMaxValueBytes = 64 * 1024;

enum class ValueRead { Absent, Read, Malformed };

// A registry value type's name, for an administrator.
std::wstring TypeName(DWORD type) {
    switch (type) {
        case REG_NONE: return L"REG_NONE";
        case REG_SZ: return L"REG_SZ";
        case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
        case REG_BINARY: return L"REG_BINARY";
        case REG_DWORD: return L"REG_DWORD";
        case REG_DWORD_BIG_ENDIAN: return L"REG_DWORD_BIG_ENDIAN";
        case REG_LINK: return L"REG_LINK";
        case REG_MULTI_SZ: return L"REG_MULTI_SZ";
        case REG_QWORD: return L"REG_QWORD";
        default: return L"type " + std::to_wstring(type);
    }
}

// A value of `type`, raw; Absent when not there. Malformed (`why` says how)
// when it has another type, another size than `exactSize` (when not 0), is
// too large or cannot be read.
ValueRead ReadValue(HKEY key, const wchar_t* name, DWORD type, DWORD exactSize,
                    std::vector<BYTE>& data, std::wstring& why) {
    DWORD found = 0;
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(key, name, nullptr, &found, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return ValueRead::Absent;
    }
    if (status == ERROR_SUCCESS && found != type) {
        why = TypeName(found);
        return ValueRead::Malformed;
    }
    if (status != ERROR_SUCCESS || size > kMaxValueBytes || (exactSize != 0 && size != exactSize)) {
        why = status != ERROR_SUCCESS ? L"unreadable, error " + std::to_wstring(status)
                                      : TypeName(found) + L" of " + std::to_wstring(size) +
                                            L" bytes";
        return ValueRead::Malformed;
    }
    data.assign(size, 0);
    status = ::RegQueryValueExW(key, name, nullptr, &found, data.data(), &size);
    if (status != ERROR_SUCCESS || found != type || (exactSize != 0 && size != exactSize)) {
        why = L"changed while read";
        return ValueRead::Malformed;
    }
    data.resize(size);
    return ValueRead::Read;
}

DWORD NumberOf(const std::vector<BYTE>& data) {
    DWORD value = 0;
    std::memcpy(&value, data.data(), sizeof(value));
    return value;
}

std::wstring JoinQuoted(const std::vector<std::wstring>& strings) {
    std::wstring joined;
    for (const auto& s : strings) {
        joined += (joined.empty() ? L"\"" : L", \"") + s + L"\"";
    }
    return joined.empty() ? L"(none)" : joined;
}

}  // namespace

bool UpdatePolicy::AllowsHost(const std::wstring& host) const {
    if (!Restricts() || !restrictsHosts) {
        return true;
    }
    const std::wstring comparable = ComparableHostName(host);
    if (comparable.empty()) {
        return false;
    }
    for (const auto& allowed : allowedHosts) {
        if (ComparableHostName(allowed) == comparable) {
            return true;
        }
    }
    return false;
}

bool UpdatePolicy::AllowsArguments(const std::wstring& args) const {
    if (args.empty()) {
        return true;
    }
    if (!Grants()) {
        return false;
    }
    for (const auto& allowed : allowedArguments) {
        if (allowed == args) {
            return true;
        }
    }
    return false;
}

std::wstring UpdatePolicy::Describe() const {
    std::wstring text = L"policy key: HKLM\\" + std::wstring(kPolicyKeyPath) + L"\n";
    constexpr wchar_t kWithoutPolicy[] =
        L"administrators may pass any installer arguments and install any release that is not "
        L"older than the installed one; other callers may pass no installer arguments and "
        L"install only a newer release of the product";
    if (!present) {
        return text + L"  not present: no update is restricted by policy; " + kWithoutPolicy +
               L"\n";
    }
    if (unreadable) {
        return text + L"  CANNOT BE READ: " + untrustedBecause + L"; none of its values applies; " +
               kWithoutPolicy + L"\n";
    }
    if (!trusted) {
        text += L"  NOT PROTECTED: " + untrustedBecause +
                L". Its restrictions apply; what it allows is ignored. Give it SYSTEM or "
                L"Administrators as owner and let nobody else change it to put all of it in "
                L"force\n";
    }
    text += L"  UpdatesDisabled: " + std::wstring(updatesDisabled ? L"1 (no update runs)" : L"no") +
            L"\n";
    text += L"  AllowedHosts: " +
            (restrictsHosts ? JoinQuoted(allowedHosts) : std::wstring(L"not set (any host)")) +
            L"\n";
    const std::wstring ignored = L"ignored (the key is not protected)";
    text += L"  AllowedArguments (callers that are not administrators): " +
            (trusted ? JoinQuoted(allowedArguments) : ignored) + L"\n";
    text += L"  AllowDowngrade (administrators): " +
            (trusted ? std::wstring(allowDowngrade ? L"1 (older releases may be installed)" : L"no")
                     : ignored) +
            L"\n";
    for (const auto& name : malformed) {
        text += L"  " + name + L": not of the expected type; " +
                (name.rfind(kPolicyAllowedHosts, 0) == 0      ? L"no host is allowed"
                 : name.rfind(kPolicyUpdatesDisabled, 0) == 0 ? L"counted as set: no update runs"
                                                              : L"ignored") +
                L"\n";
    }
    return text;
}

namespace {

// "HKEY_LOCAL_MACHINE\<subkey>" (a test's key under another root: the subkey).
std::wstring KeyName(HKEY root, const wchar_t* subkey) {
    return (root == HKEY_LOCAL_MACHINE ? std::wstring(L"HKEY_LOCAL_MACHINE\\") : std::wstring()) +
           subkey;
}

// Reads the values of the key open at `key`, whose owner and access list
// `verdict` judged (`judged` false: they could not be read, error `status`).
UpdatePolicy ReadPolicyValues(HKEY root, HKEY key, const wchar_t* subkey, bool judged,
                              LSTATUS status, const Common::AccessVerdict& verdict) {
    UpdatePolicy policy;
    policy.present = true;
    policy.keyName = KeyName(root, subkey);
    policy.trusted = judged && verdict.onlyTrusted;
    if (!policy.trusted) {
        policy.untrustedBecause =
            judged ? L"accounts other than SYSTEM and Administrators may change the key (" +
                         verdict.Describe() + L")"
                   : L"the key's permissions cannot be read (error " + std::to_wstring(status) +
                         L")";
    }

    std::vector<BYTE> data;
    std::wstring why;
    std::vector<std::wstring>& ignoredAllowances = policy.ignoredAllowances;
    const auto malformed = [&](const wchar_t* name, const wchar_t* consequence) {
        policy.malformed.push_back(std::wstring(name) + L" (" + why + L")");
        Log::Warning(L"The update policy value [%s] is not of the expected type ([%s]); %s", name,
                     why.c_str(), consequence);
    };
    switch (ReadValue(key, kPolicyUpdatesDisabled, REG_DWORD, sizeof(DWORD), data, why)) {
        case ValueRead::Read:
            policy.updatesDisabled = NumberOf(data) == 1;
            break;
        case ValueRead::Malformed:
            // Not understood: it still turns updates off, rather than
            // letting every update through.
            policy.updatesDisabled = true;
            malformed(kPolicyUpdatesDisabled, L"it counts as set: no update runs");
            break;
        case ValueRead::Absent:
            break;
    }
    switch (ReadValue(key, kPolicyAllowedHosts, REG_MULTI_SZ, 0, data, why)) {
        case ValueRead::Read:
            policy.restrictsHosts = true;
            policy.allowedHosts = SplitMultiString(data.data(), data.size());
            break;
        case ValueRead::Malformed:
            // Not understood: it still restricts, to nothing, rather than
            // letting every host through.
            policy.restrictsHosts = true;
            malformed(kPolicyAllowedHosts, L"no host is allowed");
            break;
        case ValueRead::Absent:
            break;
    }
    switch (ReadValue(key, kPolicyAllowedArguments, REG_MULTI_SZ, 0, data, why)) {
        case ValueRead::Read:
            if (policy.trusted) {
                policy.allowedArguments = SplitMultiString(data.data(), data.size());
            } else {
                ignoredAllowances.push_back(kPolicyAllowedArguments);
            }
            break;
        case ValueRead::Malformed:
            malformed(kPolicyAllowedArguments, L"it is ignored");
            break;
        case ValueRead::Absent:
            break;
    }
    switch (ReadValue(key, kPolicyAllowDowngrade, REG_DWORD, sizeof(DWORD), data, why)) {
        case ValueRead::Read:
            if (policy.trusted) {
                policy.allowDowngrade = NumberOf(data) == 1;
            } else {
                ignoredAllowances.push_back(kPolicyAllowDowngrade);
            }
            break;
        case ValueRead::Malformed:
            malformed(kPolicyAllowDowngrade, L"it is ignored");
            break;
        case ValueRead::Absent:
            break;
    }
    if (!policy.trusted) {
        std::wstring dropped;
        for (const auto& name : ignoredAllowances) {
            dropped += (dropped.empty() ? L"" : L", ") + name;
        }
        Log::Warning(L"The update policy key [%s] is not protected: %s. Its restrictions "
                     L"(UpdatesDisabled, AllowedHosts) still apply; what it allows is ignored: "
                     L"[%s]",
                     subkey, policy.untrustedBecause.c_str(),
                     dropped.empty() ? L"none set" : dropped.c_str());
    }
    return policy;
}

// Opens the key; `present` false when it does not exist. Otherwise the policy
// of a key that cannot be opened.
bool OpenPolicyKey(HKEY root, const wchar_t* subkey, Common::RegistryKey& key,
                   UpdatePolicy& policy) {
    const LSTATUS opened =
        ::RegOpenKeyExW(root, subkey, 0, KEY_READ | KEY_WOW64_64KEY, key.Receive());
    if (opened == ERROR_SUCCESS) {
        return true;
    }
    if (opened != ERROR_FILE_NOT_FOUND && opened != ERROR_PATH_NOT_FOUND) {
        policy.present = true;
        policy.unreadable = true;
        policy.untrustedBecause =
            L"the key cannot be read (error " + std::to_wstring(opened) + L")";
        Log::Warning(L"The update policy key [%s] cannot be read, error [%ld]; none of its values "
                     L"is known",
                     subkey, static_cast<long>(opened));
    }
    return false;
}

}  // namespace

UpdatePolicy ReadUpdatePolicy(HKEY root, const wchar_t* subkey) {
    TraceScope trace;
    UpdatePolicy policy;
    Common::RegistryKey key;
    if (!OpenPolicyKey(root, subkey, key, policy)) {
        return policy;
    }
    // Judged through the handle its values are then read from.
    DWORD size = 0;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    (void)::RegGetKeySecurity(key.Get(), wanted, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    const LSTATUS status = size == 0 ? ERROR_INVALID_SECURITY_DESCR
                                     : ::RegGetKeySecurity(key.Get(), wanted, descriptor.data(),
                                                           &size);
    const bool judged = status == ERROR_SUCCESS;
    return ReadPolicyValues(root, key.Get(), subkey, judged, status,
                            judged ? Common::JudgeAccess(descriptor.data(),
                                                         Common::kKeyChangeRights,
                                                         Common::KeyRightsMapping())
                                   : Common::AccessVerdict());
}

UpdatePolicy ReadUpdatePolicyJudgedAsForTesting(const wchar_t* keySddl, HKEY root,
                                                const wchar_t* subkey) {
    UpdatePolicy policy;
    Common::RegistryKey key;
    if (!OpenPolicyKey(root, subkey, key, policy)) {
        return policy;
    }
    return ReadPolicyValues(
        root, key.Get(), subkey, true, ERROR_SUCCESS,
        Common::JudgeAccess(keySddl, Common::kKeyChangeRights, Common::KeyRightsMapping()));
}
