#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "common/unique_handle.h"

// The log file of one worker run, so that an administrator can read what
// happened after the fact without a trace session. Log writes its INFO and
// higher lines into it, besides ETW and the console.
//
// The files live in one folder (the cache folder's logs\), each named by its
// run's start time in UTC ("20261210-154800Z-<process id>.log", which sorts
// by time); the last kKeptRuns runs are kept. A run's file stops growing at
// its cap with one final line saying so. Writing it never fails anything: an
// error disables the file for the rest of the run with one ERROR line.
class RunLog {
  public:
    static constexpr size_t kKeptRuns = 10;
    static constexpr uint64_t kDefaultCapBytes = 1024 * 1024;

    // Creates `folder` (no trailing backslash) with the descriptor `sddl`
    // unless it exists (a reparse point there is refused), deletes the oldest
    // run files beyond kKeptRuns - 1, and creates this run's file. False
    // (one ERROR line) when anything of that failed: no file for this run.
    static bool Start(const std::wstring& folder, const wchar_t* sddl,
                      const SYSTEMTIME& startUtc, DWORD processId,
                      uint64_t capBytes = kDefaultCapBytes);

    // The same, now, for this process.
    static bool Start(const std::wstring& folder, const wchar_t* sddl);

    // Appends one finished line (UTF-8). Never fails; lock-free.
    static void Write(const wchar_t* line);

    // Closes the file (tests; a process simply ends).
    static void Stop();

    [[nodiscard]] static bool IsOpen() { return open_.load(std::memory_order_acquire); }

    // This run's file; empty when there is none.
    [[nodiscard]] static const std::wstring& Path() { return path_; }

    // The name a run started at `startUtc` gets.
    [[nodiscard]] static std::wstring FileName(const SYSTEMTIME& startUtc, DWORD processId);

    // True for a name of FileName's form: 8 digits, "-", 6 digits, "Z-", the
    // decimal process id and ".log".
    [[nodiscard]] static bool IsFileName(const std::wstring& name);

  private:
    static void Disable(const wchar_t* what, DWORD error);

    static std::atomic<bool> open_;
    static std::atomic<uint64_t> written_;
    static uint64_t capBytes_;
    static std::wstring path_;
    static Common::KernelHandle file_;
};
