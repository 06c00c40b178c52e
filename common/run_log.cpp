#include "common/run_log.h"

#include <algorithm>
#include <vector>

#include "common/file_system.h"
#include "common/log.h"
#include "common/wide_format.h"

std::atomic<bool> RunLog::open_{false};
std::atomic<uint64_t> RunLog::written_{0};
uint64_t RunLog::capBytes_ = RunLog::kDefaultCapBytes;
std::wstring RunLog::path_;
Common::KernelHandle RunLog::file_;

namespace {

constexpr char kCapLine[] =
    "   INFO : This run's log file has reached its size limit; later lines go to ETW and the "
    "console only\n";

std::string Utf8(const wchar_t* text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return std::string();
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], size, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

// The run files of the folder, oldest first.
std::vector<std::wstring> RunFiles(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    Common::FindHandle search(::FindFirstFileW((folder + L"\\*.log").c_str(), &entry));
    if (search.IsValid()) {
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                names.emplace_back(entry.cFileName);
            }
        } while (::FindNextFileW(search.Get(), &entry));
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

bool RunLog::IsFileName(const std::wstring& name) {
    // "YYYYMMDD-hhmmssZ-<pid>.log"
    constexpr size_t kStampChars = 17;  // through "Z-"
    constexpr wchar_t kExtension[] = L".log";
    constexpr size_t kExtensionChars = sizeof(kExtension) / sizeof(wchar_t) - 1;
    if (name.size() <= kStampChars + kExtensionChars || name.size() > kStampChars + 10 + kExtensionChars ||
        name.compare(name.size() - kExtensionChars, kExtensionChars, kExtension) != 0) {
        return false;
    }
    for (size_t i = 0; i < name.size() - kExtensionChars; ++i) {
        const wchar_t c = name[i];
        const bool digit = c >= L'0' && c <= L'9';
        if (i == 8 || i == 16 ? c != L'-' : i == 15 ? c != L'Z' : !digit) {
            return false;
        }
    }
    return true;
}

std::wstring RunLog::FileName(const SYSTEMTIME& startUtc, DWORD processId) {
    wchar_t name[64];
    Common::FormatWide(name, L"%04u%02u%02u-%02u%02u%02uZ-%lu.log",
                       static_cast<unsigned>(startUtc.wYear),
                       static_cast<unsigned>(startUtc.wMonth),
                       static_cast<unsigned>(startUtc.wDay),
                       static_cast<unsigned>(startUtc.wHour),
                       static_cast<unsigned>(startUtc.wMinute),
                       static_cast<unsigned>(startUtc.wSecond),
                       static_cast<unsigned long>(processId));
    return name;
}

void RunLog::Disable(const wchar_t* what, DWORD error) {
    open_.store(false, std::memory_order_release);
    Log::Error(L"The log file of this run is disabled: %s failed with error [%lu]", what, error);
}

bool RunLog::Start(const std::wstring& folder, const wchar_t* sddl, const SYSTEMTIME& startUtc,
                   DWORD processId, uint64_t capBytes) {
    Stop();
    const DWORD created = Common::Files().CreateFolder(folder, sddl);
    if (created != ERROR_SUCCESS && created != ERROR_ALREADY_EXISTS) {
        Disable(L"creating the log folder", created);
        return false;
    }
    {
        const Common::KernelHandle held = Common::Files().Open(
            folder, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
            OPEN_EXISTING);
        Common::FileFacts facts;
        const DWORD inspected =
            held ? Common::Files().Inspect(held.Get(), facts) : ::GetLastError();
        if (inspected != ERROR_SUCCESS) {
            Disable(L"examining the log folder", inspected);
            return false;
        }
        if ((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            Disable(L"the log folder is a reparse point or not a directory; opening it",
                    ERROR_CANT_ACCESS_FILE);
            return false;
        }
    }
    // The oldest runs go, so that with this one kKeptRuns remain.
    const std::vector<std::wstring> runs = RunFiles(folder);
    for (size_t i = 0; i + (kKeptRuns - 1) < runs.size(); ++i) {
        (void)Common::DeleteWithoutFollowing(folder + L"\\" + runs[i]);
    }
    path_ = folder + L"\\" + FileName(startUtc, processId);
    file_ = Common::Files().Open(path_, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ,
                                 CREATE_ALWAYS);
    if (!file_) {
        const DWORD error = ::GetLastError();
        path_.clear();
        Disable(L"creating the log file", error);
        return false;
    }
    capBytes_ = capBytes;
    written_.store(0, std::memory_order_relaxed);
    open_.store(true, std::memory_order_release);
    return true;
}

bool RunLog::Start(const std::wstring& folder, const wchar_t* sddl) {
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    return Start(folder, sddl, now, ::GetCurrentProcessId());
}

void RunLog::Write(const wchar_t* line) {
    if (!IsOpen()) {
        return;
    }
    const std::string bytes = Utf8(line);
    // Each line reserves its bytes first: only the one that crosses the cap
    // writes the final line, and nothing is written after it.
    const uint64_t start = written_.fetch_add(bytes.size(), std::memory_order_relaxed);
    const char* data = bytes.data();
    DWORD size = static_cast<DWORD>(bytes.size());
    if (start + bytes.size() > capBytes_) {
        if (start > capBytes_) {
            return;
        }
        data = kCapLine;
        size = static_cast<DWORD>(sizeof(kCapLine) - 1);
    }
    DWORD done = 0;
    if (!::WriteFile(file_.Get(), data, size, &done, nullptr) || done != size) {
        Disable(L"writing the log file", ::GetLastError());
    }
}

void RunLog::Stop() {
    open_.store(false, std::memory_order_release);
    file_.Reset();
    path_.clear();
}
