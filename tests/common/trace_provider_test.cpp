#include "common/trace_provider.h"

#include <gtest/gtest.h>

#include "common/trace_payload.h"
#include "tests/support/log_capture.h"

namespace {

using testsupport::DisableTraceSession;
using testsupport::EnableTraceSession;

uint32_t Bits(std::initializer_list<unsigned> bits) {
    uint32_t mask = 0;
    for (unsigned bit : bits) {
        mask |= 1u << bit;
    }
    return mask;
}

TEST(TraceEnable, SessionLevelAndKeywordsSelectTheEvents) {
    const struct {
        UCHAR level;
        ULONGLONG matchAny;
        ULONGLONG matchAll;
        uint32_t expected;
    } cases[] = {
        {4, 0x2, 0, Bits({3, 4, 5})},  // messages up to INFO
        {0, 0x4, 0, Bits({0, 1, 2})},  // call trace, any level
        {0, 0x8000000000000000ull, 0, Bits({0, 1, 2, 3, 4, 5, 10, 11})},
        {5, 0x8000000000000000ull, 0, Bits({2, 3, 4, 5, 10, 11})},
        {1, 0x8000000000000000ull, 0, Bits({11})},  // critical only
        {0, 0x8, 0, Bits({10})},
        {0, 0x10, 0, Bits({11})},
        {0, 0x6, 0x8000000000000004ull, Bits({0, 1, 2})},  // match-all narrows
        {0, 0x8000000000000000ull, 0x1, 0},                // no event has bit 0
        {4, 0, 0, 0},                                      // no keyword matches
    };
    for (const auto& c : cases) {
        TraceProvider provider;
        TraceProvider::EnableCallback(nullptr, 1, c.level, c.matchAny, c.matchAll, nullptr,
                                      &provider);
        EXPECT_EQ(c.expected, provider.EnableMask())
            << "level " << int(c.level) << " any " << std::hex << c.matchAny << " all "
            << c.matchAll;
        EXPECT_TRUE(provider.SessionEnabled());
        EXPECT_EQ(c.level, provider.SessionLevel());
        EXPECT_EQ(c.matchAny, provider.MatchAnyKeyword());
        EXPECT_EQ(c.matchAll, provider.MatchAllKeyword());
    }
}

TEST(TraceEnable, DisableClearsEverything) {
    TraceProvider provider;
    TraceProvider::EnableCallback(nullptr, 1, 5, ~0ull, 0, nullptr, &provider);
    ASSERT_NE(0u, provider.EnableMask());
    TraceProvider::EnableCallback(nullptr, 0, 5, ~0ull, 0, nullptr, &provider);
    EXPECT_EQ(0u, provider.EnableMask());
    EXPECT_FALSE(provider.SessionEnabled());
    EXPECT_EQ(0, provider.SessionLevel());
    EXPECT_EQ(0u, provider.MatchAnyKeyword());
    EXPECT_EQ(0u, provider.MatchAllKeyword());
}

int moduleListCalls = 0;
int armCalls = 0;
void CountModuleList() {
    ++moduleListCalls;
}
void CountArm() {
    ++armCalls;
}

TEST(TraceEnable, CaptureStateRunsBothCrashHooksWhateverTheMask) {
    TraceProvider provider;
    provider.SetCrashReportingHooks(&CountModuleList, &CountArm);
    moduleListCalls = armCalls = 0;
    TraceProvider::EnableCallback(nullptr, 2, 0, 0, 0, nullptr, &provider);
    EXPECT_EQ(1, moduleListCalls);
    EXPECT_EQ(1, armCalls);
    EXPECT_EQ(0u, provider.EnableMask());  // capture state enables nothing

    TraceProvider::EnableCallback(nullptr, 7, 0, ~0ull, 0, nullptr, &provider);  // unknown code
    EXPECT_EQ(1, moduleListCalls);
    EXPECT_EQ(0u, provider.EnableMask());
}

TEST(TraceEnable, RegistrationHooksFollowBits10And11) {
    TraceProvider provider;
    provider.SetCrashReportingHooks(&CountModuleList, &CountArm);
    moduleListCalls = armCalls = 0;
    provider.RunRegistrationHooks();  // nothing enabled
    EXPECT_EQ(0, moduleListCalls + armCalls);

    TraceProvider::EnableCallback(nullptr, 1, 0, 0x10, 0, nullptr, &provider);  // crash only
    provider.RunRegistrationHooks();
    EXPECT_EQ(0, moduleListCalls);
    EXPECT_EQ(1, armCalls);

    TraceProvider::EnableCallback(nullptr, 1, 0, 0x8, 0, nullptr, &provider);  // modules only
    provider.RunRegistrationHooks();
    EXPECT_EQ(1, moduleListCalls);
    EXPECT_EQ(1, armCalls);
}

TEST(TracePayload, TextFieldsCarryTheirNulAndNullIsWrittenAsNULL) {
    EVENT_DATA_DESCRIPTOR fields[2];
    const wchar_t* module = L"kgclient_update.exe";
    const wchar_t* message = L"";
    BuildLogEventPayload(fields, module, message);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(module), fields[0].Ptr);
    EXPECT_EQ(20u * 2u, fields[0].Size);
    EXPECT_EQ(2u, fields[1].Size);

    BuildLogEventPayload(fields, nullptr, nullptr);
    EXPECT_EQ(10u, fields[0].Size);
    EXPECT_STREQ(L"NULL", reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(fields[1].Ptr)));

    EVENT_DATA_DESCRIPTOR narrow;
    SetNarrowTextField(narrow, nullptr);
    EXPECT_EQ(5u, narrow.Size);
    EXPECT_STREQ("NULL", reinterpret_cast<const char*>(static_cast<uintptr_t>(narrow.Ptr)));
    SetNarrowTextField(narrow, "abc");
    EXPECT_EQ(4u, narrow.Size);
}

}  // namespace
