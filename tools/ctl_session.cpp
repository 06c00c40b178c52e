#include "tools/ctl_session.h"

#include <windows.h>

#include <io.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <string>
#include <thread>

#include "common/control_characters.h"
#include "rpc/json.h"
#include "tools/ctl_exit_codes.h"
#include "tools/ctl_run_logs.h"
#include "tools/progress_display.h"
#include "update/update_failure.h"
#include "update/update_request.h"

bool Session::Send(const std::wstring& request, std::wstring& response, bool& hasResponse) {
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

namespace {

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

}  // namespace

int SendRaw(Session& session, const std::wstring& instruction) {
    std::wstring response;
    const int sent = Exchange(session, instruction, response, true);
    if (sent == kNoResponse) {
        std::fwprintf(stderr, L"kgupdate-ctl: the worker sent no answer\n");
    }
    return sent;
}

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

int Begin(Session& session, const std::vector<std::wstring>& urls, const std::wstring& hash,
          const std::wstring& args, bool wait, bool json) {
    std::wstring existing;
    bool hasExisting = false;
    if (!session.Send(kDetailedQuery, existing, hasExisting)) {
        (void)PrintLastSummary(true);
        return kUnreachable;
    }
    // A begin the worker refused before any download is no update: it does
    // not keep this one from starting one.
    std::wstring existingStage;
    int64_t existingCode = 0;
    std::wstring existingText;
    const bool refusedBegin = hasExisting && ResponseStatus(existing) == 3 &&
                              ResponseError(existing, existingStage, existingCode, existingText) &&
                              existingStage == kStageRequest;
    if (hasExisting && !refusedBegin) {
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
        // Refused at once. A refusal of what the begin asks for travels with
        // the detailed answer; one of the instruction itself is in the log.
        std::wstring detailed;
        bool hasDetailed = false;
        std::wstring stage;
        int64_t code = 0;
        std::wstring text;
        if (!json && session.Send(kDetailedQuery, detailed, hasDetailed) && hasDetailed &&
            ResponseError(detailed, stage, code, text) && stage == kStageRequest) {
            PrintFailure(detailed);
        } else {
            std::fwprintf(stderr, L"kgupdate-ctl: the worker refused the request (kgupdate-ctl "
                                  L"log says why)\n");
        }
        return kUpdateFailed;
    }
    return wait ? FollowUpdate(session, json) : kOk;
}
