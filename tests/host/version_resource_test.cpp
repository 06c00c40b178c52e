// The product executable carries a version resource of the build: what
// Explorer's details and inventory tools show, and what version checks read.

#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/built_executable.h"

#include <string>
#include <vector>

#include "kg_version.h"

namespace {

using testsupport::BuiltExecutable;

std::wstring Wide(const char* text) {
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

TEST(VersionResource, NamesTheProductItsCompanyAndTheBuildsVersion) {
    const std::wstring path = BuiltExecutable(L"kgclient_update.exe");
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << ::GetLastError();
    std::vector<unsigned char> data(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    EXPECT_EQ(static_cast<DWORD>((KG_VERSION_MAJOR << 16) | KG_VERSION_MINOR), fixed->dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>((KG_VERSION_PATCH << 16) | KG_VERSION_BUILD), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);

    const std::pair<const wchar_t*, std::wstring> strings[] = {
        {L"ProductName", L"kestrelGATE Client"},
        {L"CompanyName", L"kestrelGATE"},
        {L"FileDescription", L"kestrelGATE client automatic update service"},
        {L"FileVersion", Wide(KG_VERSION_TEXT)},
        {L"ProductVersion", Wide(KG_VERSION_TEXT)},
        {L"OriginalFilename", L"kgclient_update.exe"},
    };
    for (const auto& [name, expected] : strings) {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        ASSERT_TRUE(::VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value),
                                     &length))
            << testing::PrintToString(std::wstring(name));
        EXPECT_EQ(expected, std::wstring(value)) << testing::PrintToString(std::wstring(name));
    }
}

}  // namespace
