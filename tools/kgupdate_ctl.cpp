// kgupdate-ctl: talks to the local kgclient_update worker over UpdateRPC, and
// reads the workers' run logs. `kgupdate-ctl --help` says what each command
// does, its options and every exit code (the text of kUsageText below).
// The commands are the table in wmain; the worker session is
// tools/ctl_session.*, the run logs tools/ctl_run_logs.*.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tools/ctl_exit_codes.h"
#include "tools/ctl_run_logs.h"
#include "tools/ctl_session.h"
#include "update/sha256.h"
#include "update/update_policy.h"

namespace {

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
    L"        AutoUpdate): updates turned off, the allowed hosts, the arguments that\n"
    L"        callers who are not administrators may pass and whether administrators may\n"
    L"        install an older release; says when the key is not protected (its\n"
    L"        restrictions then apply, what it allows does not) and what holds without it.\n"
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

int Usage(const std::wstring& problem) {
    std::fwprintf(stderr, L"kgupdate-ctl: %ls\n%ls", problem.c_str(), kUsageText);
    return kUsage;
}

using Options = std::vector<std::wstring>;

int QueryCommand(Session& session, const Options& options, bool json) {
    if (options.size() > 1 || (options.size() == 1 && options[0] != L"--detail")) {
        return Usage(L"query takes only --detail");
    }
    return Query(session, !options.empty(), json);
}

int WatchCommand(Session& session, const Options& options, bool json) {
    return options.empty() ? FollowUpdate(session, json) : Usage(L"watch takes no options");
}

int LogCommand(Session&, const Options& options, bool) {
    long runs = 1;
    if (!options.empty()) {
        runs = options.size() == 2 && options[0] == L"--runs"
                   ? std::wcstol(options[1].c_str(), nullptr, 10)
                   : 0;
        if (runs <= 0) {
            return Usage(L"log takes --runs N, N a positive number");
        }
    }
    return PrintRunLogs(static_cast<size_t>(runs));
}

int PolicyCommand(Session&, const Options& options, bool) {
    if (!options.empty()) {
        return Usage(L"policy takes no options");
    }
    std::wprintf(L"%ls", ReadUpdatePolicy().Describe().c_str());
    return kOk;
}

int LastCommand(Session&, const Options& options, bool) {
    return options.empty() ? PrintLastSummary(false) : Usage(L"last takes no options");
}

int SendCommand(Session& session, const Options& options, bool) {
    if (options.size() != 1) {
        return Usage(L"send takes one instruction text");
    }
    return SendRaw(session, options[0]);
}

int BeginCommand(Session& session, const Options& options, bool json) {
    std::vector<std::wstring> urls;
    std::wstring hash;
    std::wstring args;
    bool wait = false;
    for (size_t i = 0; i < options.size(); ++i) {
        const std::wstring& option = options[i];
        if (option == L"--wait") {
            wait = true;
        } else if (i + 1 < options.size() && option == L"--url") {
            urls.push_back(options[++i]);
        } else if (i + 1 < options.size() && option == L"--hash") {
            hash = options[++i];
        } else if (i + 1 < options.size() && option == L"--args") {
            args = options[++i];
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

struct Command {
    const wchar_t* name;
    int (*run)(Session& session, const Options& options, bool json);
};

// In the order the usage text names them.
constexpr Command kCommandTable[] = {
    {L"begin", &BeginCommand}, {L"query", &QueryCommand}, {L"watch", &WatchCommand},
    {L"send", &SendCommand},   {L"log", &LogCommand},     {L"last", &LastCommand},
    {L"policy", &PolicyCommand},
};

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
    const std::wstring& name = arguments.front();
    const Options options(arguments.begin() + 1, arguments.end());
    std::wstring names;
    for (const Command& command : kCommandTable) {
        if (name == command.name) {
            Session session;
            return command.run(session, options, json);
        }
        names += (names.empty() ? L"" : L", ") + std::wstring(command.name);
    }
    return Usage(L"unknown command \"" + name + L"\"; the commands are " + names);
}
