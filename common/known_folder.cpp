#include "common/known_folder.h"

#include "common/system_library.h"
#include "common/unique_handle.h"

namespace Common {

namespace {

struct LibraryTraits {
    using Handle = HMODULE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::FreeLibrary(h); }
};
using Library = UniqueHandle<LibraryTraits>;

using GetKnownFolderPath = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);

}  // namespace

HRESULT KnownFolderPath(const KNOWNFOLDERID& folder, std::wstring& path) {
    const Library shell(LoadSystemLibrary(L"shell32.dll"));
    if (!shell) {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    const auto get = reinterpret_cast<GetKnownFolderPath>(
        reinterpret_cast<void*>(::GetProcAddress(shell.Get(), "SHGetKnownFolderPath")));
    if (get == nullptr) {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    CoTaskMemText text;
    const HRESULT result = get(folder, 0, nullptr, text.Receive());
    if (result == S_OK) {
        path = text.Get();
    }
    return result;
}

}  // namespace Common
