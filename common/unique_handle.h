#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

namespace Common {

// Owns one Windows handle and closes it exactly once. Traits supply the handle
// type, its "no handle" value, the validity test and the close call:
//
//   struct Traits {
//       using Handle = ...;
//       static Handle Invalid() noexcept;
//       static bool IsValid(Handle h) noexcept;
//       static void Close(Handle h) noexcept;
//   };
template <typename Traits>
class UniqueHandle {
  public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept : handle_(Traits::Invalid()) {}
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    [[nodiscard]] bool IsValid() const noexcept { return Traits::IsValid(handle_); }
    explicit operator bool() const noexcept { return IsValid(); }
    [[nodiscard]] Handle Get() const noexcept { return handle_; }

    // Gives up ownership without closing.
    [[nodiscard]] Handle Release() noexcept {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    // Closes the owned handle (if any, and unless it is `handle` itself) and
    // takes ownership of `handle`. The caller's last error survives the close,
    // so a failure can be logged after the handles involved were released.
    void Reset(Handle handle = Traits::Invalid()) noexcept {
        if (handle_ != handle && Traits::IsValid(handle_)) {
            const DWORD lastError = ::GetLastError();
            Traits::Close(handle_);
            ::SetLastError(lastError);
        }
        handle_ = handle;
    }

    // For APIs that return a handle through an out parameter.
    [[nodiscard]] Handle* Receive() noexcept {
        Reset();
        return &handle_;
    }

  private:
    Handle handle_;
};

// Kernel objects: processes, threads, events, files. Both null and
// INVALID_HANDLE_VALUE mean "no handle" (APIs disagree on which they return).
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// FindFirstFileW searches.
struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::FindClose(h); }
};
using FindHandle = UniqueHandle<FindHandleTraits>;

// Memory the shell and COM hand out (SHGetKnownFolderPath, ...), given back
// through COM's own allocator. The program does not import COM: whoever
// receives such memory holds ole32 loaded (from the system folder) for as
// long as the memory lives.
struct CoTaskMemTraits {
    using Handle = wchar_t*;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept {
        using Free = void(WINAPI*)(LPVOID);
        const HMODULE com = ::GetModuleHandleW(L"ole32.dll");
        const auto free = com != nullptr ? reinterpret_cast<Free>(reinterpret_cast<void*>(
                                               ::GetProcAddress(com, "CoTaskMemFree")))
                                         : nullptr;
        if (free != nullptr) {
            free(h);
        }
    }
};
using CoTaskMemText = UniqueHandle<CoTaskMemTraits>;

// Memory from LocalAlloc (security descriptors, SID texts, signer records).
struct LocalMemoryTraits {
    using Handle = void*;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::LocalFree(h); }
};
using LocalMemory = UniqueHandle<LocalMemoryTraits>;

// Libraries loaded at run time (LoadLibrary).
struct LoadedLibraryTraits {
    using Handle = HMODULE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::FreeLibrary(h); }
};
using LoadedLibrary = UniqueHandle<LoadedLibraryTraits>;

// Views of a file mapping (MapViewOfFile).
struct MappedViewTraits {
    using Handle = const void*;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::UnmapViewOfFile(h); }
};
using MappedView = UniqueHandle<MappedViewTraits>;

// Open registry keys.
struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::RegCloseKey(h); }
};
using RegistryKey = UniqueHandle<RegistryKeyTraits>;

// Event sources of the Event Log (RegisterEventSourceW).
struct EventSourceTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::DeregisterEventSource(h); }
};
using EventSource = UniqueHandle<EventSourceTraits>;

}  // namespace Common
