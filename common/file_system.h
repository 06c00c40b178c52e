#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/scoped_override.h"
#include "common/unique_handle.h"

namespace Common {

// One entry of a folder as its listing gives it.
struct FolderEntry {
    std::wstring name;
    DWORD attributes = 0;
    FILETIME lastWrite = {};
};

// What an open handle says about the file or folder behind it.
struct FileFacts {
    DWORD attributes = 0;
    DWORD links = 0;
    std::wstring ownerSid;  // string form (S-1-5-18, ...); empty when unknown
    // Owner and access list as SDDL ("O:BAD:P(A;OICI;FA;;;SY)..."); empty
    // when they cannot be read.
    std::wstring descriptorSddl;
};

// The calls through which the service creates, judges, protects and deletes
// the files and folders of its cache. Every open here refuses to follow a
// reparse point: a junction or link that somebody else planted is itself
// opened (and judged), never what it points at.
//
// A seam (scoped_override.h): tests put one of their own in its place
// (ScopedFileSystem) to see the descriptors passed and to report facts that
// the platform under test cannot produce.
class FileSystem {
  public:
    virtual ~FileSystem() = default;

    // The platform's own.
    [[nodiscard]] static FileSystem& Platform();

    // Creates one folder with the descriptor `sddl`. ERROR_SUCCESS, or the
    // error (ERROR_ALREADY_EXISTS when it is there already).
    [[nodiscard]] virtual DWORD CreateFolder(const std::wstring& path, const wchar_t* sddl);

    // Gives the open folder or file the owner and protected DACL of `sddl`.
    [[nodiscard]] virtual DWORD ApplySecurity(HANDLE handle, const wchar_t* sddl);

    // Attributes, link count and owner of what `handle` is open on.
    [[nodiscard]] virtual DWORD Inspect(HANDLE handle, FileFacts& facts);

    // Opens `path` itself, never a reparse point's target. Folders open too.
    [[nodiscard]] virtual KernelHandle Open(const std::wstring& path, DWORD access, DWORD share,
                                            DWORD disposition);

    // Creates the file `path`, which must not exist (a link there is not
    // followed: the create fails), with the descriptor `sddl`, open with
    // `access` and `share`. An empty handle (error kept) when it fails.
    [[nodiscard]] virtual KernelHandle CreateNewFile(const std::wstring& path, const wchar_t* sddl,
                                                     DWORD access, DWORD share);

    // Opens the existing entry `name` of the folder open at `folder`,
    // relative to that handle (no path is walked again, so nothing swapped
    // in on the way is followed), never a reparse point's target. An empty
    // handle (error kept in GetLastError) when it fails.
    [[nodiscard]] virtual KernelHandle OpenChild(HANDLE folder, const std::wstring& name,
                                                 DWORD access, DWORD share);

    // Creates the file `name` in the folder open at `folder`, relative to
    // that handle, which must not exist (nothing there is followed: the
    // create fails), with the descriptor `sddl`, open with `access` and
    // `share`. An empty handle (error kept) when it fails.
    [[nodiscard]] virtual KernelHandle CreateNewChild(HANDLE folder, const std::wstring& name,
                                                      const wchar_t* sddl, DWORD access,
                                                      DWORD share);

    // Appends the entries of the folder open at `folder` (with
    // FILE_LIST_DIRECTORY), read through that handle, without "." and "..".
    // ERROR_SUCCESS, or the error that stopped the listing.
    [[nodiscard]] virtual DWORD List(HANDLE folder, std::vector<FolderEntry>& entries);
};

// The instance in use.
[[nodiscard]] inline FileSystem& Files() {
    return Current<FileSystem>();
}

// Puts another file system in place of the instance in use for its lifetime.
using ScopedFileSystem = ScopedOverride<FileSystem>;

// Owners whose files the service trusts: SYSTEM, the Administrators group,
// and the account the service's own process runs as.
[[nodiscard]] bool IsTrustedOwner(const std::wstring& ownerSid);

// A handle to the file open at `file` (which was opened sharing read only)
// for reading and sharing read only, made from that handle, not from a path;
// `file` is closed. So a file written through one handle is then held for
// reading without any moment in which it is open by path.
[[nodiscard]] KernelHandle ReopenForReading(KernelHandle file);

// The entries of the folder open at `folder` (FileSystem::List). False
// (error kept) when they cannot be read.
[[nodiscard]] bool ListFolder(HANDLE folder, std::vector<FolderEntry>& entries);

// The same, names only.
[[nodiscard]] bool ListFolder(HANDLE folder, std::vector<std::wstring>& names);

// Deletes the entry `name` of the folder open at `folder` through a handle
// opened relative to it (the entry itself, never a link's target; a folder
// that is not a link stays: ERROR_DIRECTORY). ERROR_SUCCESS, or the error
// (ERROR_FILE_NOT_FOUND when nothing is there).
[[nodiscard]] DWORD DeleteChild(HANDLE folder, const std::wstring& name);

// A plain file: not a folder, not a reparse point, exactly one name.
[[nodiscard]] bool IsPlainFile(const FileFacts& facts);

// Marks the file or (empty) folder that `handle` is open on (with DELETE
// access) for deletion; it goes when the last handle closes.
[[nodiscard]] bool DeleteThroughHandle(HANDLE handle);

// Renames the file or folder that `handle` is open on (with DELETE access) to
// `newPath` in the same volume, failing when something stands there.
[[nodiscard]] bool RenameThroughHandle(HANDLE handle, const std::wstring& newPath);

// Deletes the file at `path` itself: a link or junction found there is
// deleted, never what it points at; a folder is left alone. False (the
// error kept in GetLastError) when nothing was deleted.
[[nodiscard]] bool DeleteWithoutFollowing(const std::wstring& path);

}  // namespace Common
