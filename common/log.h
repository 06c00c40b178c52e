#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Levels, in threshold order. A level is written as text when its number is
// at most Log::threshold (and Log::destinations is not 0).
enum class LogLevel : int32_t {
    Error = 1,
    Warning = 2,
    Info = 3,
    Verbose = 4,
    Enter = 5,
    Exit = 6,
};

// Bits of Log::destinations.
struct LogDestination {
    enum : uint32_t {
        Console = 1,   // standard output, in the console's code page
        Debugger = 2,  // OutputDebugStringW
    };
};

// The one logging facility. Each call formats its message once and hands it
// to the trace provider (when a session enabled the event) and to the text
// destinations. It never fails and never raises; it takes no lock.
//
// Formats follow the Windows convention: "%s" is a wide string, "%S" a narrow
// one. A null format gives an empty message. Lines are cut to 511
// characters; a cut line ends with kCutMarker (and so with its line feed).
class Log {
  public:
    static constexpr size_t kBufferChars = 512;
    static constexpr wchar_t kCutMarker[] = L" [line cut]\n";

    static void Error(const wchar_t* format, ...);
    static void Warning(const wchar_t* format, ...);
    static void Info(const wchar_t* format, ...);
    static void Verbose(const wchar_t* format, ...);
    static void Enter(const wchar_t* format, ...);
    static void Exit(const wchar_t* format, ...);

    // Runs the one-time initialisation (module name, trace provider
    // registration) unless it has run; waits while another thread runs it.
    static void Initialize();

    // Whether a call of this level would write anything at all.
    [[nodiscard]] static bool IsWanted(LogLevel level);

    // Called by the crash handlers first. From then on every line, of every
    // thread, is formatted into storage on the stack (a crashing heap is not
    // touched), written to the console without the C library's stream lock,
    // and into the run log only when its lock can be had at once: a thread
    // that crashed while holding a lock never waits for itself.
    static void EnterCrashMode();

    // Text settings: written once by the entry point before other threads
    // start; 0 (no text) until then and in a service.
    static uint32_t destinations;
    static int32_t threshold;

    // The program's file name within its full path; null before Initialize,
    // empty when the path cannot be fetched.
    static const wchar_t* moduleName;

    // Pieces of a log call, exposed for tests.
    static void FormatLine(wchar_t (&line)[kBufferChars], LogLevel level, const wchar_t* message);
    [[nodiscard]] static const wchar_t* FindModuleName(const wchar_t* path);

  private:
    static void Write(LogLevel level, const wchar_t* format, va_list args);
    static void WriteDuringCrash(LogLevel level, const wchar_t* format, va_list args);
};
