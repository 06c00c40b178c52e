#pragma once

// Text for the fuzz targets as the product meets it on Windows: UTF-16 code
// units. wchar_t is 32 bits on Linux, so each 16-bit unit of the fuzz bytes
// (little-endian pairs) is widened to one wchar_t; the product's code sees
// the same units, lone surrogates included.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

namespace fuzz {

inline std::wstring WideUnits(const uint8_t* data, size_t size) {
    std::wstring text;
    text.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    return text;
}

// Up to `maxUnits` units from the provider.
inline std::wstring WideUnits(FuzzedDataProvider& input, size_t maxUnits) {
    const std::string bytes = input.ConsumeRandomLengthString(maxUnits * 2);
    return WideUnits(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// What a reader who undoes one level of JSON escapes sees: "\uXXXX" the unit
// it names, "\/", "\\" and "\"" the character; anything else as it stands.
inline std::wstring JsonDecoded(const std::wstring& text) {
    const auto hex = [](wchar_t c) -> int {
        if (c >= L'0' && c <= L'9') return c - L'0';
        if (c >= L'a' && c <= L'f') return c - L'a' + 10;
        if (c >= L'A' && c <= L'F') return c - L'A' + 10;
        return -1;
    };
    std::wstring decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\' || i + 1 >= text.size()) {
            decoded.push_back(text[i]);
            continue;
        }
        const wchar_t next = text[i + 1];
        if (next == L'/' || next == L'\\' || next == L'"') {
            decoded.push_back(next);
            ++i;
            continue;
        }
        if (next == L'u' && i + 5 < text.size()) {
            int value = 0;
            bool valid = true;
            for (size_t k = i + 2; k < i + 6 && valid; ++k) {
                const int digit = hex(text[k]);
                valid = digit >= 0;
                value = value * 16 + digit;
            }
            if (valid) {
                decoded.push_back(static_cast<wchar_t>(value));
                i += 5;
                continue;
            }
        }
        decoded.push_back(text[i]);
    }
    return decoded;
}

// For messages: the units as \uXXXX where they are not printable ASCII.
inline std::string Shown(const std::wstring& text) {
    std::string shown;
    for (const wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            shown.push_back(static_cast<char>(c));
        } else {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            shown += buffer;
        }
    }
    return shown;
}

}  // namespace fuzz
