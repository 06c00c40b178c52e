#pragma once

#include <cstddef>
#include <cstdint>

// The length of the Base64 text of `count` bytes (padded).
[[nodiscard]] constexpr size_t Base64EncodedLength(size_t count) {
    return (count + 2) / 3 * 4;
}

// RFC 4648 Base64, padded, no line breaks, no NUL. `length`: in, the
// capacity; out, the encoded length (also when it does not fit: false).
[[nodiscard]] bool Base64Encode(const uint8_t* input, size_t count, char* output, size_t& length);
