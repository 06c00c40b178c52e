#include "tools/ctl_run_logs.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "common/control_characters.h"
#include "common/file_system.h"
#include "common/known_folder.h"
#include "common/run_log.h"
#include "common/unique_handle.h"
#include "tools/ctl_exit_codes.h"
#include "update/cache_layout.h"
#include "update/run_summary.h"

namespace {

// The run logs' folder (with its final backslash); empty when unknown.
std::wstring RunLogFolder() {
    std::wstring programData;
    if (Common::KnownFolderPath(FOLDERID_ProgramData, programData) != S_OK) {
        return std::wstring();
    }
    return CacheFolderBelow(programData) + kRunLogFolder + L"\\";
}

// The run log files' names, oldest first; false (with a message unless
// `quiet`) when there are none or they cannot be listed.
bool ListRunLogs(const std::wstring& folder, std::vector<std::wstring>& names, bool quiet) {
    if (folder.empty()) {
        if (!quiet) {
            std::fwprintf(stderr, L"kgupdate-ctl: the ProgramData folder is unknown\n");
        }
        return false;
    }
    const Common::KernelHandle listed(::CreateFileW(
        folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!listed && ::GetLastError() == ERROR_ACCESS_DENIED) {
        // The folder holds requests, URLs and arguments: SYSTEM and
        // Administrators only.
        if (!quiet) {
            std::fwprintf(stderr,
                          L"kgupdate-ctl: access to %ls is denied: reading the run logs needs an "
                          L"administrator (run it from an elevated prompt)\n",
                          folder.c_str());
        }
        return false;
    }
    std::vector<std::wstring> entries;
    if (listed && Common::ListFolder(listed.Get(), entries)) {
        for (std::wstring& name : entries) {
            if (RunLog::IsFileName(name)) {
                names.push_back(std::move(name));
            }
        }
    }
    if (names.empty()) {
        if (!quiet) {
            std::fwprintf(stderr, L"kgupdate-ctl: no run log in %ls\n", folder.c_str());
        }
        return false;
    }
    std::sort(names.begin(), names.end());  // the names sort by start time
    return true;
}

// The whole text of a file; false when it cannot be read.
bool ReadWholeFile(const std::wstring& path, std::string& text) {
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file) {
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
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
    const std::wstring folder = RunLogFolder();
    std::vector<std::wstring> names;
    if (!ListRunLogs(folder, names, asHint)) {
        return kNoResponse;
    }
    // The marker is plain ASCII: the same bytes in the UTF-8 file.
    const std::wstring wideMarker = kRunSummaryMarker;
    const std::string marker(wideMarker.begin(), wideMarker.end());
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        std::string text;
        if (!ReadWholeFile(folder + *name, text)) {
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
                     folder.c_str(), name->c_str(), line.c_str());
        const std::string failed = "   INFO : " + marker + "result [Failed]";
        return line.compare(25, failed.size(), failed) == 0 ? kUpdateFailed : kOk;
    }
    if (!asHint) {
        std::fwprintf(stderr, L"kgupdate-ctl: no run log in %ls holds a run's summary yet\n",
                      folder.c_str());
    }
    return kNoResponse;
}

// Prints the last `runs` run log files, oldest first, each under a header.
int PrintRunLogs(size_t runs) {
    const std::wstring folder = RunLogFolder();
    std::vector<std::wstring> names;
    if (!ListRunLogs(folder, names, false)) {
        return kNoResponse;
    }
    const size_t first = names.size() > runs ? names.size() - runs : 0;
    for (size_t i = first; i < names.size(); ++i) {
        std::wprintf(L"== %ls%ls\n", folder.c_str(), names[i].c_str());
        std::fflush(stdout);
        std::string text;
        if (!ReadWholeFile(folder + names[i], text)) {
            std::fwprintf(stderr, L"kgupdate-ctl: cannot read %ls%ls\n", names[i].c_str(),
                          errno == EACCES ? L": access is denied (reading the run logs needs an "
                                            L"administrator)"
                                          : L"");
            continue;
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
