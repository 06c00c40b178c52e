#pragma once

// What the tests know of the local HTTPS update server (tools/update_server.py)
// that the test run starts: its addresses, its generated content and its
// request log.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Trusted certificate on 443 and 8443; an untrusted CA's on 9443.
inline const std::wstring kServer = L"https://localhost";
inline const std::wstring kServerPort8443 = L"https://localhost:8443";
inline const std::wstring kUntrustedServer = L"https://localhost:9443";

// The server's generated content: byte i of any /gen/<n>/ resource.
inline std::string GeneratedBytes(size_t offset, size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) {
        const size_t at = offset + i;
        bytes[i] = static_cast<char>((at * 7 + at / 251) % 256);
    }
    return bytes;
}

// A URL path of generated content, unique per test by `name`.
inline std::wstring GeneratedPath(size_t size, const std::wstring& name) {
    return L"/gen/" + std::to_wstring(size) + L"/" + name;
}

struct ServerRequest {
    int port = 0;
    int status = 0;
    long long bodyBytes = 0;
    std::string range;  // "-" when none
    std::string path;
};

// Requests whose path ends with `pathSuffix` (or, with `anywhere`, holds it),
// in the order they were served. Waits (up to 30 s) until at least `atLeast`
// are logged: the server logs a request right after its last byte, which can
// be after the client is done.
inline std::vector<ServerRequest> ServerRequests(const std::string& pathSuffix, size_t atLeast = 0,
                                                 bool anywhere = false) {
    std::vector<ServerRequest> found;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
        found.clear();
        std::ifstream log(KG_TEST_WORK_DIR "/requests.log");
        std::string line;
        while (std::getline(log, line)) {
            std::istringstream fields(line);
            ServerRequest request;
            std::string port, status, bytes;
            std::getline(fields, port, '\t');
            std::getline(fields, status, '\t');
            std::getline(fields, bytes, '\t');
            std::getline(fields, request.range, '\t');
            std::getline(fields, request.path);
            const bool matches =
                anywhere ? request.path.find(pathSuffix) != std::string::npos
                         : request.path.size() >= pathSuffix.size() &&
                               request.path.compare(request.path.size() - pathSuffix.size(),
                                                    pathSuffix.size(), pathSuffix) == 0;
            if (matches) {
                request.port = std::stoi(port);
                request.status = std::stoi(status);
                request.bodyBytes = std::stoll(bytes);
                found.push_back(request);
            }
        }
        if (found.size() >= atLeast) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return found;
}

inline std::string Narrow(const std::wstring& ascii) {
    return std::string(ascii.begin(), ascii.end());
}

// A signed (or unsigned) test executable made by tools/make-signed-fixtures,
// also served by the server under /signed/<name>.
inline std::wstring SignedFixture(const std::wstring& name) {
    std::wstring path = L"" KG_TEST_WORK_DIR L"/www/signed/" + name;
    for (auto& c : path) {
        c = c == L'/' ? L'\\' : c;
    }
    return path;
}

// A file of the test's own scratch folder, removed at the end of the test.
class ScratchFile {
  public:
    explicit ScratchFile(const std::wstring& name) {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"kg-test-" + name;
        ::DeleteFileW(path_.c_str());
    }
    ~ScratchFile() { ::DeleteFileW(path_.c_str()); }

    const std::wstring& Path() const { return path_; }

    void Write(const std::string& bytes) const {
        std::ofstream file(path_.c_str(), std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::string Read() const {
        std::ifstream file(path_.c_str(), std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }
    bool Exists() const { return ::GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES; }

  private:
    std::wstring path_;
};

}  // namespace testsupport
