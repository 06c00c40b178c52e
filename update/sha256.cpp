#include "update/sha256.h"

#include <algorithm>

#include <windows.h>

#include <cstring>
#include <memory>
#include <vector>

#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/secblock.h>
#include <cryptopp/sha.h>

#include "common/console_text.h"
#include "common/log.h"
#include "common/trace_scope.h"

namespace {

// Bytes read (and hashed) at a time.
constexpr size_t kReadBlockBytes = size_t{256} * 1024;

// Hands the file source one large block to read into and passes each block on
// whole. Without it the source reads straight into the hash's own 64-byte
// block buffer: one stream read and one single-block hash per 64 bytes.
class ReadBlockFilter : public CryptoPP::Bufferless<CryptoPP::Filter> {
  public:
    explicit ReadBlockFilter(CryptoPP::BufferedTransformation* attachment) : block_(kBlockBytes) {
        Detach(attachment);
    }

    CryptoPP::byte* CreatePutSpace(size_t& size) override {
        size = block_.size();
        return block_.data();
    }

    size_t Put2(const CryptoPP::byte* input, size_t length, int messageEnd,
                bool blocking) override {
        return Output(1, input, length, messageEnd, blocking);
    }

  private:
    static constexpr size_t kBlockBytes = kReadBlockBytes;
    CryptoPP::SecByteBlock block_;
};

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

    std::string digest;
    CryptoPP::SHA256 hash;
    const bool pumpAll = true;
    const bool binary = true;
    CryptoPP::FileSource source(narrowPath.c_str(), pumpAll,
                                new ReadBlockFilter(DigestChain(hash, digest)), binary);

    const bool isMatch = std::strcmp(digest.c_str(), narrowExpected.c_str()) == 0;
    Log::Info(L"Expected hash: [%s], computed hash: [%S].  Comparison IsMatch result is: [%s]",
              expected.c_str(), digest.c_str(), isMatch ? L"TRUE" : L"FALSE");
    return isMatch;
}

bool Sha256::CheckOpenFile(HANDLE file, const std::wstring& path, const std::wstring& expected,
                           std::wstring* computed) const {
    TraceScope trace;
    Log::Info(L"Computing Sha256 hash for file: [%s]", path.c_str());
    const std::string narrowExpected = ToConsoleNarrow(expected);

    std::string digest;
    CryptoPP::SHA256 hash;
    std::unique_ptr<CryptoPP::BufferedTransformation> chain(DigestChain(hash, digest));
    LARGE_INTEGER start = {};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        throw CryptoPP::FileStore::ReadErr();
    }
    std::vector<CryptoPP::byte> block(kReadBlockBytes);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &read, nullptr)) {
            throw CryptoPP::FileStore::ReadErr();
        }
        if (read == 0) {
            break;
        }
        chain->Put(block.data(), read);
    }
    chain->MessageEnd();

    const bool isMatch = std::strcmp(digest.c_str(), narrowExpected.c_str()) == 0;
    if (computed != nullptr) {
        computed->assign(digest.begin(), digest.end());
    }
    Log::Info(L"Expected hash: [%s], computed hash: [%S].  Comparison IsMatch result is: [%s]",
              expected.c_str(), digest.c_str(), isMatch ? L"TRUE" : L"FALSE");
    return isMatch;
}

std::wstring Sha256::HashText(const std::wstring& text) const {
    TraceScope trace;
    Log::Info(L"Computing Sha256 hash for text: [%s]", text.c_str());
    const bool ascii =
        std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
    const std::string narrowText = ascii ? ToConsoleNarrow(text) : ToNarrow(text, CP_UTF8);

    std::string digest;
    CryptoPP::SHA256 hash;
    const bool pumpAll = true;
    CryptoPP::StringSource source(narrowText, pumpAll, DigestChain(hash, digest));

    std::wstring result = FromConsoleNarrow(digest);
    Log::Info(L"Sha256 hash: [%s]", result.c_str());
    return result;
}

bool Sha256::IsDigestText(const std::wstring& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](wchar_t c) {
               return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') ||
                      (c >= L'A' && c <= L'F');
           });
}

void Sha256::RaiseOpenError(const std::wstring& path) {
    throw CryptoPP::FileStore::OpenErr(ToConsoleNarrow(path));
}

std::wstring Sha256::NormalizedDigest(const std::wstring& text) {
    if (!IsDigestText(text)) {
        return text;
    }
    std::wstring upper = text;
    for (wchar_t& c : upper) {
        c = (c >= L'a' && c <= L'f') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    }
    return upper;
}
