#pragma once

#include <windows.h>
#include <evntprov.h>

#include <cstdint>

// The list of loaded modules, one event 2020 each, on a trace session's
// request: what a crash dump's reader needs to find the symbols.

// One event 2020 per loaded module (when enable bit 10 is set); every module
// is examined either way.
void WriteModuleList();

// The fields of one event 2020, as the writer fills them.
struct ModuleEventFields {
    const char* path = nullptr;
    const char* debugDirectory = nullptr;  // Base64; "" when the copy failed
    ULONG_PTR loadAddress = 0;             // pointer-sized: above 4 GB on x64
    uint32_t imageSize = 0;                // unsigned 32-bit, as the event's layout has it
    const wchar_t* moduleName = nullptr;
    const char* fileVersion = nullptr;  // "" without a version resource
    USHORT machine = 0;                 // 487 when the headers are unreadable
};

void BuildModuleEventPayload(EVENT_DATA_DESCRIPTOR (&fields)[7], const ModuleEventFields& module);
