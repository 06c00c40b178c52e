#include "common/file_system.h"

#include "common/process_account.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <vector>

namespace Common {

namespace {

// A descriptor from its text form; false (error kept) when the text is bad.
bool FromSddl(const wchar_t* sddl, LocalMemory& descriptor) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw,
                                                                nullptr)) {
        return false;
    }
    descriptor.Reset(raw);
    return true;
}

std::wstring SidText(PSID sid) {
    wchar_t* raw = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &raw)) {
        return std::wstring();
    }
    const LocalMemory owned(raw);
    return std::wstring(raw);
}

}  // namespace

DWORD FileSystem::CreateFolder(const std::wstring& path, const wchar_t* sddl) {
    LocalMemory descriptor;
    if (!FromSddl(sddl, descriptor)) {
        return ::GetLastError();
    }
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.Get();
    attributes.bInheritHandle = FALSE;
    return ::CreateDirectoryW(path.c_str(), &attributes) ? ERROR_SUCCESS : ::GetLastError();
}

DWORD FileSystem::ApplySecurity(HANDLE handle, const wchar_t* sddl) {
    LocalMemory descriptor;
    if (!FromSddl(sddl, descriptor)) {
        return ::GetLastError();
    }
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    PACL dacl = nullptr;
    BOOL daclPresent = FALSE;
    BOOL daclDefaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor.Get(), &owner, &ownerDefaulted) ||
        !::GetSecurityDescriptorDacl(descriptor.Get(), &daclPresent, &dacl, &daclDefaulted)) {
        return ::GetLastError();
    }
    return ::SetSecurityInfo(handle, SE_FILE_OBJECT,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                 PROTECTED_DACL_SECURITY_INFORMATION,
                             owner, nullptr, dacl, nullptr);
}

DWORD FileSystem::Inspect(HANDLE handle, FileFacts& facts) {
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!::GetFileInformationByHandle(handle, &information)) {
        return ::GetLastError();
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                          &owner, nullptr, nullptr, nullptr, &raw);
    const LocalMemory descriptor(raw);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    facts.attributes = information.dwFileAttributes;
    facts.links = information.nNumberOfLinks;
    facts.ownerSid = SidText(owner);
    return ERROR_SUCCESS;
}

KernelHandle FileSystem::Open(const std::wstring& path, DWORD access, DWORD share,
                              DWORD disposition) {
    return KernelHandle(::CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                                          FILE_FLAG_BACKUP_SEMANTICS,
                                      nullptr));
}

FileSystem& FileSystem::Platform() {
    static FileSystem platform;
    return platform;
}

bool IsTrustedOwner(const std::wstring& ownerSid) {
    const std::wstring& ownAccount = OwnAccountSid();
    return ownerSid == L"S-1-5-18" || ownerSid == L"S-1-5-32-544" ||
           (!ownAccount.empty() && ownerSid == ownAccount);
}

bool IsPlainFile(const FileFacts& facts) {
    return (facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           facts.links == 1;
}

bool DeleteThroughHandle(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                        sizeof(disposition)) != FALSE;
}

bool RenameThroughHandle(HANDLE handle, const std::wstring& newPath) {
    // FILE_RENAME_INFO ends in the name; the structure is allocated with room for it.
    const size_t bytes = sizeof(FILE_RENAME_INFO) + newPath.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(bytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(newPath.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, newPath.c_str(), newPath.size() * sizeof(wchar_t));
    return ::SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                        static_cast<DWORD>(bytes)) != FALSE;
}

bool DeleteWithoutFollowing(const std::wstring& path) {
    const KernelHandle entry = Files().Open(path, DELETE | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            OPEN_EXISTING);
    if (!entry) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!::GetFileInformationByHandle(entry.Get(), &information)) {
        return false;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return DeleteThroughHandle(entry.Get());
}

}  // namespace Common
