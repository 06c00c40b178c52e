#pragma once

#include <windows.h>
#include <evntprov.h>

// Event fields. Texts are written with their terminating NUL; a null text is
// written as "NULL" (wide: 10 bytes, narrow: 5 bytes).
void SetWideTextField(EVENT_DATA_DESCRIPTOR& field, const wchar_t* text);
void SetNarrowTextField(EVENT_DATA_DESCRIPTOR& field, const char* text);

// The payload of the six log events: the program's module name, then the
// message. The descriptors point into the given texts.
void BuildLogEventPayload(EVENT_DATA_DESCRIPTOR (&fields)[2], const wchar_t* moduleName,
                          const wchar_t* message);
