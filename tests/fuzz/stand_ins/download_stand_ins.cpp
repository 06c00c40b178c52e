// Stand-ins for what the download code calls outside itself in the native
// fuzz build: WinHTTP (every call fails: the fuzz target answers through the
// request's virtual steps), URL cracking and proxy settings (never reached),
// the cache file (in memory), the volume's reserve, the run log and the
// system's error texts.

#include <winhttp.h>

#include <string>

#include "common/disk_reserve.h"
#include "common/run_log.h"
#include "common/system_error_text.h"
#include "http/download_file.h"
#include "http/proxy_settings.h"
#include "http/url_components.h"
#include "tests/fuzz/stand_ins/memory_disk.h"

namespace fuzz {

std::map<std::wstring, std::string>& MemoryDisk() {
    static std::map<std::wstring, std::string> files;
    return files;
}

bool& VolumeHasRoom() {
    static bool room = true;
    return room;
}

}  // namespace fuzz

namespace {

BOOL Fails() {
    ::SetLastError(ERROR_WINHTTP_CANNOT_CONNECT);
    return FALSE;
}

}  // namespace

BOOL WinHttpCloseHandle(HINTERNET) {
    return TRUE;
}
HINTERNET WinHttpOpen(const wchar_t*, DWORD, const wchar_t*, const wchar_t*, DWORD) {
    Fails();
    return nullptr;
}
HINTERNET WinHttpConnect(HINTERNET, const wchar_t*, INTERNET_PORT, DWORD) {
    Fails();
    return nullptr;
}
HINTERNET WinHttpOpenRequest(HINTERNET, const wchar_t*, const wchar_t*, const wchar_t*,
                             const wchar_t*, const wchar_t**, DWORD) {
    Fails();
    return nullptr;
}
BOOL WinHttpSetOption(HINTERNET, DWORD, void*, DWORD) {
    return Fails();
}
BOOL WinHttpSetTimeouts(HINTERNET, int, int, int, int) {
    return Fails();
}
BOOL WinHttpAddRequestHeaders(HINTERNET, const wchar_t*, DWORD, DWORD) {
    return Fails();
}
BOOL WinHttpSendRequest(HINTERNET, const wchar_t*, DWORD, void*, DWORD, DWORD, DWORD_PTR) {
    return Fails();
}
BOOL WinHttpReceiveResponse(HINTERNET, void*) {
    return Fails();
}
BOOL WinHttpQueryHeaders(HINTERNET, DWORD, const wchar_t*, void*, DWORD*, DWORD*) {
    return Fails();
}
BOOL WinHttpQueryDataAvailable(HINTERNET, DWORD*) {
    return Fails();
}
BOOL WinHttpReadData(HINTERNET, void*, DWORD, DWORD*) {
    return Fails();
}

bool UrlComponents::Crack() {
    return false;
}

ProxySettings GetProxySettings() {
    return ProxySettings();
}

bool DownloadFile::Exists() {
    return fuzz::MemoryDisk().count(path_) != 0;
}

bool DownloadFile::Size(uint32_t& size) const {
    const auto found = fuzz::MemoryDisk().find(path_);
    if (found == fuzz::MemoryDisk().end()) {
        return false;
    }
    size = static_cast<uint32_t>(found->second.size());
    return true;
}

bool DownloadFile::Write(const uint8_t* bytes, size_t count) {
    fuzz::MemoryDisk()[path_].append(reinterpret_cast<const char*>(bytes), count);
    return true;
}

void DownloadFile::Close() {}

void DownloadFile::Delete() {
    fuzz::MemoryDisk().erase(path_);
}

bool LeavesReserve(const std::wstring&, uint64_t) {
    return fuzz::VolumeHasRoom();
}

RunLog::Quiet::Quiet() = default;
RunLog::Quiet::~Quiet() = default;

void RunLog::Note(const wchar_t*) {}

namespace Common {

std::wstring ErrorNumber(DWORD code) {
    return L"error " + std::to_wstring(code);
}

std::wstring DescribeSystemError(DWORD code) {
    return ErrorNumber(code);
}

}  // namespace Common
