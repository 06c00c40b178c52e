#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "common/log.h"
#include "common/unique_handle.h"

// The log file of one worker run, so that an administrator can read what
// happened after the fact without a trace session. Log writes its INFO and
// higher lines into it, besides ETW and the console.
//
// The files live in one folder (the cache folder's logs\), each named by its
// run's start time in UTC ("20261210-154800Z-<process id>.log", which sorts
// by time); the last kKeptRuns runs are kept. Every line starts with its UTC
// time ("2026-12-10T15:48:00.123Z ").
//
// A run's file stays within its cap and always keeps the run's end. It holds
// the run's first lines (a quarter of the cap) and then a window of later
// lines: when the window is full, the oldest INFO lines leave it first, then
// the oldest WARNING and ERROR lines, while the newest lines (a quarter of
// the window) always stay. One line where the window starts says how many
// lines were left out. So neither a flood of requests nor a long download can
// push a failure or the run's last lines out of the file.
//
// Writing it never fails anything: an error disables the file for the rest of
// the run with one ERROR line.
class RunLog {
  public:
    static constexpr size_t kKeptRuns = 10;
    // The access rules of a run's file: SYSTEM and Administrators only.
    static constexpr wchar_t kFileSddl[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";
    static constexpr uint64_t kDefaultCapBytes = uint64_t{1024} * 1024;

    // While one lives, the INFO and lower lines of its thread stay out of the
    // file (they still reach ETW and the console); WARNING and ERROR lines
    // still go in. For lines written many times a second, such as those of
    // each chunk of a download.
    class Quiet {
      public:
        Quiet();
        ~Quiet();
        Quiet(const Quiet&) = delete;
        Quiet& operator=(const Quiet&) = delete;
    };

    // Creates `folder` (no trailing backslash) with the descriptor `sddl`
    // unless it exists (a reparse point there is refused), deletes the oldest
    // run files beyond kKeptRuns - 1, and creates this run's file. False
    // (one ERROR line) when anything of that failed: no file for this run.
    static bool Start(const std::wstring& folder, const wchar_t* sddl,
                      const SYSTEMTIME& startUtc, DWORD processId,
                      uint64_t capBytes = kDefaultCapBytes);

    // The same, now, for this process.
    static bool Start(const std::wstring& folder, const wchar_t* sddl);

    // Whether a line of `level` of this thread goes into the file. Inline:
    // every log call asks, also when nothing is written anywhere.
    [[nodiscard]] static bool Wants(LogLevel level) {
        const int32_t value = static_cast<int32_t>(level);
        if (value > static_cast<int32_t>(LogLevel::Info) || !IsOpen()) {
            return false;
        }
        return value <= static_cast<int32_t>(LogLevel::Warning) || !InQuietScope();
    }

    // Adds one finished line (written UTF-8, after its time). Never fails.
    static void Write(LogLevel level, const wchar_t* line);

    // The same in a crashing process: appended after what the file holds,
    // built on the stack, and only when the file's lock is free at once (the
    // crashing thread may hold it); otherwise the line is left out.
    static void WriteDuringCrash(const wchar_t* line);

    // Runs `work` while holding the file's lock (tests: a crash there).
    static void RunLocked(void (*work)());

    // Writes one INFO line with `message` into the file only (not the
    // console or ETW). The caller masks and escapes what it holds.
    static void Note(const wchar_t* message);

    // Writes what is kept in memory (INFO lines wait up to a second, or until
    // 64 KiB have come; WARNING and ERROR lines are written at once).
    static void Flush();

    // Closes the file, after writing what is kept in memory.
    static void Stop();

    [[nodiscard]] static bool IsOpen() { return open_.load(std::memory_order_acquire); }

    // This run's file; empty when there is none.
    [[nodiscard]] static std::wstring Path();

    // The name a run started at `startUtc` gets.
    [[nodiscard]] static std::wstring FileName(const SYSTEMTIME& startUtc, DWORD processId);

    // True for a name of FileName's form: 8 digits, "-", 6 digits, "Z-", the
    // decimal process id and ".log".
    [[nodiscard]] static bool IsFileName(const std::wstring& name);

  private:
    struct State;

    // Whether this thread is inside a Quiet scope.
    [[nodiscard]] static bool InQuietScope();

    static void Disable(const wchar_t* what, DWORD error);
    static void Append(State& state, const std::string& bytes);
    static bool FlushPending(State& state);
    static bool RewriteWindow(State& state);

    static std::atomic<bool> open_;
    static State& state();
};
