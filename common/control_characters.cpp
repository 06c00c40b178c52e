#include "common/control_characters.h"

#include <cstdio>
#include <type_traits>

namespace Common {

namespace {

bool IsControl(unsigned int c) {
    return c < 0x20 || c == 0x7F;
}

// The visible form of one control character.
const char* Escaped(unsigned int c, char (&buffer)[8]) {
    switch (c) {
        case '\r':
            return "\\r";
        case '\n':
            return "\\n";
        case '\t':
            return "\\t";
        default:
            std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
            return buffer;
    }
}

template <typename Text>
bool Escape(Text& text, const std::string& keep) {
    size_t controls = 0;
    for (const auto c : text) {
        const auto code = static_cast<unsigned int>(static_cast<std::make_unsigned_t<typename Text::value_type>>(c));
        controls += IsControl(code) && keep.find(static_cast<char>(code)) == std::string::npos;
    }
    if (controls == 0) {
        return false;  // the common case: nothing allocated
    }
    Text escaped;
    escaped.reserve(text.size() + controls * 3);
    for (const auto c : text) {
        const auto code = static_cast<unsigned int>(static_cast<std::make_unsigned_t<typename Text::value_type>>(c));
        if (!IsControl(code) || keep.find(static_cast<char>(code)) != std::string::npos) {
            escaped.push_back(c);
            continue;
        }
        char buffer[8];
        for (const char* p = Escaped(code, buffer); *p != '\0'; ++p) {
            escaped.push_back(static_cast<typename Text::value_type>(*p));
        }
    }
    text.swap(escaped);
    return true;
}

}  // namespace

bool EscapeControlCharacters(std::wstring& text) {
    return Escape(text, std::string());
}

bool EscapeControlCharacters(std::string& text, const std::string& keep) {
    return Escape(text, keep);
}

}  // namespace Common
