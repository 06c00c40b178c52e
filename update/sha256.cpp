#include "update/sha256.h"

#include <windows.h>

#include <cstring>
#include <fstream>
#include <vector>

#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/sha.h>

#include "common/console_text.h"
#include "common/log.h"
#include "common/trace_scope.h"

namespace {

constexpr size_t kReadBufferBytes = 1024 * 1024;

// SHA-256 -> upper-case hex, no separators, no terminator -> `digest`. The
// chain owns the filters it is given.
CryptoPP::BufferedTransformation* DigestChain(CryptoPP::SHA256& hash, std::string& digest) {
    const bool uppercase = true;
    const int groupSize = 0;
    return new CryptoPP::HashFilter(
        hash,
        new CryptoPP::HexEncoder(new CryptoPP::StringSink(digest), uppercase, groupSize, ":", ""),
        false, -1);
}

std::wstring FromConsoleNarrow(const std::string& text) {
    const UINT codePage = ::GetConsoleCP();
    const int length = ::MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.c_str(), -1, buffer.data(), length);
    return std::wstring(buffer.data());
}

}  // namespace

bool Sha256::CheckFile(const std::wstring& path, const std::wstring& expected) const {
    TraceScope trace;
    Log::Info(L"Computing Sha256 hash for file: [%s]", path.c_str());
    const std::string narrowPath = ToConsoleNarrow(path);
    const std::string narrowExpected = ToConsoleNarrow(expected);

    // The file source pulls 1 KiB at a time; a large stream buffer turns that
    // into one read of the file per MiB. (libstdc++ takes the buffer only
    // before open; other libraries keep their own default.)
    std::vector<char> streamBuffer(kReadBufferBytes);
    std::ifstream stream;
    stream.rdbuf()->pubsetbuf(streamBuffer.data(),
                              static_cast<std::streamsize>(streamBuffer.size()));
    stream.open(narrowPath.c_str(), std::ios::in | std::ios::binary);
    if (!stream.is_open()) {
        throw CryptoPP::FileStore::OpenErr(narrowPath);
    }

    std::string digest;
    CryptoPP::SHA256 hash;
    const bool pumpAll = true;
    CryptoPP::FileSource source(stream, pumpAll, DigestChain(hash, digest));

    const bool isMatch = std::strcmp(digest.c_str(), narrowExpected.c_str()) == 0;
    Log::Info(L"Expected hash: [%s], computed hash: [%S].  Comparison IsMatch result is: [%s]",
              expected.c_str(), digest.c_str(), isMatch ? L"TRUE" : L"FALSE");
    return isMatch;
}

std::wstring Sha256::HashText(const std::wstring& text) const {
    TraceScope trace;
    Log::Info(L"Computing Sha256 hash for text: [%s]", text.c_str());
    const std::string narrowText = ToConsoleNarrow(text);

    std::string digest;
    CryptoPP::SHA256 hash;
    const bool pumpAll = true;
    CryptoPP::StringSource source(narrowText, pumpAll, DigestChain(hash, digest));

    std::wstring result = FromConsoleNarrow(digest);
    Log::Info(L"Sha256 hash: [%s]", result.c_str());
    return result;
}
