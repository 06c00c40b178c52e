#pragma once

#include <windows.h>
#include <winhttp.h>

#include "common/unique_handle.h"

// Session, connection and request handles of WinHTTP.
struct WinHttpHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::WinHttpCloseHandle(h); }
};
using WinHttpHandle = Common::UniqueHandle<WinHttpHandleTraits>;
