#include "common/base64.h"

bool Base64Encode(const uint8_t* input, size_t count, char* output, size_t& length) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t encoded = Base64EncodedLength(count);
    if (output == nullptr || length < encoded) {
        length = encoded;
        return false;
    }
    size_t out = 0;
    for (size_t i = 0; i < count; i += 3) {
        const uint32_t b0 = input[i];
        const uint32_t b1 = i + 1 < count ? input[i + 1] : 0;
        const uint32_t b2 = i + 2 < count ? input[i + 2] : 0;
        const uint32_t group = (b0 << 16) | (b1 << 8) | b2;
        output[out++] = kAlphabet[(group >> 18) & 0x3F];
        output[out++] = kAlphabet[(group >> 12) & 0x3F];
        output[out++] = i + 1 < count ? kAlphabet[(group >> 6) & 0x3F] : '=';
        output[out++] = i + 2 < count ? kAlphabet[group & 0x3F] : '=';
    }
    length = encoded;
    return true;
}
