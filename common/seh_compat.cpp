#include "common/seh_compat.h"

namespace Common {

#if defined(_MSC_VER)

DWORD RunWithExceptionGuard(GuardedCall call, void* context) {
    __try {
        call(context);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return 0;
}

#else

namespace {
thread_local DWORD caughtCode = 0;
}  // namespace

// The filter of __try1: remembers the code and handles every exception.
// Control then resumes after __except1. Referenced from assembler only.
extern "C" __attribute__((used)) LONG KgExceptionGuardFilter(EXCEPTION_POINTERS* pointers, void*) {
    caughtCode = pointers->ExceptionRecord->ExceptionCode;
    return EXCEPTION_EXECUTE_HANDLER;
}

__attribute__((noinline)) DWORD RunWithExceptionGuard(GuardedCall call, void* context) {
    caughtCode = 0;
    __try1(KgExceptionGuardFilter) call(context);
    __except1;
    return caughtCode;
}

#endif

}  // namespace Common
