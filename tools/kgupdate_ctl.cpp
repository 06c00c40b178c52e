// kgupdate-ctl: talks to the local kgclient_update worker over UpdateRPC.
//
//   kgupdate-ctl begin --url U [--url U2 ...] [--hash H] [--args A] [--wait]
//   kgupdate-ctl query
//   kgupdate-ctl send 'RAW JSON'
//
// Prints the response text ("(no response)" for a null response). With
// --wait, polls until the update has completed or failed, showing the status
// by name. Exit codes: 0 success (Completed with --wait), 1 the update
// failed, 2 no response, 3 the endpoint could not be reached, 4 usage.

#include <windows.h>

#include <io.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "rpc/json.h"
#include "rpc/update_rpc_client.h"

namespace {

enum ExitCode { kOk = 0, kUpdateFailed = 1, kNoResponse = 2, kUnreachable = 3, kUsage = 4 };

const wchar_t* const kStatusNames[] = {L"Downloading", L"Installing", L"Completed", L"Failed"};

int Usage() {
    std::fwprintf(
        stderr,
        L"usage: kgupdate-ctl begin --url U [--url U2 ...] [--hash H] [--args A] [--wait]\n"
        L"       kgupdate-ctl query\n"
        L"       kgupdate-ctl send 'RAW JSON'\n");
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

const wchar_t* StatusName(int status) {
    return status >= 0 && status <= 3 ? kStatusNames[status] : L"unknown";
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

int WaitForOutcome(Session& session) {
    const bool live = IsConsole(stdout);
    int shown = -2;
    for (;;) {
        std::wstring response;
        bool hasResponse = false;
        if (!session.Send(L"{\"id\":\"queryAutoUpdateProgress\"}", response, hasResponse)) {
            return kUnreachable;
        }
        if (!hasResponse) {
            std::fwprintf(stderr, L"\nkgupdate-ctl: the update service sent no response\n");
            return kNoResponse;
        }
        const int status = ResponseStatus(response);
        if (status != shown) {
            std::wprintf(live ? L"\rstatus: %-12ls" : L"status: %ls\n", StatusName(status));
            std::fflush(stdout);
            shown = status;
        }
        if (status == 2 || status == 3) {
            if (live) {
                std::wprintf(L"\n");
            }
            if (status == 3) {
                std::fwprintf(stderr, L"kgupdate-ctl: the update failed\n");
                return kUpdateFailed;
            }
            return kOk;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::wstring command = argv[1];
    Session session;
    std::wstring response;
    if (command == L"query" && argc == 2) {
        return SendOnce(session, L"{\"id\":\"queryAutoUpdateProgress\"}", response);
    }
    if (command == L"send" && argc == 3) {
        return SendOnce(session, argv[2], response);
    }
    if (command != L"begin") {
        return Usage();
    }
    std::vector<std::wstring> urls;
    std::wstring hash;
    std::wstring args;
    bool wait = false;
    for (int i = 2; i < argc; ++i) {
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
    return wait ? WaitForOutcome(session) : kOk;
}
