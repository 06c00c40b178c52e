#pragma once

#include <windows.h>

#include <string>

#include "common/file_system.h"
#include "common/unique_handle.h"

namespace Common {

// What an entry must be for OpenChecked to accept it.
enum class Expect {
    kAnything,          // any entry: only its facts are read
    kFolder,            // a folder that is not a reparse point
    kPlainTrustedFile,  // IsPlainFile, and its owner IsTrustedOwner
};

// An entry opened by OpenChecked, with what its handle says about it.
struct CheckedEntry {
    KernelHandle handle;          // open whenever the open worked, also when refused
    FileFacts facts;              // read through `handle`; empty when that failed
    DWORD error = ERROR_SUCCESS;  // of the open or of reading the facts
    bool accepted = false;        // opened, facts read, and as expected

    [[nodiscard]] bool Opened() const { return static_cast<bool>(handle); }
};

// The one way the service opens an entry somebody else may have placed:
// `path` itself is opened (a link or junction there is opened and judged,
// never what it points at), its facts are read through that same handle and
// judged against `expected`. What is judged is what the handle stays open
// on: callers use the handle from here on, never the path again.
[[nodiscard]] CheckedEntry OpenChecked(const std::wstring& path, DWORD access, DWORD share,
                                       DWORD disposition, Expect expected);

}  // namespace Common
