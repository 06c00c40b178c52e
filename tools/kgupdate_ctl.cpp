// kgupdate-ctl: talks to the local kgclient_update worker over UpdateRPC, and
// reads the workers' run logs. `kgupdate-ctl --help` says what each command
// does, its options and every exit code (the text of kUsageText below).

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/control_characters.h"
#include "common/file_system.h"
#include "common/known_folder.h"
#include "common/run_log.h"
#include "common/unique_handle.h"
#include "rpc/json.h"
#include "rpc/update_rpc_client.h"
#include "tools/progress_display.h"
#include "update/cache_layout.h"
#include "update/run_summary.h"
#include "update/sha256.h"
#include "update/update_failure.h"
#include "update/update_request.h"
#include "update/update_policy.h"

namespace {

enum ExitCode {
    kOk = 0,             // completed, or the question answered
    kUpdateFailed = 1,   // the update failed
    kNoResponse = 2,     // no update has begun, no answer, or the begin was not the one that runs
    kUnreachable = 3,    // the worker could not be reached
    kUsage = 4,          // the command line is not understood
    kInterrupted = 130,  // Ctrl-C while following; the update goes on
};

constexpr wchar_t kUsageText[] =
    L"usage: kgupdate-ctl [--json] COMMAND [OPTIONS]\n"
    L"\n"
    L"Talks to the kestrelGATE client's update worker (kgclient_update) on this machine.\n"
    L"\n"
    L"commands:\n"
    L"  begin --url U [--url U2 ...] [--hash H] [--args A] [--wait]\n"
    L"        asks the worker to update the client from the first URL that gives a valid\n"
    L"        installer. --hash: the installer's SHA-256 digest, 64 hexadecimal digits (any\n"
    L"        case), checked before anything is sent. --args: arguments for the installer.\n"
    L"        --wait: follow the update to its end. When the worker already has an update,\n"
    L"        this begin is ignored: it says so and names that update's status.\n"
    L"  query [--detail]\n"
    L"        prints the status of the worker's update in words (with --detail, also the\n"
    L"        bytes received of the total, and why it failed).\n"
    L"  watch\n"
    L"        follows an update that another component began, to its end. Ctrl-C stops\n"
    L"        following; the update goes on.\n"
    L"  send 'RAW JSON'\n"
    L"        sends one raw instruction and prints the answer as it came.\n"
    L"  log [--runs N]\n"
    L"        prints the newest worker run's log file (or the last N, oldest first);\n"
    L"        needs an administrator.\n"
    L"  last\n"
    L"        prints the summary of the last worker run that ended (its result, where\n"
    L"        and why it failed); works when no worker runs. Needs an administrator.\n"
    L"  policy\n"
    L"        prints the update policy in force (HKLM\\SOFTWARE\\Policies\\kestrelGATE\\Client\\\n"
    L"        AutoUpdate): updates turned off, the allowed hosts and the arguments that\n"
    L"        callers who are not administrators may pass; says when the key is ignored.\n"
    L"\n"
    L"options:\n"
    L"  --json        print the worker's answers as they came, one per line (null when\n"
    L"                there was none), instead of words\n"
    L"  --help, -h, /?  print this text\n"
    L"\n"
    L"exit codes:\n"
    L"  0    the update completed, or the question was answered\n"
    L"  1    the update failed (also a query or last that reports a failed update)\n"
    L"  2    no update has begun, the worker sent no answer, or the begin was ignored\n"
    L"       because the worker already had an update\n"
    L"  3    the worker could not be reached\n"
    L"  4    the command line is not understood\n"
    L"  130  Ctrl-C while following; the update goes on in the worker\n";

constexpr wchar_t kCommands[] = L"begin, query, watch, send, log, last, policy";

int Usage(const std::wstring& problem) {
    std::fwprintf(stderr, L"kgupdate-ctl: %ls\n%ls", problem.c_str(), kUsageText);
    return kUsage;
}

// Set by Ctrl-C (or Ctrl-Break) while an update is followed.
std::atomic<bool> interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        interrupted.store(true);
        return TRUE;
    }
    return FALSE;
}

std::wstring BeginRequest(const std::vector<std::wstring>& urls, const std::wstring& hash,
                          const std::wstring& args) {
    JsonStringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key(L"id");
    writer.String(L"beginAutoUpdate");
    writer.Key(L"data");
    writer.StartObject();
    writer.Key(L"urls");
    writer.StartArray();
    for (const auto& url : urls) {
        writer.String(url.c_str(), static_cast<rapidjson::SizeType>(url.size()));
    }
    writer.EndArray();
    writer.Key(L"hash");
    writer.String(hash.c_str(), static_cast<rapidjson::SizeType>(hash.size()));
    writer.Key(L"args");
    writer.String(args.c_str(), static_cast<rapidjson::SizeType>(args.size()));
    writer.EndObject();
    writer.EndObject();
    return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
}

