#pragma once

#include <windows.h>
#include <evntprov.h>

#include <cstddef>
#include <cstdint>

// Crash reporting through the trace provider: the list of loaded modules
// (event 2020, on a session's request) and, after an unhandled structured
// exception or an abort, a minidump carried as Base64 in one event (2021).
// The handlers are armed only when a session asks; otherwise a crash takes
// the platform's default course.

// Set once a dump was written for an unhandled exception; the abort that
// follows it then makes no second one.
extern volatile LONG crashDumped;

// Installs OnAbortSignal for SIGABRT and OnUnhandledException as the
// top-level exception filter (again on every call, never chained).
void ArmCrashHandlers();

// One event 2020 per loaded module (when enable bit 10 is set); every module
// is examined either way.
void WriteModuleList();

// Writes a minidump (with the exception when pointers are given) to a
// temporary file that deletes itself, and sends it (SendCrashReport).
void WriteCrashDump(EXCEPTION_POINTERS* pointers);

// ETW takes at most 64 KB per event, header included: a Base64 text of up to
// kMaxWholeReportChars goes whole in one event 2021; a longer one (a real
// minidump: hundreds of KB) goes as consecutive events 2022 of at most
// kReportPartChars each.
inline constexpr size_t kMaxWholeReportChars = 60 * 1024;
inline constexpr size_t kReportPartChars = 32 * 1024;

// Sends `length` characters of Base64 `text` (when the crash-report bit is
// enabled). An event write that fails logs an ERROR line.
void SendCrashReport(const wchar_t* moduleName, const char* text, size_t length);

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers);
void OnAbortSignal(int signal);

// RFC 4648 Base64, padded, no line breaks, no NUL. `length`: in, the
// capacity; out, the encoded length (also when it does not fit: false).
[[nodiscard]] bool Base64Encode(const uint8_t* input, size_t count, char* output, size_t& length);

// Copies a module's debug directory entries, each followed (after all the
// entries) by its data, with address of raw data 0 and pointer to raw data
// rebased to the copy. An entry whose data is not mapped in the image
// (address of raw data 0) or not readable contributes its entry with a data
// size of 0. Returns 0, ERROR_INSUFFICIENT_BUFFER (size = bytes needed) or
// ERROR_INVALID_ADDRESS (headers or directory not readable or not valid).
[[nodiscard]] DWORD CopyDebugDirectory(const void* loadAddress, uint8_t* buffer, size_t& size);

// The NT headers, their optional header and section table are readable, the
// signature is PE and the optional header is of the 32- or 64-bit kind.
[[nodiscard]] bool IsValidNtHeaders(const IMAGE_NT_HEADERS* headers);

// The fields of one event 2020, as the writer fills them.
struct ModuleEventFields {
    const char* path = nullptr;
    const char* debugDirectory = nullptr;  // Base64; "" when the copy failed
    ULONG_PTR loadAddress = 0;             // pointer-sized: above 4 GB on x64
    ULONG_PTR imageSize = 0;
    const wchar_t* moduleName = nullptr;
    const char* fileVersion = nullptr;  // "" without a version resource
    USHORT machine = 0;                 // 487 when the headers are unreadable
};

void BuildModuleEventPayload(EVENT_DATA_DESCRIPTOR (&fields)[7], const ModuleEventFields& module);
void BuildCrashEventPayload(EVENT_DATA_DESCRIPTOR (&fields)[2], const wchar_t* moduleName,
                            const char* dump);

// The fields of one event 2022: module name, part index (from 0), part count,
// and the part's text (NUL-terminated).
void BuildCrashPartPayload(EVENT_DATA_DESCRIPTOR (&fields)[4], const wchar_t* moduleName,
                           const uint32_t& index, const uint32_t& count, const char* part);
