#include "common/wide_format.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// The Windows convention must hold under mingw too: "%s" wide, "%S" narrow.
TEST(FormatWide, FollowsTheWindowsConventionForStringSpecifiers) {
    wchar_t buffer[64];
    Common::FormatWide(buffer, L"[%s] [%S]", L"wide", "narrow");
    EXPECT_STREQ(L"[wide] [narrow]", buffer);

    Common::FormatWide(buffer, L"%lu %ld %u %d %x", 4000000000ul, -5l, 7u, -9, 0xBEEFu);
    EXPECT_STREQ(L"4000000000 -5 7 -9 beef", buffer);
}

TEST(FormatWide, NullFormatGivesAnEmptyText) {
    wchar_t buffer[8] = L"junk";
    Common::FormatWide(buffer, nullptr);
    EXPECT_STREQ(L"", buffer);
}

TEST(FormatWide, CutsAtCapacityMinusOneAndAlwaysTerminates) {
    wchar_t buffer[8];
    Common::FormatWide(buffer, L"%s", L"0123456789");
    EXPECT_STREQ(L"0123456", buffer);

    Common::FormatWide(buffer, L"%s", L"0123456");  // exactly full
    EXPECT_STREQ(L"0123456", buffer);
}

}  // namespace
