#include "common/control_characters.h"

#include <cstdio>

namespace Common {

namespace {

// C0, DEL and C1; the line and paragraph separators; the bidirectional
// embeddings, overrides (U+202A to U+202E) and isolates (U+2066 to U+2069),
// which reorder what a reader sees.
bool IsControl(unsigned int c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
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

// The character that starts at `at` of UTF-8 `text` when it is one of the
// controls of more than one byte; 0 otherwise. `length` receives its bytes.
unsigned int Utf8Control(const std::string& text, size_t at, size_t& length) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    if (byte(at) == 0xC2 && at + 1 < text.size() && byte(at + 1) >= 0x80 && byte(at + 1) <= 0x9F) {
        length = 2;
        return byte(at + 1);
    }
    if (byte(at) == 0xE2 && at + 2 < text.size() && (byte(at + 1) == 0x80 || byte(at + 1) == 0x81) &&
        byte(at + 2) >= 0x80 && byte(at + 2) <= 0xBF) {
        const unsigned int c = 0x2000u | ((byte(at + 1) & 0x3Fu) << 6) | (byte(at + 2) & 0x3Fu);
        if (IsControl(c)) {
            length = 3;
            return c;
        }
    }
    return 0;
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
        size_t length = 1;
        unsigned int control = 0;
        if (byte < 0x20 || byte == 0x7F) {
            control = keep.find(static_cast<char>(byte)) == std::string::npos ? byte : 0;
        } else if (byte >= 0xC2) {
            control = Utf8Control(text, at, length);
        }
        if (control == 0 && byte != 0) {
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
        escaped += Escaped(control, buffer);
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
