#pragma once

#include <windows.h>

// Seconds from the performance counter.
inline double NowSeconds() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Seconds per call of `call`, timed over `iterations` calls: the best of five
// runs.
template <typename Call>
double BestSecondsPerCall(Call call, long iterations) {
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        const double start = NowSeconds();
        for (long i = 0; i < iterations; ++i) {
            call();
        }
        const double elapsed = NowSeconds() - start;
        best = elapsed < best ? elapsed : best;
    }
    return best / static_cast<double>(iterations);
}
