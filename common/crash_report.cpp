#include "common/crash_report.h"

#include <csignal>

#include "common/log.h"
#include "common/trace_provider.h"

volatile LONG crashDumped = 0;

namespace {

// An abort's exception context comes from a C++ throw of the integer 0,
// seen by a vectored handler of the throwing thread (gcc has no __except;
// this works the same with Visual C++).
volatile DWORD abortDumpThread = 0;

LONG WINAPI DumpThrownException(EXCEPTION_POINTERS* pointers) {
    if (abortDumpThread == ::GetCurrentThreadId()) {
        abortDumpThread = 0;
        WriteCrashDump(pointers);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    Log::EnterCrashMode();
    const unsigned long code = pointers != nullptr ? pointers->ExceptionRecord->ExceptionCode : 0;
    Log::Error(L"An unhandled exception was thrown with error code %lu", code);
    WriteCrashDump(pointers);
    Log::Info(L"Finished dumping fault information for exception %lu", code);
    crashDumped = 1;
    std::raise(SIGABRT);
    return EXCEPTION_CONTINUE_SEARCH;
}

void OnAbortSignal(int) {
    Log::EnterCrashMode();
    Log::Error(L"The process terminated abnormally");
    if (crashDumped != 0) {
        return;
    }
    void* handler = ::AddVectoredExceptionHandler(1, &DumpThrownException);
    abortDumpThread = ::GetCurrentThreadId();
    try {
        throw 0;
    } catch (int) {
        Log::Info(L"Finished dumping fault information for abnormal termination");
    }
    abortDumpThread = 0;
    if (handler != nullptr) {
        ::RemoveVectoredExceptionHandler(handler);
    }
}

void StartCrashReporting() {
    traceProvider.SetCrashReportingHooks(&WriteModuleList, &ArmCrashHandlers);
    if (traceProvider.RegistrationHandle() != 0) {
        traceProvider.RunRegistrationHooks();
    }
}

void ArmCrashHandlers() {
    std::signal(SIGABRT, &OnAbortSignal);
    ::SetUnhandledExceptionFilter(&OnUnhandledException);
}
