// The policy's multi-string values, host matching and the resolution of a
// redirect's target, over any bytes and texts.
//
// Properties:
// - the strings of a multi-string value hold no NUL and none is empty; they
//   are its units between NULs, in order; written back as a value they read
//   the same;
// - a host's comparable form ignores letter case and one trailing dot, holds
//   no capital letter, and is empty (matches nothing) for a name beyond
//   ASCII that cannot be converted;
// - a redirect's target with a scheme is taken as it is, "//host" keeps the
//   base's scheme, and every other target stays on the base's host.

#include <string>
#include <vector>

#include "http/host_name.h"
#include "http/redirect_target.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_text.h"
#include "update/multi_string.h"

namespace {

using fuzz::Shown;

void CheckMultiString(const std::string& bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const std::vector<std::wstring> strings = SplitMultiString(data, bytes.size());
    const std::wstring units = fuzz::WideUnits(data, bytes.size());
    // The units with every run of NULs as one separator, none at the ends.
    std::wstring runs;
    for (const wchar_t c : units) {
        if (c != L'\0' || (!runs.empty() && runs.back() != L'\0')) {
            runs.push_back(c);
        }
    }
    if (!runs.empty() && runs.back() == L'\0') {
        runs.pop_back();
    }
    std::wstring joined;
    std::string written;
    for (const std::wstring& s : strings) {
        FUZZ_CHECK(!s.empty() && s.find(L'\0') == std::wstring::npos, "string [%s]",
                   Shown(s).c_str());
        joined += (joined.empty() ? L"" : std::wstring(1, L'\0')) + s;
        for (const wchar_t c : s + L'\0') {
            written.push_back(static_cast<char>(c & 0xFF));
            written.push_back(static_cast<char>((c >> 8) & 0xFF));
        }
    }
    FUZZ_CHECK(joined == runs, "[%s] split as [%s]", Shown(runs).c_str(), Shown(joined).c_str());
    written.append(2, '\0');
    const auto again = SplitMultiString(reinterpret_cast<const uint8_t*>(written.data()),
                                        written.size());
    FUZZ_CHECK(again == strings, "written back, the value reads otherwise");
}

bool IsAscii(const std::wstring& text) {
    for (const wchar_t c : text) {
        if (c == 0 || c > 0x7F) {
            return false;
        }
    }
    return true;
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return text;
}

void CheckHost(const std::wstring& host) {
    const std::wstring comparable = ComparableHostName(host);
    for (const wchar_t c : comparable) {
        FUZZ_CHECK(c != 0 && c <= 0x7F && !(c >= L'A' && c <= L'Z'), "[%s] compares as [%s]",
                   Shown(host).c_str(), Shown(comparable).c_str());
    }
    if (!IsAscii(host)) {
        // No conversion here (as on a system without one): it matches nothing.
        FUZZ_CHECK(host.empty() || comparable.empty(), "[%s] beyond ASCII compares as [%s]",
                   Shown(host).c_str(), Shown(comparable).c_str());
        return;
    }
    FUZZ_CHECK(ComparableHostName(Upper(host)) == comparable, "letter case of [%s] counts",
               Shown(host).c_str());
    if (host.find(L':') != std::wstring::npos) {
        FUZZ_CHECK(comparable.size() <= host.size(), "[%s] compares as [%s]",
                   Shown(host).c_str(), Shown(comparable).c_str());
        return;
    }
    if (host.empty() || host.back() != L'.') {
        FUZZ_CHECK(ComparableHostName(host + L".") == comparable, "a trailing dot of [%s] counts",
                   Shown(host).c_str());
    }
    FUZZ_CHECK(ComparableHostName(host + L":8443") == comparable, "a port after [%s] counts",
               Shown(host).c_str());
    FUZZ_CHECK(comparable.size() + 1 >= host.size() && comparable.size() <= host.size(),
               "[%s] compares as [%s]", Shown(host).c_str(), Shown(comparable).c_str());
}

size_t SchemeLength(const std::wstring& url) {
    for (size_t i = 0; i < url.size(); ++i) {
        const wchar_t c = url[i];
        if (c == L':') {
            return i > 0 ? i + 1 : 0;
        }
        const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
        const bool other = (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.';
        if (!(letter || (i > 0 && other))) {
            return 0;
        }
    }
    return 0;
}

void CheckRedirect(const std::wstring& base, const std::wstring& location) {
    const std::wstring target = ResolveRedirect(base, location);
    if (SchemeLength(location) != 0) {
        FUZZ_CHECK(target == location, "[%s] became [%s]", Shown(location).c_str(),
                   Shown(target).c_str());
        return;
    }
    const size_t scheme = SchemeLength(base);
    if (location.compare(0, 2, L"//") == 0) {
        FUZZ_CHECK(target == base.substr(0, scheme) + location, "[%s] from [%s] became [%s]",
                   Shown(location).c_str(), Shown(base).c_str(), Shown(target).c_str());
        return;
    }
    // Relative: the base's scheme and authority stay, whatever follows.
    if (base.compare(scheme, 2, L"//") == 0) {
        size_t authorityEnd = base.find_first_of(L"/?#", scheme + 2);
        authorityEnd = authorityEnd == std::wstring::npos ? base.size() : authorityEnd;
        const std::wstring origin = base.substr(0, authorityEnd);
        FUZZ_CHECK(target.compare(0, origin.size(), origin) == 0 &&
                       (target.size() == origin.size() || target[origin.size()] == L'/'),
                   "[%s] from [%s] left its host: [%s]", Shown(location).c_str(),
                   Shown(base).c_str(), Shown(target).c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckMultiString(std::string(reinterpret_cast<const char*>(data), size));
    FuzzedDataProvider input(data, size);
    const std::wstring host = fuzz::WideUnits(input, 80);
    CheckHost(host);
    const std::wstring base = (input.ConsumeBool() ? L"https://" : L"") + fuzz::WideUnits(input, 80);
    const std::wstring location = fuzz::WideUnits(input, 80);
    CheckRedirect(base, location);
    return 0;
}
