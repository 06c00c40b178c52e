// The Win32 calls of the stand-in <windows.h> for the native fuzz build.

#include "tests/fuzz/stand_ins/win32_fuzzing.h"

#include <windows.h>

namespace {

thread_local DWORD lastError = 0;
thread_local const uint8_t* readableStart = nullptr;
thread_local size_t readableSize = 0;

}  // namespace

void SetReadableForFuzzing(const void* start, size_t size) {
    readableStart = static_cast<const uint8_t*>(start);
    readableSize = size;
}

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD error) {
    lastError = error;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) {
    const auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; };
    for (;; ++a, ++b) {
        const wchar_t x = fold(*a);
        const wchar_t y = fold(*b);
        if (x != y || x == L'\0') {
            return x < y ? -1 : x > y ? 1 : 0;
        }
    }
}

BOOL IsBadReadPtr(const void* pointer, size_t size) {
    const auto at = reinterpret_cast<uintptr_t>(pointer);
    const auto start = reinterpret_cast<uintptr_t>(readableStart);
    if (readableStart == nullptr || at < start || at - start > readableSize) {
        return TRUE;
    }
    return size > readableSize - (at - start) ? TRUE : FALSE;
}

// Nothing below is ever reached by a fuzzed path: what owns such a handle
// is never created in the fuzz build.
BOOL CloseHandle(HANDLE) {
    return TRUE;
}
BOOL FindClose(HANDLE) {
    return TRUE;
}
void* LocalFree(void*) {
    return nullptr;
}
BOOL FreeLibrary(HMODULE) {
    return TRUE;
}
HMODULE GetModuleHandleW(const wchar_t*) {
    return nullptr;
}
FARPROC GetProcAddress(HMODULE, const char*) {
    return nullptr;
}
BOOL UnmapViewOfFile(const void*) {
    return TRUE;
}
LSTATUS RegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}
BOOL DeregisterEventSource(HANDLE) {
    return TRUE;
}