class Session {
  public:
    // Returns false (with a message) when the endpoint cannot be reached.
    bool Send(const std::wstring& request, std::wstring& response, bool& hasResponse) {
        if (!bound_) {
            const RPC_STATUS status = client_.Bind();
            if (status != RPC_S_OK) {
                std::fwprintf(stderr,
                              L"kgupdate-ctl: cannot bind to the update service (RPC status %lu)\n",
                              static_cast<unsigned long>(status));
                return false;
            }
            bound_ = true;
        }
        const DWORD code = client_.Call(request, response, hasResponse);
        if (code == RPC_S_ACCESS_DENIED || code == RPC_S_SEC_PKG_ERROR) {
            std::fwprintf(stderr,
                          L"kgupdate-ctl: the process serving the update endpoint runs neither as "
                          L"LocalSystem nor as you (RPC error %lu); nothing was sent to it. Another "
                          L"program may have taken the endpoint\n",
                          static_cast<unsigned long>(code));
            return false;
        }
        if (code != 0) {
            std::fwprintf(stderr,
                          L"kgupdate-ctl: the update service is not reachable (RPC error %lu); is "
                          L"kgclient_update running?\n",
                          static_cast<unsigned long>(code));
            return false;
        }
        return true;
    }

  private:
    UpdateRpcClient client_;
    bool bound_ = false;
};

int PrintLastSummary(bool asHint);

// Sends one instruction; the answer goes to `response`. kOk, kNoResponse (no
// answer: "null" printed with --json) or kUnreachable (with the last run's
// summary as a hint).
// One answer as it came, with what could act on a terminal (C1, separators,
// bidirectional controls) as JSON escapes: the same JSON.
void PrintJson(std::wstring answer) {
    Common::EscapeControlCharactersForJson(answer);
    std::wprintf(L"%ls\n", answer.c_str());
}

int Exchange(Session& session, const std::wstring& request, std::wstring& response, bool json) {
    bool hasResponse = false;
    if (!session.Send(request, response, hasResponse)) {
        (void)PrintLastSummary(true);
        return kUnreachable;
    }
    if (!hasResponse) {
        if (json) {
            std::wprintf(L"null\n");
        }
        return kNoResponse;
    }
    if (json) {
        PrintJson(response);
    }
    return kOk;
}

bool IsConsole(FILE* stream) {
    DWORD mode = 0;
    // The C run time hands the stream's handle out as an integer.
    const auto handle = reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        _get_osfhandle(_fileno(stream)));
    return ::GetConsoleMode(handle, &mode) != 0;
}

constexpr wchar_t kPlainQuery[] = L"{\"id\":\"queryAutoUpdateProgress\"}";
constexpr wchar_t kDetailedQuery[] =
    L"{\"id\":\"queryAutoUpdateProgress\",\"data\":{\"detail\":true}}";

// The "error" object of a detailed answer: stage, code, text; false when
// the answer has none.
bool ResponseError(const std::wstring& response, std::wstring& stage, int64_t& code,
                   std::wstring& text) {
    JsonDocument document;
    document.Parse(response.c_str());
    if (!document.IsObject() || !document.HasMember(L"data") || !document[L"data"].IsObject()) {
        return false;
    }
    const JsonValue& data = document[L"data"];
    if (!data.HasMember(L"error") || !data[L"error"].IsObject()) {
        return false;
    }
    const JsonValue& error = data[L"error"];
    stage = error.HasMember(L"stage") && error[L"stage"].IsString() ? error[L"stage"].GetString()
                                                                     : L"";
    code = error.HasMember(L"code") && error[L"code"].IsInt64() ? error[L"code"].GetInt64() : 0;
    text = error.HasMember(L"text") && error[L"text"].IsString() ? error[L"text"].GetString()
                                                                  : L"";
    return true;
}

