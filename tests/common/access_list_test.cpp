#include "common/access_list.h"

#include <gtest/gtest.h>

namespace {

// The service trusts SYSTEM, Administrators and its own account; anybody
// else who may change a key (or who owns it) makes it untrusted.
TEST(JudgeAccess, OnlyTrustedOwnersAndEntriesPass) {
    const struct {
        const wchar_t* sddl;
        bool onlyTrusted;
        const wchar_t* who;  // the account named when not
    } cases[] = {
        // What Group Policy leaves on a policy key: users read only.
        {L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)", true, L""},
        {L"O:SYD:(A;;GA;;;SY)(A;;GR;;;WD)", true, L""},
        // Users may set values, or change the permissions.
        {L"O:BAD:(A;;KA;;;SY)(A;;0x2;;;BU)", false, L"S-1-5-32-545"},
        {L"O:BAD:(A;;KA;;;SY)(A;;WD;;;AU)", false, L"S-1-5-11"},
        // Generic write for everybody, mapped to the key's rights.
        {L"O:BAD:(A;;GW;;;WD)", false, L"S-1-1-0"},
        // A user owns it: the owner may always change its permissions.
        {L"O:S-1-5-21-1-2-3-1001D:(A;;KA;;;SY)", false, L"S-1-5-21-1-2-3-1001"},
        // No access list at all: everybody may do everything.
        {L"O:BA", false, L""},
        // Entries that only pass on to subkeys do not apply to the key itself.
        {L"O:BAD:(A;CIIO;KA;;;CO)(A;;KA;;;SY)", true, L""},
        // A denial takes nothing away from the judgement of the others.
        {L"O:BAD:(D;;KA;;;BU)(A;;KR;;;BU)(A;;KA;;;BA)", true, L""},
    };
    for (const auto& c : cases) {
        const Common::AccessVerdict verdict =
            Common::JudgeAccess(c.sddl, Common::kKeyChangeRights, Common::KeyRightsMapping());
        EXPECT_EQ(c.onlyTrusted, verdict.onlyTrusted) << c.sddl;
        if (!c.onlyTrusted) {
            EXPECT_EQ(std::wstring(c.who), verdict.sid) << c.sddl;
            EXPECT_FALSE(verdict.Describe().empty());
        }
    }
    EXPECT_FALSE(Common::JudgeAccess(L"not sddl", Common::kKeyChangeRights,
                                     Common::KeyRightsMapping())
                     .onlyTrusted);
}

}  // namespace
