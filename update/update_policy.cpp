#include "update/update_policy.h"

#include <vector>

#include "common/access_list.h"
#include "common/log.h"
#include "common/trace_scope.h"
#include "common/unique_handle.h"

namespace {

// Larger values are not read (a policy holds a few names).
constexpr DWORD kMaxValueBytes = 64 * 1024;

bool SameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

enum class ValueRead { Absent, Read, Malformed };

// A value of `type`, raw; Absent when not there.
ValueRead ReadValue(HKEY key, const wchar_t* name, DWORD type, std::vector<BYTE>& data) {
    DWORD found = 0;
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(key, name, nullptr, &found, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return ValueRead::Absent;
    }
    if (status != ERROR_SUCCESS || found != type || size > kMaxValueBytes) {
        return ValueRead::Malformed;
    }
    data.assign(size, 0);
    status = ::RegQueryValueExW(key, name, nullptr, &found, data.data(), &size);
    if (status != ERROR_SUCCESS || found != type) {
        return ValueRead::Malformed;
    }
    data.resize(size);
    return ValueRead::Read;
}

// The strings of a REG_MULTI_SZ, empty ones left out; the last need not be
// terminated.
std::vector<std::wstring> SplitMultiString(const std::vector<BYTE>& data) {
    std::vector<std::wstring> strings;
    const auto* text = reinterpret_cast<const wchar_t*>(data.data());
    const size_t count = data.size() / sizeof(wchar_t);
    size_t start = 0;
    for (size_t i = 0; i <= count; ++i) {
        if (i == count || text[i] == L'\0') {
            if (i > start) {
                strings.emplace_back(text + start, i - start);
            }
            start = i + 1;
        }
    }
    return strings;
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
    if (!InForce() || !restrictsHosts) {
        return true;
    }
    for (const auto& allowed : allowedHosts) {
        if (SameTextIgnoringCase(allowed, host)) {
            return true;
        }
    }
    return false;
}

bool UpdatePolicy::AllowsArguments(const std::wstring& args) const {
    if (args.empty()) {
        return true;
    }
    if (!InForce()) {
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
    if (!present) {
        return text + L"  not present: updates run as built, with no policy restriction\n";
    }
    if (ignored) {
        return text + L"  IGNORED: " + ignoredBecause +
               L". Only SYSTEM and Administrators may be able to change the key; fix its "
               L"permissions to put it in force\n";
    }
    text += L"  UpdatesDisabled: " + std::wstring(updatesDisabled ? L"1 (no update runs)" : L"no") +
            L"\n";
    text += L"  AllowedHosts: " +
            (restrictsHosts ? JoinQuoted(allowedHosts) : std::wstring(L"not set (any host)")) +
            L"\n";
    text += L"  AllowedArguments (callers that are not administrators): " +
            JoinQuoted(allowedArguments) + L"\n";
    for (const auto& name : malformed) {
        text += L"  " + name + L": not of the expected type; " +
                (name == kPolicyAllowedHosts ? L"no host is allowed" : L"ignored") + L"\n";
    }
    return text;
}

UpdatePolicy ReadUpdatePolicy(HKEY root, const wchar_t* subkey) {
    TraceScope trace;
    UpdatePolicy policy;
    Common::RegistryKey key;
    const LSTATUS opened =
        ::RegOpenKeyExW(root, subkey, 0, KEY_READ | KEY_WOW64_64KEY, key.Receive());
    if (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND) {
        return policy;
    }
    policy.present = true;
    if (opened != ERROR_SUCCESS) {
        policy.ignored = true;
        policy.ignoredBecause = L"the key cannot be read (error " + std::to_wstring(opened) + L")";
        Log::Warning(L"The update policy key [%s] cannot be read, error [%ld]; it is ignored",
                     subkey, static_cast<long>(opened));
        return policy;
    }

    // Judged through the handle its values are then read from.
    DWORD size = 0;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    (void)::RegGetKeySecurity(key.Get(), wanted, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    LSTATUS status = size == 0 ? ERROR_INVALID_SECURITY_DESCR
                               : ::RegGetKeySecurity(key.Get(), wanted, descriptor.data(), &size);
    const Common::AccessVerdict verdict =
        status == ERROR_SUCCESS
            ? Common::JudgeAccess(descriptor.data(), Common::kKeyChangeRights,
                                  Common::KeyRightsMapping())
            : Common::AccessVerdict();
    if (!verdict.onlyTrusted) {
        policy.ignored = true;
        policy.ignoredBecause =
            status == ERROR_SUCCESS
                ? L"accounts other than SYSTEM and Administrators may change the key (" +
                      verdict.Describe() + L")"
                : L"the key's permissions cannot be read (error " + std::to_wstring(status) + L")";
        Log::Warning(L"The update policy key [%s] is ignored: %s", subkey,
                     policy.ignoredBecause.c_str());
        return policy;
    }

    std::vector<BYTE> data;
    switch (ReadValue(key.Get(), kPolicyUpdatesDisabled, REG_DWORD, data)) {
        case ValueRead::Read:
            policy.updatesDisabled =
                data.size() == sizeof(DWORD) && *reinterpret_cast<const DWORD*>(data.data()) == 1;
            break;
        case ValueRead::Malformed:
            policy.malformed.push_back(kPolicyUpdatesDisabled);
            break;
        case ValueRead::Absent:
            break;
    }
    switch (ReadValue(key.Get(), kPolicyAllowedHosts, REG_MULTI_SZ, data)) {
        case ValueRead::Read:
            policy.restrictsHosts = true;
            policy.allowedHosts = SplitMultiString(data);
            break;
        case ValueRead::Malformed:
            // Not understood: it still restricts, to nothing, rather than
            // letting every host through.
            policy.restrictsHosts = true;
            policy.malformed.push_back(kPolicyAllowedHosts);
            break;
        case ValueRead::Absent:
            break;
    }
    switch (ReadValue(key.Get(), kPolicyAllowedArguments, REG_MULTI_SZ, data)) {
        case ValueRead::Read:
            policy.allowedArguments = SplitMultiString(data);
            break;
        case ValueRead::Malformed:
            policy.malformed.push_back(kPolicyAllowedArguments);
            break;
        case ValueRead::Absent:
            break;
    }
    for (const auto& name : policy.malformed) {
        Log::Warning(L"The update policy value [%s] is not of the expected type; %s", name.c_str(),
                     name == kPolicyAllowedHosts ? L"no host is allowed" : L"it is ignored");
    }
    return policy;
}
