#pragma once

// Base64 back to bytes, for tests and test tools that read what the crash
// report sends. Stops at the first '=' or NUL, or after `limit` bytes.

#include <cstddef>
#include <cstdint>
#include <string>

namespace testsupport {

inline std::string Base64Decode(const char* text, size_t limit = std::string::npos) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t group = 0;
    int bits = 0;
    for (const char* p = text; *p != '\0' && *p != '=' && out.size() < limit; ++p) {
        group = (group << 6) | static_cast<uint32_t>(alphabet.find(*p));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((group >> bits) & 0xFF);
        }
    }
    return out;
}

}  // namespace testsupport
