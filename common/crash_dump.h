#pragma once

#include <windows.h>
#include <evntprov.h>

#include <cstddef>
#include <cstdint>

// A minidump of this process, carried as Base64 in trace events.

// Writes a minidump (with the exception when pointers are given) to a
// temporary file that deletes itself, and sends it (SendCrashReport).
void WriteCrashDump(EXCEPTION_POINTERS* pointers);

// ETW takes at most 64 KB per event, header included: a Base64 text of up to
// kMaxWholeReportChars goes whole in one event 2021; a longer one (a real
// minidump: hundreds of KB) goes as consecutive events 2022 of at most
// kReportPartChars each.
inline constexpr size_t kMaxWholeReportChars = size_t{60} * 1024;
inline constexpr size_t kReportPartChars = size_t{32} * 1024;

// Sends `length` characters of Base64 `text` (when the crash-report bit is
// enabled). An event write that fails logs an ERROR line.
void SendCrashReport(const wchar_t* moduleName, const char* text, size_t length);

void BuildCrashEventPayload(EVENT_DATA_DESCRIPTOR (&fields)[2], const wchar_t* moduleName,
                            const char* dump);

// The fields of one event 2022: module name, part index (from 0), part count,
// and the part's text (NUL-terminated).
void BuildCrashPartPayload(EVENT_DATA_DESCRIPTOR (&fields)[4], const wchar_t* moduleName,
                           const uint32_t& index, const uint32_t& count, const char* part);
