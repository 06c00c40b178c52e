#include "common/known_folder.h"

#include "common/system_library.h"
#include "common/unique_handle.h"

namespace Common {

namespace {

using GetKnownFolderPath = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);

}  // namespace

HRESULT KnownFolderPath(const KNOWNFOLDERID& folder, std::wstring& path) {
    // COM's allocator frees the answer; both libraries go with this call.
    const LoadedLibrary com(LoadSystemLibrary(L"ole32.dll"));
    const LoadedLibrary shell(LoadSystemLibrary(L"shell32.dll"));
    if (!com || !shell) {
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
