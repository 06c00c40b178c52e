#pragma once

#include <chrono>
#include <cstdint>

// How slow a download may be: fewer than `floorBytes` received in any
// `window` fails it ("too slow"), so a server that trickles cannot keep an
// update (and the worker) busy for ever. A trickle just above the floor could
// still hold the update for weeks, so one update's downloads (every URL
// together) also end at `deadline` (ERROR, partial file kept); the update
// sets it `updateLimit` after its start. A slow but honest link finishes
// within the limit's six hours.
struct DownloadPace {
    using Clock = std::chrono::steady_clock;
    std::chrono::milliseconds window{120000};
    uint32_t floorBytes = 64 * 1024;
    std::chrono::milliseconds updateLimit{6 * 60 * 60 * 1000};
    Clock::time_point deadline = Clock::time_point::max();
};
