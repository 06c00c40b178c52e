// kgupdate-ctl: talks to the local kgclient_update worker over UpdateRPC.
//
//   kgupdate-ctl [--json] begin --url U [--url U2 ...] [--hash H] [--args A] [--wait]
//   kgupdate-ctl [--json] query [--detail]
//   kgupdate-ctl [--json] watch
//   kgupdate-ctl send 'RAW JSON'
//   kgupdate-ctl log [--runs N]
//
// log prints the newest worker run's log file (or the last N, oldest
// first) from the cache folder's logs\; the others print the response text ("(no response)" for a null response). With
// --wait, and with watch (which follows an update already begun), it polls
// with detailed queries until the update has completed or failed: on a
// console one line redrawn in place (status, percent, MB received of total,
// rate, time left), elsewhere one plain line per status change and at most
// one progress line every 5 seconds; with --json every answer raw, one per
// line. Exit codes: 0 success (Completed when following), 1 the update
// failed, 2 no response, 3 the endpoint could not be reached, 4 usage.

#include <windows.h>

#include <io.h>
#include <shlobj.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "common/control_characters.h"
#include "rpc/json.h"
#include "rpc/update_rpc_client.h"
#include "tools/progress_display.h"

namespace {

enum ExitCode { kOk = 0, kUpdateFailed = 1, kNoResponse = 2, kUnreachable = 3, kUsage = 4 };

int Usage() {
    std::fwprintf(
        stderr,
        L"usage: kgupdate-ctl [--json] begin --url U [--url U2 ...] [--hash H] [--args A] [--wait]\n"
        L"       kgupdate-ctl [--json] query [--detail]\n"
        L"       kgupdate-ctl [--json] watch\n"
        L"       kgupdate-ctl send 'RAW JSON'\n"
        L"       kgupdate-ctl log [--runs N]\n");
    return kUsage;
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

int SendOnce(Session& session, const std::wstring& request, std::wstring& response) {
    bool hasResponse = false;
    if (!session.Send(request, response, hasResponse)) {
        return kUnreachable;
    }
    if (!hasResponse) {
        std::wprintf(L"(no response)\n");
        std::fwprintf(stderr, L"kgupdate-ctl: the update service sent no response\n");
        return kNoResponse;
    }
    std::wprintf(L"%ls\n", response.c_str());
    return kOk;
}

bool IsConsole(FILE* stream) {
    DWORD mode = 0;
    return ::GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

constexpr wchar_t kDetailedQuery[] =
    L"{\"id\":\"queryAutoUpdateProgress\",\"data\":{\"detail\":true}}";

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

// Follows the update to Completed or Failed.
int FollowUpdate(Session& session, bool json) {
    ProgressDisplay display(stdout, !json && IsConsole(stdout));
    for (;;) {
        std::wstring response;
        bool hasResponse = false;
        if (!session.Send(kDetailedQuery, response, hasResponse)) {
            display.Finish();
            return kUnreachable;
        }
        if (!hasResponse) {
            display.Finish();
            std::fwprintf(stderr, L"kgupdate-ctl: the update service sent no response (no "
                                  L"update has begun)\n");
            return kNoResponse;
        }
        const int status = ResponseStatus(response);
        if (json) {
            std::wprintf(L"%ls\n", response.c_str());
            std::fflush(stdout);
        } else {
            display.Show(status, ResponseNumber(response, L"received"),
                         ResponseNumber(response, L"total"), ProgressDisplay::Clock::now());
        }
        if (status == 2 || status == 3) {
            display.Finish();
            if (status == 3) {
                std::fwprintf(stderr, L"kgupdate-ctl: the update failed\n");
                return kUpdateFailed;
            }
            return kOk;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

// Prints the last `runs` run log files, oldest first, each under a header.
int PrintRunLogs(size_t runs) {
    wchar_t* programData = nullptr;
    if (::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData) != S_OK) {
        std::fwprintf(stderr, L"kgupdate-ctl: the ProgramData folder is unknown\n");
        return kNoResponse;
    }
    const std::wstring folder =
        std::wstring(programData) + L"\\kestrelGATE\\Client\\AutoUpdate\\logs\\";
    ::CoTaskMemFree(programData);
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const HANDLE search = ::FindFirstFileW((folder + L"*.log").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        // The folder holds requests, URLs and arguments: SYSTEM and
        // Administrators only.
        std::fwprintf(stderr,
                      L"kgupdate-ctl: access to %ls is denied: reading the run logs needs an "
                      L"administrator (run it from an elevated prompt)\n",
                      folder.c_str());
        return kNoResponse;
    }
    if (search != INVALID_HANDLE_VALUE) {
        do {
            names.emplace_back(entry.cFileName);
        } while (::FindNextFileW(search, &entry));
        ::FindClose(search);
    }
    if (names.empty()) {
        std::fwprintf(stderr, L"kgupdate-ctl: no run log in %ls\n", folder.c_str());
        return kNoResponse;
    }
    std::sort(names.begin(), names.end());  // the names sort by start time
    const size_t first = names.size() > runs ? names.size() - runs : 0;
    for (size_t i = first; i < names.size(); ++i) {
        std::wprintf(L"== %ls%ls\n", folder.c_str(), names[i].c_str());
        std::fflush(stdout);
        FILE* file = _wfopen((folder + names[i]).c_str(), L"rb");
        if (file == nullptr) {
            std::fwprintf(stderr, L"kgupdate-ctl: cannot read %ls%ls\n", names[i].c_str(),
                          errno == EACCES ? L": access is denied (reading the run logs needs an "
                                            L"administrator)"
                                          : L"");
            continue;
        }
        // Written with the worker's own escaping: whatever a file holds (one
        // of an older worker, or edited by hand), no control sequence reaches
        // the administrator's terminal; only the lines' own line feeds stay.
        std::string text;
        char chunk[8192];
        size_t read = 0;
        while ((read = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
            text.append(chunk, read);
        }
        std::fclose(file);
        (void)Common::EscapeControlCharacters(text, "\n");
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    return kOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int first = 1;
    const bool json = argc > 1 && std::wstring(argv[1]) == L"--json";
    if (json) {
        ++first;
    }
    if (argc <= first) {
        return Usage();
    }
    const std::wstring command = argv[first];
    const int rest = argc - first - 1;  // arguments after the command
    Session session;
    std::wstring response;
    if (command == L"query" && rest == 0) {
        return SendOnce(session, L"{\"id\":\"queryAutoUpdateProgress\"}", response);
    }
    if (command == L"query" && rest == 1 && std::wstring(argv[first + 1]) == L"--detail") {
        return SendOnce(session, kDetailedQuery, response);
    }
    if (command == L"watch" && rest == 0) {
        return FollowUpdate(session, json);
    }
    if (command == L"log" && !json && (rest == 0 || rest == 2)) {
        long runs = 1;
        if (rest == 2) {
            runs = std::wstring(argv[first + 1]) == L"--runs" ? std::wcstol(argv[first + 2], nullptr, 10)
                                                              : 0;
            if (runs <= 0) {
                return Usage();
            }
        }
        return PrintRunLogs(static_cast<size_t>(runs));
    }
    if (command == L"send" && rest == 1 && !json) {
        return SendOnce(session, argv[first + 1], response);
    }
    if (command != L"begin") {
        return Usage();
    }
    std::vector<std::wstring> urls;
    std::wstring hash;
    std::wstring args;
    bool wait = false;
    for (int i = first + 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--wait") {
            wait = true;
        } else if (i + 1 < argc && option == L"--url") {
            urls.emplace_back(argv[++i]);
        } else if (i + 1 < argc && option == L"--hash") {
            hash = argv[++i];
        } else if (i + 1 < argc && option == L"--args") {
            args = argv[++i];
        } else {
            return Usage();
        }
    }
    if (urls.empty()) {
        return Usage();
    }
    const int sent = SendOnce(session, BeginRequest(urls, hash, args), response);
    if (sent != kOk) {
        return sent;
    }
    if (ResponseStatus(response) == 3) {
        std::fwprintf(
            stderr, L"kgupdate-ctl: the update service refused the request or the update failed\n");
        return kUpdateFailed;
    }
    return wait ? FollowUpdate(session, json) : kOk;
}
