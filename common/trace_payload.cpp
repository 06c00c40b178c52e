#include "common/trace_payload.h"

#include <cstring>
#include <cwchar>

void SetWideTextField(EVENT_DATA_DESCRIPTOR& field, const wchar_t* text) {
    if (text == nullptr) {
        text = L"NULL";
    }
    EventDataDescCreate(&field, text,
                        static_cast<ULONG>((std::wcslen(text) + 1) * sizeof(wchar_t)));
}

void SetNarrowTextField(EVENT_DATA_DESCRIPTOR& field, const char* text) {
    if (text == nullptr) {
        text = "NULL";
    }
    EventDataDescCreate(&field, text, static_cast<ULONG>(std::strlen(text) + 1));
}

void BuildLogEventPayload(EVENT_DATA_DESCRIPTOR (&fields)[2], const wchar_t* moduleName,
                          const wchar_t* message) {
    SetWideTextField(fields[0], moduleName);
    SetWideTextField(fields[1], message);
}
