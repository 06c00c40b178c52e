// Where the worker's time for one plain progress query goes, step by step,
// in the process (the RPC run time's marshalling aside): each step timed over
// many calls, best of five runs, in microseconds per call:
//   slots=<us> parse=<us> detail=<us> compose=<us> line=<us> lines=<N>
// `line` is one INFO line to the console (standard output, which the
// benchmark sends to a file, as a worker's is); `lines` how many such lines
// the worker writes for one query.

#include <windows.h>
#include <rpc.h>
#include <rpcndr.h>

#include <cstdio>

#include "bench/bench_clock.h"
#include "common/log.h"
#include "rpc/call_slots.h"
#include "rpc/request_messages.h"

namespace {

template <typename Call>
double MicrosecondsPerCall(Call call, long iterations) {
    return BestSecondsPerCall(call, iterations) * 1e6;
}

const wchar_t kQuery[] = L"{\"id\":\"queryAutoUpdateProgress\"}";

}  // namespace

int main() {
    Log::Initialize();
    CallSlots slots(32);
    const double slotsUs = MicrosecondsPerCall(
        [&slots] {
            if (slots.Acquire(10000)) {
                slots.Release();
            }
        },
        1'000'000);
    volatile bool sink = false;
    const double parseUs = MicrosecondsPerCall(
        [&sink] { sink = IsQueryInstruction(ParseInstruction(kQuery)); }, 100'000);
    const double detailUs =
        MicrosecondsPerCall([&sink] { sink = IsDetailedQuery(kQuery); }, 1'000'000);

    // Lines go to the console from here on; composing writes one of its own.
    Log::destinations = LogDestination::Console;
    Log::threshold = static_cast<int32_t>(LogLevel::Info);
    const long lineCalls = 20'000;
    const double lineUs = MicrosecondsPerCall(
        [] { Log::Info(L"Handling query progress instruction"); }, lineCalls);
    const double composeUs = MicrosecondsPerCall(
        [] {
            wchar_t* response = nullptr;
            ComposeResponse(Downloading, &response);
            midl_user_free(response);
        },
        lineCalls) - lineUs;
    // RPC Invoke: raw request, Handling query progress instruction, Response set to be.
    const int lines = 3;
    std::fprintf(stderr, "slots=%.3f parse=%.3f detail=%.3f compose=%.3f line=%.3f lines=%d\n",
                 slotsUs, parseUs, detailUs, composeUs, lineUs, lines);
    return 0;
}
