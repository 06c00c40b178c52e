#include "common/run_log.h"

#include <cstdio>
#include <algorithm>
#include <vector>

#include "common/access_list.h"
#include "common/checked_open.h"
#include "common/file_system.h"
#include "common/run_log_window.h"
#include "common/wide_format.h"

namespace {

// Holds an SRW lock exclusively until released or destroyed. Lines of many
// threads meet here: an SRW lock waits without a round trip through the
// kernel's object manager, which a contended mutex object would cost.
class ExclusiveLock {
  public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(&lock) { ::AcquireSRWLockExclusive(lock_); }
    ~ExclusiveLock() { Release(); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
    void Release() {
        if (lock_ != nullptr) {
            ::ReleaseSRWLockExclusive(lock_);
            lock_ = nullptr;
        }
    }

  private:
    SRWLOCK* lock_;
};

}  // namespace

struct RunLog::State {
    using Line = RunLogWindow::Line;

    SRWLOCK lock = SRWLOCK_INIT;  // in-process: no kernel call when uncontended
    Common::KernelHandle folder;  // held for the run, judged when it started
    Common::KernelHandle file;
    uint64_t capBytes = kDefaultCapBytes;
    uint64_t size = 0;     // bytes in the file, `pending` included
    std::string pending;   // the file's last bytes, not written yet
    ULONGLONG flushed = 0;  // when `pending` was last written (tick count)
    std::wstring path;     // this run's file; empty when there is none
    uint64_t headEnd = 0;  // where the window starts; 0 while the head grows
    RunLogWindow window;
};

std::atomic<bool> RunLog::open_{false};

RunLog::State& RunLog::state() {
    static State* const instance = new State();  // lives as long as the process
    return *instance;
}

namespace {

// Room kept for the line that says how many lines were left out.
constexpr uint64_t kLeftOutLineRoom = 256;

// INFO lines are kept in memory and written together: when this much has
// come, when a second has passed since the last write, and at once with
// every WARNING or ERROR line and the run's end.
constexpr size_t kPendingBytes = size_t{64} * 1024;
constexpr ULONGLONG kPendingMs = 1000;

thread_local int quietScopes = 0;

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

// "2026-12-10T15:48:00.123Z "
std::string TimeStamp() {
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    char stamp[32];
    (void)std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ ",
                        static_cast<unsigned>(now.wYear), static_cast<unsigned>(now.wMonth),
                        static_cast<unsigned>(now.wDay), static_cast<unsigned>(now.wHour),
                        static_cast<unsigned>(now.wMinute), static_cast<unsigned>(now.wSecond),
                        static_cast<unsigned>(now.wMilliseconds));
    return stamp;
}

bool WriteAt(HANDLE file, uint64_t offset, const char* bytes, size_t size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    return size == 0 ||
           (::WriteFile(file, bytes, static_cast<DWORD>(size), &done, &at) && done == size);
}

bool WriteAt(HANDLE file, uint64_t offset, const std::string& bytes) {
    return WriteAt(file, offset, bytes.data(), bytes.size());
}

}  // namespace

RunLog::Quiet::Quiet() {
    ++quietScopes;
}

RunLog::Quiet::~Quiet() {
    --quietScopes;
}

