// A stand-in for a library that a user plants beside a program: named
// version.dll, it forwards the functions the product imports from the system's
// VERSION library to that library, and leaves a marker when a process loads
// it (C:\kg-planted-loaded.txt, one line: the loading program's path). The
// whole-process tests plant it in the cache folder and check that the worker
// never loads it.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

HMODULE SystemVersionLibrary() {
    static HMODULE library = [] {
        wchar_t folder[MAX_PATH] = {};
        const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
        const std::wstring path = std::wstring(folder, length) + L"\\version.dll";
        return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }();
    return library;
}

template <typename Function>
Function Forward(const char* name) {
    const HMODULE library = SystemVersionLibrary();
    return library != nullptr
               ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)))
               : nullptr;
}

void LeaveMarker() {
    wchar_t program[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    FILE* marker = _wfopen(L"C:\\kg-planted-loaded.txt", L"ab");
    if (marker != nullptr) {
        std::fprintf(marker, "%ls\n", program);
        std::fclose(marker);
    }
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        LeaveMarker();
    }
    return TRUE;
}

__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR file, LPDWORD handle) {
    const auto real = Forward<DWORD(WINAPI*)(LPCSTR, LPDWORD)>("GetFileVersionInfoSizeA");
    return real != nullptr ? real(file, handle) : 0;
}

__declspec(dllexport) BOOL WINAPI GetFileVersionInfoA(LPCSTR file, DWORD handle, DWORD size,
                                                      LPVOID data) {
    const auto real = Forward<BOOL(WINAPI*)(LPCSTR, DWORD, DWORD, LPVOID)>("GetFileVersionInfoA");
    return real != nullptr && real(file, handle, size, data);
}

__declspec(dllexport) BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer,
                                                 PUINT length) {
    const auto real = Forward<BOOL(WINAPI*)(LPCVOID, LPCSTR, LPVOID*, PUINT)>("VerQueryValueA");
    return real != nullptr && real(block, subBlock, buffer, length);
}

__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR file, LPDWORD handle) {
    const auto real = Forward<DWORD(WINAPI*)(LPCWSTR, LPDWORD)>("GetFileVersionInfoSizeW");
    return real != nullptr ? real(file, handle) : 0;
}

__declspec(dllexport) BOOL WINAPI GetFileVersionInfoW(LPCWSTR file, DWORD handle, DWORD size,
                                                      LPVOID data) {
    const auto real = Forward<BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID)>("GetFileVersionInfoW");
    return real != nullptr && real(file, handle, size, data);
}

__declspec(dllexport) BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer,
                                                 PUINT length) {
    const auto real = Forward<BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT)>("VerQueryValueW");
    return real != nullptr && real(block, subBlock, buffer, length);
}

}  // extern "C"