// "the update failed at the hash check: <text>" for a failed update's
// detailed answer (standard error).
void PrintFailure(const std::wstring& detailedResponse) {
    std::wstring stage;
    std::wstring text;
    int64_t code = 0;
    if (!ResponseError(detailedResponse, stage, code, text)) {
        std::fwprintf(stderr, L"kgupdate-ctl: the update failed (the worker gave no reason; see "
                              L"kgupdate-ctl log)\n");
        return;
    }
    static const struct {
        const wchar_t* stage;
        const wchar_t* where;
    } kWhere[] = {
        {kStageRequest, L"the update failed: its request was refused"},
        {kStageCache, L"the update failed at the download cache folder"},
        {kStageDownload, L"the update failed at the download"},
        {kStageHash, L"the update failed at the hash check"},
        {kStageSignature, L"the update failed at the signature check"},
        {kStageInstall, L"the update failed at the installation"},
        {kStageInternal, L"the update failed inside the worker"},
    };
    const wchar_t* where = L"the update failed";
    for (const auto& known : kWhere) {
        if (stage == known.stage) {
            where = known.where;
        }
    }
    std::wstring shown = text;
    (void)Common::EscapeControlCharacters(shown);
    std::fwprintf(stderr, L"kgupdate-ctl: %ls: %ls\n", where, shown.c_str());
}

// A number of the response's "data" object; 0 when it is not there.
uint64_t ResponseNumber(const std::wstring& response, const wchar_t* name) {
    JsonDocument document;
    document.Parse(response.c_str());
    if (!document.IsObject() || !document.HasMember(L"data") || !document[L"data"].IsObject()) {
        return 0;
    }
    const JsonValue& data = document[L"data"];
    return data.HasMember(name) && data[name].IsUint64() ? data[name].GetUint64() : 0;
}

