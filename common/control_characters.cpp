#include "common/control_characters.h"

#include <cstdio>

namespace Common {

namespace {

// C0, DEL and C1; the line and paragraph separators; the marks, embeddings,
// overrides and isolates of bidirectional text (U+061C, U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069), which reorder what a reader sees.
bool IsControl(unsigned int c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// The visible form of one control character: "\r", "\n", "\t", "\x1b" below
// 0x100, "\u2028" above.
const char* Escaped(unsigned int c, char (&buffer)[12]) {
    switch (c) {
        case '\r':
            return "\\r";
        case '\n':
            return "\\n";
        case '\t':
            return "\\t";
        default:
            std::snprintf(buffer, sizeof buffer, c < 0x100 ? "\\x%02x" : "\\u%04x", c);
            return buffer;
    }
}

// The well-formed UTF-8 sequence that starts at `at`: its length (0 when
// none starts there: a stray or cut byte) and the character it encodes.
size_t Utf8Sequence(const std::string& text, size_t at, unsigned int& c) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned int lead = byte(at);
    size_t length = 0;
    unsigned int least = 0;
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1Fu;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0Fu;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07u;
        least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80) {
            return 0;
        }
        c = (c << 6) | (byte(at + i) & 0x3Fu);
    }
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    return c >= least && c <= 0x10FFFF && !surrogate ? length : 0;
}

}  // namespace

bool EscapeControlCharacters(std::wstring& text) {
    size_t controls = 0;
    for (const wchar_t c : text) {
        controls += IsControl(static_cast<unsigned int>(c)) ? 1 : 0;
    }
    if (controls == 0) {
        return false;  // the common case: nothing allocated
    }
    std::wstring escaped;
    escaped.reserve(text.size() + controls * 5);
    for (const wchar_t c : text) {
        if (!IsControl(static_cast<unsigned int>(c))) {
            escaped.push_back(c);
            continue;
        }
        char buffer[12];
        for (const char* p = Escaped(static_cast<unsigned int>(c), buffer); *p != '\0'; ++p) {
            escaped.push_back(static_cast<wchar_t>(*p));
        }
    }
    text.swap(escaped);
    return true;
}

bool EscapeControlCharacters(std::string& text, const std::string& keep) {
    std::string escaped;
    bool changed = false;
    for (size_t at = 0; at < text.size();) {
        const unsigned int byte = static_cast<unsigned char>(text[at]);
        unsigned int c = 0;
        size_t length = Utf8Sequence(text, at, c);
        bool control = false;
        if (length == 0) {
            // A byte of no well-formed sequence: in 0x80 to 0x9F it is a C1
            // control to a terminal that reads bytes.
            length = 1;
            c = byte;
            control = byte >= 0x80 && byte <= 0x9F;
        } else {
            control = IsControl(c) && (c == 0 || c >= 0x80 ||
                                       keep.find(static_cast<char>(c)) == std::string::npos);
        }
        if (!control) {
            if (changed) {
                escaped.append(text, at, length);
            }
            at += length;
            continue;
        }
        if (!changed) {
            escaped.assign(text, 0, at);
            changed = true;
        }
        char buffer[12];
        escaped += Escaped(c, buffer);
        at += length;
    }
    if (changed) {
        text.swap(escaped);
    }
    return changed;
}

void EscapeControlCharactersForJson(std::wstring& json) {
    std::wstring escaped;
    bool changed = false;
    for (size_t at = 0; at < json.size(); ++at) {
        const unsigned int c = static_cast<unsigned int>(json[at]);
        if (!IsControl(c)) {
            if (changed) {
                escaped.push_back(json[at]);
            }
            continue;
        }
        if (!changed) {
            escaped.assign(json, 0, at);
            changed = true;
        }
        wchar_t buffer[8];
        std::swprintf(buffer, 8, L"\\u%04x", c);
        escaped += buffer;
    }
    if (changed) {
        json.swap(escaped);
    }
}

}  // namespace Common
