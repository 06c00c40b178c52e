#pragma once

// The SHA-256 digest text of a file, computed straight from its bytes (an
// independent reference for the tests of the update pipeline).

#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>

#include <cryptopp/sha.h>

namespace testsupport {

inline std::wstring FileDigest(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    const std::string bytes = content.str();
    CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
    CryptoPP::SHA256().CalculateDigest(
        digest, reinterpret_cast<const CryptoPP::byte*>(bytes.data()), bytes.size());
    std::wstring text;
    for (CryptoPP::byte b : digest) {
        wchar_t hex[3];
        std::swprintf(hex, 3, L"%02X", b);
        text += hex;
    }
    return text;
}

}  // namespace testsupport
