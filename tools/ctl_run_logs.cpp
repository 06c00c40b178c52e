#include "tools/ctl_run_logs.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/known_folder.h"
#include "tools/ctl_exit_codes.h"
#include "tools/ctl_log_folder.h"
#include "tools/run_log_text.h"
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
        RunSummaryLine summary;
        if (!LastRunSummary(text, skipped != 0, marker, summary)) {
            continue;
        }
        FILE* out = asHint ? stderr : stdout;
        std::fprintf(out, "%s%S%S:\n%s\n",
                     asHint ? "kgupdate-ctl: the last worker run that ended, from " : "== ",
                     folder.Path().c_str(), name->c_str(), summary.shown.c_str());
        return summary.failed ? kUpdateFailed : kOk;
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
        // Only the end is shown, from its first whole line, with the worker's
        // own escaping: whatever a file holds (one of an older worker, or
        // edited by hand), no control sequence reaches the administrator's
        // terminal; only the lines' own line feeds stay.
        const bool cut = skipped != 0;
        const std::string shown = ShownRunLogText(text, skipped);
        if (cut) {
            std::wprintf(L"(the first %llu bytes of this file are not shown)\n",
                         static_cast<unsigned long long>(skipped));
        }
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        std::fflush(stdout);
    }
    return kOk;
}