// Follows the update to Completed or Failed; Ctrl-C ends the following
// (not the update).
int FollowUpdate(Session& session, bool json) {
    ProgressDisplay display(stdout, !json && IsConsole(stdout));
    interrupted.store(false);
    (void)::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    for (;;) {
        if (interrupted.load()) {
            display.Finish();
            std::fwprintf(stderr, L"kgupdate-ctl: stopped following; the update goes on in the "
                                  L"worker (kgupdate-ctl watch follows it again)\n");
            return kInterrupted;
        }
        std::wstring response;
        bool hasResponse = false;
        if (!session.Send(kDetailedQuery, response, hasResponse)) {
            display.Finish();
            (void)PrintLastSummary(true);
            return kUnreachable;
        }
        if (!hasResponse) {
            display.Finish();
            if (json) {
                std::wprintf(L"null\n");
            }
            std::fwprintf(stderr, L"kgupdate-ctl: no update has begun in this worker\n");
            return kNoResponse;
        }
        const int status = ResponseStatus(response);
        if (json) {
            PrintJson(response);
            std::fflush(stdout);
        } else {
            display.Show(status, ResponseNumber(response, L"received"),
                         ResponseNumber(response, L"total"), ProgressDisplay::Clock::now());
        }
        if (status == 2 || status == 3) {
            display.Finish();
            if (status == 3) {
                PrintFailure(response);
                return kUpdateFailed;
            }
            return kOk;
        }
        // Short steps: Ctrl-C is seen at once.
        for (int step = 0; step < 5 && !interrupted.load(); ++step) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

// Prints the status in words (with the bytes and the reason of a failure
// when `detail`), or the answer as it came with --json.
int Query(Session& session, bool detail, bool json) {
    std::wstring response;
    const int exchanged = Exchange(session, detail ? kDetailedQuery : kPlainQuery, response, json);
    if (exchanged == kNoResponse && !json) {
        std::wprintf(L"no update has begun in this worker\n");
    }
    if (exchanged != kOk) {
        return exchanged;
    }
    const int status = ResponseStatus(response);
    if (!json) {
        if (detail) {
            std::wprintf(L"status: %ls, %llu of %llu bytes\n", StatusName(status),
                         static_cast<unsigned long long>(ResponseNumber(response, L"received")),
                         static_cast<unsigned long long>(ResponseNumber(response, L"total")));
        } else {
            std::wprintf(L"status: %ls\n", StatusName(status));
        }
    }
    if (status == 3) {
        // The reason travels with the detailed answer only.
        std::wstring detailed = response;
        bool hasDetailed = detail;
        if (!detail && !json) {
            hasDetailed = session.Send(kDetailedQuery, detailed, hasDetailed) && hasDetailed;
        }
        if (hasDetailed) {
            PrintFailure(detailed);
        } else if (!json) {
            std::fwprintf(stderr, L"kgupdate-ctl: the update failed\n");
        }
        return kUpdateFailed;
    }
    return kOk;
}

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

// Begins an update; with `wait`, follows it. A worker that already has an
// update ignores a begin (it answers that update's status): asked first, so
// that the administrator knows which update runs.
int Begin(Session& session, const std::vector<std::wstring>& urls, const std::wstring& hash,
          const std::wstring& args, bool wait, bool json) {
    std::wstring existing;
    bool hasExisting = false;
    if (!session.Send(kDetailedQuery, existing, hasExisting)) {
        (void)PrintLastSummary(true);
        return kUnreachable;
    }
    if (hasExisting) {
        if (json) {
            PrintJson(existing);
        }
        std::fwprintf(stderr,
                      L"kgupdate-ctl: the worker already has an update (status: %ls); this begin "
                      L"was ignored. kgupdate-ctl query --detail says more; a new update can "
                      L"begin once this worker has ended.\n",
                      StatusName(ResponseStatus(existing)));
        return kNoResponse;
    }
    std::wstring response;
    const int sent = Exchange(session, BeginRequest(urls, hash, args), response, json);
    if (sent == kNoResponse) {
        std::fwprintf(stderr, L"kgupdate-ctl: the worker sent no answer to the begin\n");
    }
    if (sent != kOk) {
        return sent;
    }
    const int status = ResponseStatus(response);
    if (!json && !wait) {
        std::wprintf(L"status: %ls\n", StatusName(status));
    }
    if (status == 3) {
        // Refused at once (the request itself): the worker's log says why.
        std::fwprintf(stderr, L"kgupdate-ctl: the worker refused the request (kgupdate-ctl log "
                              L"says why)\n");
        return kUpdateFailed;
    }
    return wait ? FollowUpdate(session, json) : kOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> arguments(argv + 1, argv + argc);
    for (const std::wstring& argument : arguments) {
        if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
            std::wprintf(L"%ls", kUsageText);
            return kOk;
        }
    }
    bool json = false;
    if (!arguments.empty() && arguments.front() == L"--json") {
        json = true;
        arguments.erase(arguments.begin());
    }
    if (arguments.empty()) {
        return Usage(L"no command given");
    }
    const std::wstring command = arguments.front();
    const std::vector<std::wstring> rest(arguments.begin() + 1, arguments.end());
    Session session;
    std::wstring response;
    if (command == L"query") {
        if (rest.size() > 1 || (rest.size() == 1 && rest[0] != L"--detail")) {
            return Usage(L"query takes only --detail");
        }
        return Query(session, !rest.empty(), json);
    }
    if (command == L"watch") {
        return rest.empty() ? FollowUpdate(session, json) : Usage(L"watch takes no options");
    }
    if (command == L"log") {
        long runs = 1;
        if (!rest.empty()) {
            runs = rest.size() == 2 && rest[0] == L"--runs" ? std::wcstol(rest[1].c_str(), nullptr, 10)
                                                            : 0;
            if (runs <= 0) {
                return Usage(L"log takes --runs N, N a positive number");
            }
        }
        return PrintRunLogs(static_cast<size_t>(runs));
    }
    if (command == L"policy") {
        if (!rest.empty()) {
            return Usage(L"policy takes no options");
        }
        std::wprintf(L"%ls", ReadUpdatePolicy().Describe().c_str());
        return kOk;
    }
    if (command == L"last") {
        return rest.empty() ? PrintLastSummary(false) : Usage(L"last takes no options");
    }
    if (command == L"send") {
        if (rest.size() != 1) {
            return Usage(L"send takes one instruction text");
        }
        const int sent = Exchange(session, rest[0], response, true);
        if (sent == kNoResponse) {
            std::fwprintf(stderr, L"kgupdate-ctl: the worker sent no answer\n");
        }
        return sent;
    }
    if (command != L"begin") {
        return Usage(L"unknown command \"" + command + L"\"; the commands are " + kCommands);
    }
    std::vector<std::wstring> urls;
    std::wstring hash;
    std::wstring args;
    bool wait = false;
    for (size_t i = 0; i < rest.size(); ++i) {
        const std::wstring& option = rest[i];
        if (option == L"--wait") {
            wait = true;
        } else if (i + 1 < rest.size() && option == L"--url") {
            urls.push_back(rest[++i]);
        } else if (i + 1 < rest.size() && option == L"--hash") {
            hash = rest[++i];
        } else if (i + 1 < rest.size() && option == L"--args") {
            args = rest[++i];
        } else {
            return Usage(L"begin does not understand \"" + option + L"\"");
        }
    }
    if (urls.empty()) {
        return Usage(L"begin needs at least one --url");
    }
    if (!hash.empty() && !Sha256::IsDigestText(hash)) {
        return Usage(L"--hash must be a SHA-256 digest: 64 hexadecimal digits (any case); nothing "
                     L"was sent");
    }
    return Begin(session, urls, hash, args, wait, json);
}