bool RunLog::InQuietScope() {
    return quietScopes != 0;
}

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
    // Judged through the handle that is then held for the run (no delete
    // sharing: nobody renames or replaces it), and used through it.
    Common::CheckedEntry held = Common::OpenChecked(
        folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, Common::Expect::kFolder);
    if (held.error != ERROR_SUCCESS) {
        Disable(L"examining the log folder", held.error);
        return false;
    }
    if (!held.accepted) {
        Disable(L"the log folder is a reparse point or not a directory; opening it",
                ERROR_CANT_ACCESS_FILE);
        return false;
    }
    if (!Common::WhyNotOwnFolder(held.facts, Common::kOwnFolderChangeRights).empty()) {
        Disable(L"the log folder is not the service's own (others may change it); opening it",
                ERROR_ACCESS_DENIED);
        return false;
    }
    // The oldest runs go, so that with this one kKeptRuns remain.
    std::vector<std::wstring> runs;
    if (Common::ListFolder(held.handle.Get(), runs)) {
        runs.erase(std::remove_if(runs.begin(), runs.end(),
                                  [](const std::wstring& name) { return !IsFileName(name); }),
                   runs.end());
        std::sort(runs.begin(), runs.end());
        for (size_t i = 0; i + (kKeptRuns - 1) < runs.size(); ++i) {
            const Common::KernelHandle old = Common::Files().OpenChild(
                held.handle.Get(), runs[i], DELETE | FILE_READ_ATTRIBUTES,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
            if (old) {
                (void)Common::DeleteThroughHandle(old.Get());
            }
        }
    }
    State& run = state();
    ExclusiveLock hold(run.lock);
    run.path = folder + L"\\" + FileName(startUtc, processId);
    // A new file with the service's descriptor, created through the folder's
    // handle (the folder judged above, not a path walked again) and written
    // through its own. A file of this very name (a process of the same id
    // started in the same second) is an earlier run's: it goes, through the
    // folder's handle.
    const std::wstring name = FileName(startUtc, processId);
    const auto createFile = [&] {
        return Common::Files().CreateNewChild(held.handle.Get(), name, kFileSddl,
                                              FILE_WRITE_DATA | SYNCHRONIZE, FILE_SHARE_READ);
    };
    run.file = createFile();
    const DWORD refused = run.file ? ERROR_SUCCESS : ::GetLastError();
    if (refused == ERROR_FILE_EXISTS || refused == ERROR_ALREADY_EXISTS) {
        {
            const Common::KernelHandle earlier = Common::Files().OpenChild(
                held.handle.Get(), name, DELETE | FILE_READ_ATTRIBUTES,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
            if (earlier) {
                (void)Common::DeleteThroughHandle(earlier.Get());
            }
        }  // gone once its handle is closed
        run.file = createFile();
    }
    if (!run.file) {
        const DWORD error = ::GetLastError();
        run.path.clear();
        hold.Release();
        Disable(L"creating the log file", error);
        return false;
    }
    run.folder = std::move(held.handle);
    run.capBytes = capBytes;
    run.size = 0;
    run.pending.clear();
    run.flushed = ::GetTickCount64();
    run.headEnd = 0;
    run.window.Clear();
    open_.store(true, std::memory_order_release);
    return true;
}

bool RunLog::Start(const std::wstring& folder, const wchar_t* sddl) {
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    return Start(folder, sddl, now, ::GetCurrentProcessId());
}

void RunLog::Write(LogLevel level, const wchar_t* line) {
    if (!IsOpen()) {
        return;
    }
    State::Line entry;
    entry.bytes = TimeStamp() + Utf8(line);
    entry.important = static_cast<int32_t>(level) <= static_cast<int32_t>(LogLevel::Warning);
    const bool important = entry.important;
    State& run = state();
    ExclusiveLock hold(run.lock);
    if (!IsOpen()) {
        return;
    }
    bool written = true;
    if (run.headEnd == 0 && run.size + entry.bytes.size() <= run.capBytes / 4) {
        // The head: the run's first lines, in order.
        Append(run, entry.bytes);
    } else {
        if (run.headEnd == 0) {
            run.headEnd = run.size;
        }
        // The window: appended while it fits, trimmed and written again when not.
        const uint64_t room = run.capBytes - run.headEnd - kLeftOutLineRoom;
        if (run.window.Add(std::move(entry), room)) {
            Append(run, run.window.Lines().back().bytes);
        } else {
            run.window.Trim(room);
            written = RewriteWindow(run);
        }
    }
    if (written && (important || run.pending.size() >= kPendingBytes ||
                    ::GetTickCount64() - run.flushed >= kPendingMs)) {
        written = FlushPending(run);
    }
    if (!written) {
        const DWORD error = ::GetLastError();
        hold.Release();
        Disable(L"writing the log file", error);
    }
}

bool RunLog::FlushPending(State& run) {
    run.flushed = ::GetTickCount64();
    if (run.pending.empty()) {
        return true;
    }
    if (!WriteAt(run.file.Get(), run.size - run.pending.size(), run.pending)) {
        return false;
    }
    run.pending.clear();
    return true;
}

void RunLog::Flush() {
    if (!IsOpen()) {
        return;
    }
    State& run = state();
    ExclusiveLock hold(run.lock);
    if (IsOpen() && !FlushPending(run)) {
        const DWORD error = ::GetLastError();
        hold.Release();
        Disable(L"writing the log file", error);
    }
}

void RunLog::Append(State& run, const std::string& bytes) {
    run.pending += bytes;
    run.size += bytes.size();
}

bool RunLog::RewriteWindow(State& run) {
    wchar_t note[160];
    Common::FormatWide(note,
                       L"   INFO : [%llu] lines of this run were left out here to keep this "
                       L"file within its size; WARNING and ERROR lines and the last lines are "
                       L"kept\n",
                       static_cast<unsigned long long>(run.window.LeftOut()));
    std::string bytes = TimeStamp() + Utf8(note);
    for (const State::Line& line : run.window.Lines()) {
        bytes += line.bytes;
    }
    // What is pending below the window (the head's last lines) is written
    // first; the window's own lines are in `bytes`.
    if (run.pending.size() > run.size - run.headEnd) {
        const size_t belowWindow = run.pending.size() - static_cast<size_t>(run.size - run.headEnd);
        if (!WriteAt(run.file.Get(), run.headEnd - belowWindow, run.pending.data(), belowWindow)) {
            return false;
        }
    }
    run.pending.clear();
    run.size = run.headEnd;
    if (!WriteAt(run.file.Get(), run.size, bytes)) {
        return false;
    }
    run.size += bytes.size();
    FILE_END_OF_FILE_INFO end = {};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(run.size);
    return ::SetFileInformationByHandle(run.file.Get(), FileEndOfFileInfo, &end, sizeof(end)) !=
           FALSE;
}

void RunLog::Note(const wchar_t* message) {
    if (!Wants(LogLevel::Warning)) {
        return;
    }
    Write(LogLevel::Info, (std::wstring(L"   INFO : ") + message + L"\n").c_str());
    Flush();  // a note (the run's summary) is its end: on disk at once
}

void RunLog::WriteDuringCrash(const wchar_t* line) {
    if (!IsOpen()) {
        return;
    }
    State& run = state();
    if (!::TryAcquireSRWLockExclusive(&run.lock)) {
        return;
    }
    // What was kept in memory goes first (its storage exists already).
    if (run.file && !run.pending.empty() &&
        WriteAt(run.file.Get(), run.size - run.pending.size(), run.pending.data(),
                run.pending.size())) {
        run.pending.clear();
    }
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    char bytes[Log::kBufferChars * 3 + 32];
    const int stamp = std::snprintf(
        bytes, sizeof(bytes), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ ",
        static_cast<unsigned>(now.wYear), static_cast<unsigned>(now.wMonth),
        static_cast<unsigned>(now.wDay), static_cast<unsigned>(now.wHour),
        static_cast<unsigned>(now.wMinute), static_cast<unsigned>(now.wSecond),
        static_cast<unsigned>(now.wMilliseconds));
    const int text = stamp > 0 ? ::WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes + stamp,
                                                       static_cast<int>(sizeof(bytes)) - stamp,
                                                       nullptr, nullptr)
                               : 0;
    if (text > 1) {
        const size_t size = static_cast<size_t>(stamp) + static_cast<size_t>(text - 1);
        if (run.file && WriteAt(run.file.Get(), run.size, bytes, size)) {
            run.size += size;
        }
    }
    ::ReleaseSRWLockExclusive(&run.lock);
}

void RunLog::RunLocked(void (*work)()) {
    State& run = state();
    ExclusiveLock hold(run.lock);
    work();
}

void RunLog::Stop() {
    open_.store(false, std::memory_order_release);
    State& run = state();
    ExclusiveLock hold(run.lock);
    if (run.file) {
        (void)FlushPending(run);
    }
    run.pending.clear();
    run.file.Reset();
    run.folder.Reset();
    run.window.Clear();
    run.path.clear();
}

std::wstring RunLog::Path() {
    State& run = state();
    ExclusiveLock hold(run.lock);
    return run.path;
}
