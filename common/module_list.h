#pragma once

#include <windows.h>
#include <evntprov.h>

#include <cstdint>

// The list of loaded modules, one event 2020 each, on a trace session's
// request: what a crash dump's reader needs to find the symbols.

// One event 2020 per loaded module (when enable bit 10 is set); every module
// is examined either way.
void WriteModuleList();

// The fields of one event 2020, as the writer fills them, in the event's
// order. The load address keeps its published place and width (its low 32
// bits), so that decoders built to that layout read every later field where
// it was; the whole address (above 4 GB on x64) follows as the last field.
struct ModuleEventFields {
    const char* path = nullptr;
    const char* debugDirectory = nullptr;  // Base64; "" when the copy failed
    uint32_t loadAddressLow = 0;           // the load address's low 32 bits
    uint32_t imageSize = 0;                // unsigned 32-bit, as the event's layout has it
    const wchar_t* moduleName = nullptr;
    const char* fileVersion = nullptr;  // "" without a version resource
    USHORT machine = 0;                 // 487 when the headers are unreadable
    uint64_t loadAddress = 0;           // the whole load address
};

// The module's load address into both of its fields.
void SetLoadAddress(ModuleEventFields& module, const void* base);

constexpr ULONG kModuleEventFieldCount = 8;
void BuildModuleEventPayload(EVENT_DATA_DESCRIPTOR (&fields)[kModuleEventFieldCount],
                             const ModuleEventFields& module);
