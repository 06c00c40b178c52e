#include "common/system_library.h"

#include <windows.h>

#include <cwchar>
#include <string>

#include <gtest/gtest.h>

#include "common/unique_handle.h"

namespace {

TEST(SystemLibrary, LoadsFromTheSystemFolderOnly) {
    Common::RestrictLibrarySearchToSystemFolder();
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetSystemDirectoryW(system, MAX_PATH));

    Common::LoadedLibrary library(Common::LoadSystemLibrary(L"dbghelp.dll"));
    ASSERT_TRUE(library.IsValid()) << ::GetLastError();
    wchar_t loaded[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetModuleFileNameW(library.Get(), loaded, MAX_PATH));
    EXPECT_EQ(0, _wcsicmp((std::wstring(system) + L"\\dbghelp.dll").c_str(), loaded)) << loaded;
    EXPECT_NE(nullptr, ::GetProcAddress(library.Get(), "MiniDumpWriteDump"));

    // A library that exists only in the current folder is not found.
    wchar_t current[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH, current));
    const std::wstring planted = std::wstring(current) + L"\\kg-planted-library.dll";
    ASSERT_TRUE(::CopyFileW((std::wstring(system) + L"\\version.dll").c_str(), planted.c_str(),
                            FALSE));
    const Common::LoadedLibrary other(
        Common::LoadSystemLibrary(L"kg-planted-library.dll"));
    EXPECT_FALSE(other.IsValid());
    ::DeleteFileW(planted.c_str());
}

}  // namespace
