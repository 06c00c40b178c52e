#include "common/log.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>

#include "common/console_text.h"
#include "common/control_characters.h"
#include "common/redact_credentials.h"
#include "common/run_log.h"
#include "common/trace_payload.h"
#include "common/trace_provider.h"
#include "common/wide_format.h"

uint32_t Log::destinations = 0;
int32_t Log::threshold = 0;
const wchar_t* Log::moduleName = nullptr;

namespace {

struct LevelTraits {
    const wchar_t* lineFormat;
    TraceEnableBit bit;
};

// Indexed by LogLevel. Each prefix is 10 characters: the level word
// right-aligned in 7, then " : ".
constexpr LevelTraits kLevels[] = {
    {nullptr, kTraceBitError},
    {L"  ERROR : %s\n", kTraceBitError},
    {L"WARNING : %s\n", kTraceBitWarning},
    {L"   INFO : %s\n", kTraceBitInfo},
    {L"VERBOSE : %s\n", kTraceBitVerbose},
    {L"  ENTER : %s\n", kTraceBitEnter},
    {L"   EXIT : %s\n", kTraceBitExit},
};

const LevelTraits& TraitsOf(LogLevel level) {
    return kLevels[static_cast<int32_t>(level)];
}

INIT_ONCE initOnce = INIT_ONCE_STATIC_INIT;
std::atomic<bool> initialized{false};
std::atomic<bool> crashing{false};
wchar_t modulePath[MAX_PATH];

BOOL CALLBACK InitializeOnce(PINIT_ONCE, PVOID ranHere, PVOID*) {
    const DWORD length = ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    if (length == 0) {
        modulePath[0] = L'\0';
    }
    Log::moduleName = Log::FindModuleName(modulePath);
    traceProvider.Register();
    *static_cast<bool*>(ranHere) = true;
    initialized.store(true, std::memory_order_release);
    return TRUE;
}

// The message as every destination gets it: a URL's user name and password,
// and the values of parameters that commonly hold secrets, masked over the
// whole text (before any cut, so that no part of them shows),
// control characters written visibly (a caller's text cannot forge a line or
// reach a terminal as a sequence), then cut to the buffer.
void ComposeMessage(wchar_t (&message)[Log::kBufferChars], const wchar_t* format, va_list args) {
    std::wstring text = Common::FormatWideText(format, args);
    if (text.find_first_of(L"@=\\") != std::wstring::npos) {
        (void)Common::RedactCredentials(text);
    }
    (void)Common::EscapeControlCharacters(text);
    const size_t length = text.size() < Log::kBufferChars - 1 ? text.size() : Log::kBufferChars - 1;
    text.copy(message, length);
    message[length] = L'\0';
}

// The run's log file takes INFO and higher, whatever the console shows.
bool WantedByRunLog(LogLevel level) {
    return RunLog::Wants(level);
}

}  // namespace

void Log::Initialize() {
    if (initialized.load(std::memory_order_acquire)) {
        return;
    }
    bool ranHere = false;
    (void)::InitOnceExecuteOnce(&initOnce, &InitializeOnce, &ranHere, nullptr);
    // The crash-reporting hooks log as well, so they run once the
    // initialisation is complete (a log call inside it would wait on itself),
    // and only on the thread that ran it.
    if (ranHere) {
        traceProvider.RunRegistrationHooks();
    }
}

bool Log::IsWanted(LogLevel level) {
    Initialize();
    const bool text = threshold >= static_cast<int32_t>(level) && destinations != 0;
    return text || WantedByRunLog(level) || traceProvider.IsEnabled(TraitsOf(level).bit);
}

const wchar_t* Log::FindModuleName(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/') {
            name = p + 1;
        }
    }
    return name;
}

void Log::FormatLine(wchar_t (&line)[kBufferChars], LogLevel level, const wchar_t* message) {
    Common::FormatWide(line, TraitsOf(level).lineFormat, message);
    // A line longer than the buffer would lose its line feed (and run into
    // the next one): it ends with a marker and its line feed instead.
    const size_t length = std::wcslen(line);
    if (length == kBufferChars - 1 && line[length - 1] != L'\n') {
        const size_t markerChars = sizeof(kCutMarker) / sizeof(wchar_t) - 1;
        std::wmemcpy(line + (kBufferChars - 1 - markerChars), kCutMarker, markerChars);
    }
}

