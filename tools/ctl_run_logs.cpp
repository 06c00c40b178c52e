#include "tools/ctl_run_logs.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/control_characters.h"
#include "common/known_folder.h"
#include "tools/ctl_exit_codes.h"
#include "tools/ctl_log_folder.h"
#include "update/run_summary.h"

namespace {

// Opens the run logs' folder below ProgramData and lists its run files,
// oldest first; false (with a message unless `quiet`) when there are none or
// they cannot be read.
bool OpenRunLogs(RunLogFolder& folder, std::vector<std::wstring>& names, bool quiet) {
    std::wstring programData;
    if (Common::KnownFolderPath(FOLDERID_ProgramData, programData) != S_OK) {
        if (!quiet) {
            std::fwprintf(stderr, L"kgupdate-ctl: the ProgramData folder is unknown\n");
        }
        return false;
    }
    std::wstring why;
    const DWORD opened = folder.Open(programData, why);
    if (opened == ERROR_ACCESS_DENIED) {
        // The folder holds requests, URLs and arguments: SYSTEM and
        // Administrators only.
        if (!quiet) {
            std::fwprintf(stderr,
                          L"kgupdate-ctl: access to %ls is denied: reading the run logs needs an "
                          L"administrator (run it from an elevated prompt)\n",
                          folder.Path().c_str());
        }
        return false;
    }
    if (opened == ERROR_INVALID_OWNER) {
        if (!quiet) {
            std::fwprintf(stderr, L"kgupdate-ctl: %ls; its logs are not read\n", why.c_str());
        }
        return false;
    }
    if (opened != ERROR_SUCCESS || !folder.Names(names) || names.empty()) {
        if (!quiet) {
            std::fwprintf(stderr, L"kgupdate-ctl: no run log in %ls\n", folder.Path().c_str());
        }
        return false;
    }
    return true;
}

// The last line of a run log that is the worker's summary: its time stamp,
// then exactly "   INFO : " and the marker. A caller's text logged inside
// another line (its control characters written visibly, so it cannot start
// a line) is never taken for one.
bool LastSummaryLine(const std::string& text, const std::string& marker, std::string& found) {
    constexpr size_t kStampChars = 25;  // "2026-12-10T15:48:00.123Z "
    const std::string prefix = "   INFO : " + marker;
    const auto isStamp = [](const std::string& line) {
        static const char kShape[] = "dddd-dd-ddTdd:dd:dd.dddZ ";
        for (size_t i = 0; i < kStampChars; ++i) {
            const char c = line[i];
            if (kShape[i] == 'd' ? (c < '0' || c > '9') : c != kShape[i]) {
                return false;
            }
        }
        return true;
    };
    size_t end = text.size();
    while (end > 0) {
        const size_t start = text.rfind('\n', end - 1);
        const size_t from = start == std::string::npos ? 0 : start + 1;
        std::string line = text.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() > kStampChars + prefix.size() && isStamp(line) &&
            line.compare(kStampChars, prefix.size(), prefix) == 0) {
            found = line;
            return true;
        }
        if (start == std::string::npos) {
            break;
        }
        end = start;
    }
    return false;
}

}  // namespace

// Prints the summary line of the newest run log that has one (a worker that
// still runs has none yet). As a hint (after "not reachable"), only when
// there is one, to standard error. kUpdateFailed for a failed run.
int PrintLastSummary(bool asHint) {
    RunLogFolder folder;
    std::vector<std::wstring> names;
    if (!OpenRunLogs(folder, names, asHint)) {
        return kNoResponse;
    }
    // The marker is plain ASCII: the same bytes in the UTF-8 file.
    const std::wstring wideMarker = kRunSummaryMarker;
    const std::string marker(wideMarker.begin(), wideMarker.end());
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        std::string text;
        uint64_t skipped = 0;
        std::wstring why;
        if (!folder.ReadTail(*name, RunLogFolder::kMaxReadBytes, text, skipped, why)) {
            continue;
        }
        std::string line;
        if (!LastSummaryLine(text, marker, line)) {
            continue;
        }
        (void)Common::EscapeControlCharacters(line, "");
        FILE* out = asHint ? stderr : stdout;
        std::fprintf(out, "%s%S%S:\n%s\n",
                     asHint ? "kgupdate-ctl: the last worker run that ended, from " : "== ",
                     folder.Path().c_str(), name->c_str(), line.c_str());
        const std::string failed = "   INFO : " + marker + "result [Failed]";
        return line.compare(25, failed.size(), failed) == 0 ? kUpdateFailed : kOk;
    }
    if (!asHint) {
        std::fwprintf(stderr, L"kgupdate-ctl: no run log in %ls holds a run's summary yet\n",
                      folder.Path().c_str());
    }
    return kNoResponse;
}

// Prints the last `runs` run log files, oldest first, each under a header.
int PrintRunLogs(size_t runs) {
    RunLogFolder folder;
    std::vector<std::wstring> names;
    if (!OpenRunLogs(folder, names, false)) {
        return kNoResponse;
    }
    const size_t first = names.size() > runs ? names.size() - runs : 0;
    for (size_t i = first; i < names.size(); ++i) {
        std::wprintf(L"== %ls%ls\n", folder.Path().c_str(), names[i].c_str());
        std::fflush(stdout);
        std::string text;
        uint64_t skipped = 0;
        std::wstring why;
        if (!folder.ReadTail(names[i], RunLogFolder::kMaxReadBytes, text, skipped, why)) {
            std::fwprintf(stderr, L"kgupdate-ctl: cannot read %ls: %ls\n", names[i].c_str(),
                          why.c_str());
            continue;
        }
        if (skipped != 0) {
            // Only the end is shown, from its first whole line.
            const size_t lineStart = text.find('\n');
            skipped += lineStart == std::string::npos ? text.size() : lineStart + 1;
            text.erase(0, lineStart == std::string::npos ? text.size() : lineStart + 1);
            std::wprintf(L"(the first %llu bytes of this file are not shown)\n",
                         static_cast<unsigned long long>(skipped));
        }
        // Written with the worker's own escaping: whatever a file holds (one
        // of an older worker, or edited by hand), no control sequence reaches
        // the administrator's terminal; only the lines' own line feeds stay.
        (void)Common::EscapeControlCharacters(text, "\n");
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    return kOk;
}
