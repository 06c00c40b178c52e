// crash_child: a process that crashes on purpose, for the tests of crash
// reporting. Its log lines go to standard output, and so does a summary of
// every event it writes (no ETW session exists under Wine):
//   event <id> fields=<n> [part=<index>/<count>] [dump=<first bytes of the decoded minidump>]
// (a minidump too large for one event comes as parts; the first starts it)
//
//   crash_child access-violation|abort|fault-holding-run-log-lock [--arm] [--run-log=FOLDER]
//               [--start=late|never]
// --arm: a session enables the crash event and asks for the provider's state,
// which arms the crash handlers. --run-log: the run's log file goes into
// FOLDER (created). fault-holding-run-log-lock faults while this thread holds
// the run log's lock. Crash reporting starts at the entry, as in the product;
// --start=late: only after the session's requests; never: not at all.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/crash_report.h"
#include "common/log.h"
#include "common/run_log.h"
#include "common/scoped_override.h"
#include "common/trace_provider.h"
#include "tests/support/base64_decode.h"

namespace {

// Prints each event instead of writing it: no ETW session exists under Wine.
struct EventPrinter : EventWriter {
    ULONG Write(REGHANDLE, PCEVENT_DESCRIPTOR descriptor, ULONG count,
                PEVENT_DATA_DESCRIPTOR data) override;
};

ULONG EventPrinter::Write(REGHANDLE, PCEVENT_DESCRIPTOR descriptor, ULONG count,
                          PEVENT_DATA_DESCRIPTOR data) {
    std::printf("event %u fields=%lu", descriptor->Id, count);
    auto text = [data](ULONG field) {
        return reinterpret_cast<const char*>(static_cast<uintptr_t>(data[field].Ptr));
    };
    if (descriptor->Id == 2021 && count == 2) {
        std::printf(" dump=%s", testsupport::Base64Decode(text(1), 4).c_str());
    }
    if (descriptor->Id == 2022 && count == 4) {
        uint32_t index = 0;
        uint32_t parts = 0;
        std::memcpy(&index, text(1), sizeof(index));
        std::memcpy(&parts, text(2), sizeof(parts));
        std::printf(" part=%u/%u", index, parts);
        if (index == 0) {
            std::printf(" dump=%s", testsupport::Base64Decode(text(3), 4).c_str());
        }
    }
    std::printf("\n");
    std::fflush(stdout);
    return ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: crash_child access-violation|abort|fault-holding-run-log-lock "
                             "[--arm] [--run-log=FOLDER]\n");
        return 2;
    }
    const char* start = "entry";
    for (int i = 2; i < argc; ++i) {
        constexpr char kStart[] = "--start=";
        if (std::strncmp(argv[i], kStart, sizeof(kStart) - 1) == 0) {
            start = argv[i] + sizeof(kStart) - 1;
        }
    }
    if (std::strcmp(start, "entry") == 0) {
        StartCrashReporting();
    }
    Log::Initialize();
    Log::destinations = LogDestination::Console;
    Log::threshold = static_cast<int32_t>(LogLevel::Info);
    static EventPrinter printer;
    static const Common::ScopedOverride<EventWriter> seam(printer);
    for (int i = 2; i < argc; ++i) {
        constexpr char kRunLog[] = "--run-log=";
        if (std::strcmp(argv[i], "--arm") == 0) {
            TraceProvider::EnableCallback(nullptr, 1, 0, 0x10, 0, nullptr, &traceProvider);
            TraceProvider::EnableCallback(nullptr, 2, 0, 0, 0, nullptr, &traceProvider);
        } else if (std::strncmp(argv[i], kRunLog, sizeof(kRunLog) - 1) == 0) {
            const std::string folder(argv[i] + sizeof(kRunLog) - 1);
            if (!RunLog::Start(std::wstring(folder.begin(), folder.end()),
                               L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)")) {
                return 2;
            }
        }
    }
    if (std::strcmp(start, "late") == 0) {
        StartCrashReporting();
    }
    if (std::strcmp(argv[1], "access-violation") == 0) {
        *static_cast<volatile int*>(nullptr) = 1;
    } else if (std::strcmp(argv[1], "fault-holding-run-log-lock") == 0) {
        RunLog::RunLocked([] { *static_cast<volatile int*>(nullptr) = 1; });
    } else {
        std::abort();
    }
    return 0;
}
