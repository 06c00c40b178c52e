#include "common/file_system.h"

#include "common/process_account.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <cstring>
#include <utility>
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
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    const DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT, wanted, &owner, nullptr,
                                          nullptr, nullptr, &raw);
    const LocalMemory descriptor(raw);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    facts.attributes = information.dwFileAttributes;
    facts.links = information.nNumberOfLinks;
    facts.ownerSid = SidText(owner);
    wchar_t* text = nullptr;
    facts.descriptorSddl.clear();
    if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(raw, SDDL_REVISION_1, wanted, &text,
                                                               nullptr)) {
        const LocalMemory ownedText(text);
        facts.descriptorSddl = text;
    }
    return ERROR_SUCCESS;
}

KernelHandle FileSystem::CreateNewFile(const std::wstring& path, const wchar_t* sddl,
                                       DWORD access, DWORD share) {
    LocalMemory descriptor;
    if (!FromSddl(sddl, descriptor)) {
        return KernelHandle();
    }
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.Get();
    attributes.bInheritHandle = FALSE;
    return KernelHandle(::CreateFileW(path.c_str(), access, share, &attributes, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
}

KernelHandle ReopenForReading(KernelHandle file) {
    // First a reader that lets the writer be (its handle shares reading
    // only), then, the writer closed, the reader that shares reading only.
    KernelHandle reader(::ReOpenFile(file.Get(), GENERIC_READ | READ_CONTROL,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
    if (!reader) {
        return KernelHandle();
    }
    file.Reset();
    return KernelHandle(::ReOpenFile(reader.Get(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, 0));
}

namespace {

// NtCreateFile, for opens relative to a folder's handle: the Win32 file API
// opens by path only. ntdll is mapped into every process before any of its
// code runs, so it is taken from the loaded modules, never searched for.
struct UnicodeText {
    USHORT length;
    USHORT maximumLength;
    PWSTR buffer;
};
struct ObjectAttributes {
    ULONG length;
    HANDLE rootDirectory;
    UnicodeText* objectName;
    ULONG attributes;
    PVOID securityDescriptor;
    PVOID securityQualityOfService;
};
struct IoStatus {
    union {
        LONG status;
        PVOID pointer;
    };
    ULONG_PTR information;
};
using NtCreateFileFunction = LONG(WINAPI*)(PHANDLE, ACCESS_MASK, ObjectAttributes*, IoStatus*,
                                           PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID,
                                           ULONG);
using NtStatusToErrorFunction = ULONG(WINAPI*)(LONG);

constexpr ULONG kObjCaseInsensitive = 0x40;
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileSynchronousIoNonalert = 0x20;
constexpr ULONG kFileOpenForBackupIntent = 0x4000;
constexpr ULONG kFileOpenReparsePoint = 0x00200000;

}  // namespace

namespace {

constexpr ULONG kFileCreate = 2;
constexpr ULONG kFileNonDirectoryFile = 0x40;

// NtCreateFile for the entry `name` of the folder open at `folder`, relative
// to that handle, never following a reparse point.
KernelHandle CreateRelative(HANDLE folder, const std::wstring& name, DWORD access, DWORD share,
                            ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR descriptor) {
    static const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    static const auto create = reinterpret_cast<NtCreateFileFunction>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtCreateFile")));
    static const auto toError = reinterpret_cast<NtStatusToErrorFunction>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    // One name of the folder itself: no separator, stream or parent.
    if (create == nullptr || toError == nullptr || name.empty() || name == L"." ||
        name == L".." || name.size() * sizeof(wchar_t) > 0xFFFE ||
        name.find_first_of(L"\\/:") != std::wstring::npos) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return KernelHandle();
    }
    std::wstring text = name;
    UnicodeText unicode = {static_cast<USHORT>(text.size() * sizeof(wchar_t)),
                           static_cast<USHORT>(text.size() * sizeof(wchar_t)), &text[0]};
    ObjectAttributes object = {sizeof(ObjectAttributes), folder, &unicode, kObjCaseInsensitive,
                               descriptor, nullptr};
    IoStatus status = {};
    HANDLE opened = nullptr;
    const LONG result =
        create(&opened, access | SYNCHRONIZE, &object, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
               share, disposition,
               options | kFileSynchronousIoNonalert | kFileOpenForBackupIntent |
                   kFileOpenReparsePoint,
               nullptr, 0);
    if (result < 0) {
        ::SetLastError(toError(result));
        return KernelHandle();
    }
    return KernelHandle(opened);
}

}  // namespace

KernelHandle FileSystem::OpenChild(HANDLE folder, const std::wstring& name, DWORD access,
                                   DWORD share) {
    return CreateRelative(folder, name, access, share, kFileOpen, 0, nullptr);
}

KernelHandle FileSystem::CreateNewChild(HANDLE folder, const std::wstring& name,
                                        const wchar_t* sddl, DWORD access, DWORD share) {
    LocalMemory descriptor;
    if (!FromSddl(sddl, descriptor)) {
        return KernelHandle();
    }
    return CreateRelative(folder, name, access, share, kFileCreate, kFileNonDirectoryFile,
                          descriptor.Get());
}

DWORD FileSystem::List(HANDLE folder, std::vector<FolderEntry>& entries) {
    // Through a handle made from `folder` for this listing (not from a path):
    // Wine reads a handle's listing once and gives the same on every restart,
    // which would miss what was created or deleted since.
    const KernelHandle fresh(::ReOpenFile(folder, FILE_LIST_DIRECTORY,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          FILE_FLAG_BACKUP_SEMANTICS));
    const HANDLE listed = fresh ? fresh.Get() : folder;
    alignas(8) unsigned char buffer[16 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(listed, kind, buffer, sizeof buffer)) {
        kind = FileFullDirectoryInfo;
        for (size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + at);
            FolderEntry found;
            found.name.assign(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            found.attributes = entry->FileAttributes;
            found.lastWrite.dwLowDateTime = static_cast<DWORD>(entry->LastWriteTime.QuadPart);
            found.lastWrite.dwHighDateTime =
                static_cast<DWORD>(static_cast<uint64_t>(entry->LastWriteTime.QuadPart) >> 32);
            if (found.name != L"." && found.name != L"..") {
                entries.push_back(std::move(found));
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
}

bool ListFolder(HANDLE folder, std::vector<FolderEntry>& entries) {
    const DWORD error = Files().List(folder, entries);
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

bool ListFolder(HANDLE folder, std::vector<std::wstring>& names) {
    std::vector<FolderEntry> entries;
    const bool listed = ListFolder(folder, entries);
    for (FolderEntry& entry : entries) {
        names.push_back(std::move(entry.name));
    }
    return listed;
}

DWORD DeleteChild(HANDLE folder, const std::wstring& name) {
    const KernelHandle entry =
        Files().OpenChild(folder, name, DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!entry) {
        return ::GetLastError();
    }
    FileFacts facts;
    const DWORD inspected = Files().Inspect(entry.Get(), facts);
    if (inspected != ERROR_SUCCESS) {
        return inspected;
    }
    if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return ERROR_DIRECTORY;
    }
    return DeleteThroughHandle(entry.Get()) ? ERROR_SUCCESS : ::GetLastError();
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
