// rpc_load: many concurrent clients of the local UpdateRPC endpoint, for the
// whole-process tests and the rpc-query benchmark.
//
//   rpc_load --clients N (--request JSON | --request-file FILE) [--calls M]
//            [--seconds S] [--until-status S]
//
// (A request file is read as UTF-8; it carries requests too long for a
// command line.)
// Every client binds on its own, waits for the others, then sends the request
// until it has made M calls (default 1), S seconds have passed, or a response
// carried the status S. With --calls every client makes its M calls whatever
// they end in; otherwise a failed call ends its client. It prints one line:
//   clients=.. calls=.. errors=.. null=.. invalid=.. order_violations=..
//   statuses=0:a,1:b,2:c,3:d codes=<code>:<count>,... qps=.. p50_us=.. p99_us=..
//   max_us=..
// order_violations counts responses whose status was lower than an earlier
// one of the same client (statuses only ever rise); codes counts the failed
// calls by their RPC error code ("-" when none failed); max_us is the longest
// call.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "rpc/json.h"
#include "rpc/update_rpc_client.h"

namespace {

struct ClientResult {
    long calls = 0;
    long errors = 0;
    long nulls = 0;
    long invalid = 0;
    long orderViolations = 0;
    long statuses[4] = {0, 0, 0, 0};
    std::map<DWORD, long> errorCodes;
    std::vector<double> latenciesUs;
};

std::wstring ReadUtf8File(const wchar_t* path) {
    FILE* file = _wfopen(path, L"rb");
    if (file == nullptr) {
        return std::wstring();
    }
    std::string bytes;
    char chunk[65536];
    size_t read = 0;
    while ((read = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, read);
    }
    std::fclose(file);
    const int length =
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                          length);
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int clients = 1;
    long calls = 1;
    double seconds = 0;
    int untilStatus = -1;
    std::wstring request;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"--clients") {
            clients = _wtoi(argv[i + 1]);
        } else if (option == L"--calls") {
            calls = _wtol(argv[i + 1]);
        } else if (option == L"--seconds") {
            seconds = _wtof(argv[i + 1]);
            calls = 0;
        } else if (option == L"--until-status") {
            untilStatus = _wtoi(argv[i + 1]);
            calls = 0;
        } else if (option == L"--request") {
            request = argv[i + 1];
        } else if (option == L"--request-file") {
            request = ReadUtf8File(argv[i + 1]);
        }
    }
    if (clients < 1 || request.empty()) {
        std::fprintf(stderr,
                     "usage: rpc_load --clients N --request JSON [--calls M] [--seconds S] "
                     "[--until-status S]\n");
        return 2;
    }

    std::vector<ClientResult> results(static_cast<size_t>(clients));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    using Clock = std::chrono::steady_clock;
    Clock::time_point start;
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            ClientResult& result = results[static_cast<size_t>(c)];
            UpdateRpcClient client;
            const bool bound = client.Bind() == RPC_S_OK;
            ++ready;
            while (!go) {
                std::this_thread::yield();
            }
            if (!bound) {
                ++result.errors;
                return;
            }
            int highest = -1;
            for (;;) {
                std::wstring response;
                bool hasResponse = false;
                const auto before = Clock::now();
                const DWORD code = client.Call(request, response, hasResponse);
                const auto after = Clock::now();
                ++result.calls;
                result.latenciesUs.push_back(
                    std::chrono::duration<double, std::micro>(after - before).count());
                int status = -1;
                if (code != 0) {
                    ++result.errors;
                    ++result.errorCodes[code];
                } else if (!hasResponse) {
                    ++result.nulls;
                } else if ((status = ResponseStatus(response)) < 0 || status > 3) {
                    ++result.invalid;
                    status = -1;
                } else {
                    ++result.statuses[status];
                    if (status < highest) {
                        ++result.orderViolations;
                    }
                    highest = std::max(highest, status);
                }
                const double elapsed = std::chrono::duration<double>(after - start).count();
                if ((calls > 0 && result.calls >= calls) || (seconds > 0 && elapsed >= seconds) ||
                    (untilStatus >= 0 && status >= untilStatus) || (code != 0 && calls == 0) ||
                    elapsed > 600) {
                    break;
                }
            }
        });
    }
    while (ready < clients) {
        std::this_thread::yield();
    }
    start = Clock::now();
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    ClientResult total;
    for (auto& r : results) {
        total.calls += r.calls;
        total.errors += r.errors;
        total.nulls += r.nulls;
        total.invalid += r.invalid;
        total.orderViolations += r.orderViolations;
        for (int s = 0; s < 4; ++s) {
            total.statuses[s] += r.statuses[s];
        }
        for (const auto& [code, count] : r.errorCodes) {
            total.errorCodes[code] += count;
        }
        total.latenciesUs.insert(total.latenciesUs.end(), r.latenciesUs.begin(),
                                 r.latenciesUs.end());
    }
    std::sort(total.latenciesUs.begin(), total.latenciesUs.end());
    auto percentile = [&total](double p) {
        if (total.latenciesUs.empty()) {
            return 0.0;
        }
        const size_t index =
            std::min(total.latenciesUs.size() - 1,
                     static_cast<size_t>(p * static_cast<double>(total.latenciesUs.size())));
        return total.latenciesUs[index];
    };
    std::string codes;
    for (const auto& [code, count] : total.errorCodes) {
        codes += (codes.empty() ? "" : ",") + std::to_string(code) + ":" + std::to_string(count);
    }
    std::printf(
        "clients=%d calls=%ld errors=%ld null=%ld invalid=%ld order_violations=%ld "
        "statuses=0:%ld,1:%ld,2:%ld,3:%ld codes=%s "
        "qps=%.1f p50_us=%.1f p99_us=%.1f max_us=%.1f\n",
        clients, total.calls, total.errors, total.nulls, total.invalid, total.orderViolations,
        total.statuses[0], total.statuses[1], total.statuses[2], total.statuses[3],
        codes.empty() ? "-" : codes.c_str(),
        elapsed > 0 ? static_cast<double>(total.calls) / elapsed : 0.0, percentile(0.5),
        percentile(0.99), total.latenciesUs.empty() ? 0.0 : total.latenciesUs.back());
    return total.errors == 0 ? 0 : 1;
}
