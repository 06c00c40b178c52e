// Cost of a log call that nothing wants (no ETW session, no text), against an
// empty non-inlined call of the same shape. Prints "ours=<ns> baseline=<ns>".

#include <cstdio>

#include "bench/bench_clock.h"
#include "common/log.h"

void EmptyCall(const wchar_t* format, ...);

namespace {

template <typename Call>
double NanosecondsPerCall(Call call, long iterations) {
    return BestSecondsPerCall(call, iterations) * 1e9;
}

}  // namespace

int main() {
    Log::Initialize();  // the one-time initialisation is not what is measured
    Log::destinations = 0;
    Log::threshold = 0;
    const long iterations = 50'000'000;
    const double ours = NanosecondsPerCall([] { Log::Enter(nullptr); }, iterations);
    const double baseline = NanosecondsPerCall([] { EmptyCall(nullptr); }, iterations);
    std::printf("ours=%.3f baseline=%.3f\n", ours, baseline);
    return 0;
}
