#include "common/checked_open.h"

namespace Common {

namespace {

// True when `facts` are those of what `expected` asks for.
bool IsExpected(const FileFacts& facts, Expect expected) {
    switch (expected) {
        case Expect::kAnything:
            return true;
        case Expect::kFolder:
            return (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                   (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        case Expect::kPlainTrustedFile:
            return IsPlainFile(facts) && IsTrustedOwner(facts.ownerSid);
    }
    return false;
}

}  // namespace

CheckedEntry OpenChecked(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                         Expect expected) {
    CheckedEntry entry;
    entry.handle = Files().Open(path, access, share, disposition);
    if (!entry.handle) {
        entry.error = ::GetLastError();
        return entry;
    }
    entry.error = Files().Inspect(entry.handle.Get(), entry.facts);
    entry.accepted = entry.error == ERROR_SUCCESS && IsExpected(entry.facts, expected);
    return entry;
}

}  // namespace Common
