// What the PE headers of the shipped programs promise: address-space
// randomisation anywhere in 64 bits, no-execute data, no section both
// writable and executable, and static imports only of libraries that Windows
// always takes from the system folder (KnownDLLs). Any other static import is
// resolved from the program's own folder first, before any of its code runs:
// for the worker copy that is the cache folder.

#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/built_executable.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>
#include <cwchar>

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

using testsupport::BuiltExecutable;

// What the headers of a 64-bit PE image say.
struct ImageHeaders {
    WORD dllCharacteristics = 0;
    std::vector<IMAGE_SECTION_HEADER> sections;
    std::vector<std::string> imports;  // the import directory's library names
};

// Reads them; false when the file is not a readable 64-bit PE image.
bool ReadImageHeaders(const std::wstring& path, ImageHeaders& headers) {
    std::vector<std::string>& names = headers.imports;
    std::ifstream file(path.c_str(), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    if (bytes.size() < sizeof(IMAGE_DOS_HEADER)) {
        return false;
    }
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, bytes.data(), sizeof dos);
    IMAGE_NT_HEADERS64 nt;
    const size_t ntAt = static_cast<size_t>(dos.e_lfanew);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || ntAt + sizeof nt > bytes.size()) {
        return false;
    }
    std::memcpy(&nt, bytes.data() + ntAt, sizeof nt);
    if (nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return false;
    }
    const size_t sectionsAt =
        ntAt + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    if (sectionsAt + sections.size() * sizeof(IMAGE_SECTION_HEADER) > bytes.size()) {
        return false;
    }
    std::memcpy(sections.data(), bytes.data() + sectionsAt,
                sections.size() * sizeof(IMAGE_SECTION_HEADER));
    headers.dllCharacteristics = nt.OptionalHeader.DllCharacteristics;
    headers.sections = sections;
    auto offsetOf = [&sections](DWORD rva, size_t& offset) {
        for (const auto& section : sections) {
            if (rva >= section.VirtualAddress &&
                rva < section.VirtualAddress + section.SizeOfRawData) {
                offset = rva - section.VirtualAddress + section.PointerToRawData;
                return true;
            }
        }
        return false;
    };
    const DWORD importRva =
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    size_t at = 0;
    if (importRva == 0) {
        return true;
    }
    if (!offsetOf(importRva, at)) {
        return false;
    }
    for (;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        if (at + sizeof descriptor > bytes.size()) {
            return false;
        }
        std::memcpy(&descriptor, bytes.data() + at, sizeof descriptor);
        if (descriptor.Name == 0) {
            return true;
        }
        size_t nameAt = 0;
        if (!offsetOf(descriptor.Name, nameAt)) {
            return false;
        }
        const char* name = bytes.data() + nameAt;
        names.emplace_back(name, strnlen(name, bytes.size() - nameAt));
    }
}

TEST(ShippedBinaries, AreRandomisedNonExecutableDataAndImportOnlyKnownSystemLibraries) {
    // Windows 7 to 11 list these under Session Manager\KnownDLLs (msvcrt and
    // the rest of the C run time's own imports included).
    const std::set<std::string> known = {
        "advapi32.dll", "combase.dll", "gdi32.dll",  "imagehlp.dll", "kernel32.dll",
        "msvcrt.dll",   "ole32.dll",   "oleaut32.dll", "psapi.dll",  "rpcrt4.dll",
        "sechost.dll",  "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
        "ws2_32.dll",   "ntdll.dll"};
    for (const wchar_t* program : {L"kgclient_update.exe", L"kgupdate-ctl.exe"}) {
        SCOPED_TRACE(std::string(program, program + std::wcslen(program)));
        ImageHeaders headers;
        ASSERT_TRUE(ReadImageHeaders(BuiltExecutable(program), headers));
        const struct {
            WORD flag;
            const char* what;
        } required[] = {
            {IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, "dynamic base"},
            {IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA, "high-entropy address space"},
            {IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "no-execute compatible"},
        };
        for (const auto& r : required) {
            EXPECT_NE(0, headers.dllCharacteristics & r.flag) << r.what;
        }
        ASSERT_FALSE(headers.sections.empty());
        for (const IMAGE_SECTION_HEADER& section : headers.sections) {
            const DWORD writableCode = IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE;
            EXPECT_NE(writableCode, section.Characteristics & writableCode)
                << std::string(reinterpret_cast<const char*>(section.Name),
                               strnlen(reinterpret_cast<const char*>(section.Name), 8))
                << " is writable and executable";
        }
        ASSERT_FALSE(headers.imports.empty());
        for (const std::string& name : headers.imports) {
            EXPECT_EQ(known.count(Lower(name)), 1u)
                << name << " is imported statically; it would be loaded from the program's folder";
        }
    }
}

TEST(ShippedBinaries, TheReaderSeesWhatAnExecutableImports) {
    // The test executable links the same libraries as usual: the reader sees them.
    ImageHeaders headers;
    ASSERT_TRUE(ReadImageHeaders(BuiltExecutable(L"host_tests.exe"), headers));
    std::set<std::string> lower;
    for (const auto& name : headers.imports) {
        lower.insert(Lower(name));
    }
    EXPECT_EQ(lower.count("winhttp.dll"), 1u);
    EXPECT_EQ(lower.count("version.dll"), 1u);
}

}  // namespace
