#pragma once

// Compatibility: running a call under a structured exception handler.
// Visual C++ has __try/__except; gcc has neither, and mingw-w64 offers the
// __try1/__except1 assembler macros instead, which may appear once per
// function. RPC client stubs report failures (server unavailable, ...) as
// structured exceptions, so every RPC call is made through this.

#include <windows.h>

namespace Common {

using GuardedCall = void (*)(void* context);

// Runs call(context). Returns 0 when it returned normally, else the code of
// the structured exception that ended it (which is then handled).
[[nodiscard]] DWORD RunWithExceptionGuard(GuardedCall call, void* context);

}  // namespace Common