void Log::EnterCrashMode() {
    crashing.store(true, std::memory_order_release);
}

void Log::WriteDuringCrash(LogLevel level, const wchar_t* format, va_list args) {
    // The crash handlers' own texts: nothing of a caller's to mask or escape.
    wchar_t message[kBufferChars];
    Common::FormatWide(message, kBufferChars, format != nullptr ? format : L"", args);
    const LevelTraits& traits = TraitsOf(level);
    if (traceProvider.IsEnabled(traits.bit)) {
        EVENT_DATA_DESCRIPTOR fields[2];
        BuildLogEventPayload(fields, moduleName, message);
        traceProvider.Write(traits.bit, 2, fields);
    }
    wchar_t line[kBufferChars];
    FormatLine(line, level, message);
    if (WantedByRunLog(level)) {
        RunLog::WriteDuringCrash(line);
    }
    if (threshold < static_cast<int32_t>(level) || destinations == 0) {
        return;
    }
    if ((destinations & LogDestination::Debugger) != 0) {
        ::OutputDebugStringW(line);
    }
    if ((destinations & LogDestination::Console) != 0) {
        char narrow[kBufferChars * 4];
        const size_t bytes = ToConsoleNarrowInto(line, narrow, sizeof(narrow));
        DWORD written = 0;
        (void)::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), narrow, static_cast<DWORD>(bytes),
                          &written, nullptr);
    }
}

void Log::Write(LogLevel level, const wchar_t* format, va_list args) {
    // Callers log a failure and then read the last error again: writing the
    // line must not change it.
    const DWORD lastError = ::GetLastError();
    struct RestoreLastError {
        DWORD error;
        ~RestoreLastError() { ::SetLastError(error); }
    } restore{lastError};
    if (crashing.load(std::memory_order_acquire)) {
        WriteDuringCrash(level, format, args);
        return;
    }

    const LevelTraits& traits = TraitsOf(level);
    const bool text = threshold >= static_cast<int32_t>(level) && destinations != 0;

    wchar_t message[kBufferChars];
    ComposeMessage(message, format, args);

    if (traceProvider.IsEnabled(traits.bit)) {
        EVENT_DATA_DESCRIPTOR fields[2];
        BuildLogEventPayload(fields, moduleName, message);
        traceProvider.Write(traits.bit, 2, fields);
    }
    const bool file = WantedByRunLog(level);
    if (!text && !file) {
        return;
    }

    wchar_t line[kBufferChars];
    FormatLine(line, level, message);
    if (file) {
        RunLog::Write(level, line);
    }
    if (!text) {
        return;
    }
    if ((destinations & LogDestination::Debugger) != 0) {
        ::OutputDebugStringW(line);
    }
    if ((destinations & LogDestination::Console) != 0) {
        // One write per line: lines of different threads never mix.
        const std::string narrow = ToConsoleNarrow(line);
        std::fwrite(narrow.data(), 1, narrow.size(), stdout);
        std::fflush(stdout);
    }
}

// The cheap path first: nothing is formatted unless a destination wants it.
void Log::Error(const wchar_t* format, ...) {
    if (!IsWanted(LogLevel::Error)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Write(LogLevel::Error, format, args);
    va_end(args);
}

void Log::Warning(const wchar_t* format, ...) {
    if (!IsWanted(LogLevel::Warning)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Write(LogLevel::Warning, format, args);
    va_end(args);
}

void Log::Info(const wchar_t* format, ...) {
    if (!IsWanted(LogLevel::Info)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Write(LogLevel::Info, format, args);
    va_end(args);
}

void Log::Verbose(const wchar_t* format, ...) {
    if (!IsWanted(LogLevel::Verbose)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Write(LogLevel::Verbose, format, args);
    va_end(args);
}

void Log::Enter(const wchar_t* format, ...) {
    if (!IsWanted(LogLevel::Enter)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Write(LogLevel::Enter, format, args);
    va_end(args);
}

void Log::Exit(const wchar_t* format, ...) {
    if (!IsWanted(LogLevel::Exit)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Write(LogLevel::Exit, format, args);
    va_end(args);
}
