#pragma once

#include <atomic>
#include <cstdint>

// How far the current download is, for callers that poll: bytes of the file
// on disk (resumed bytes included) and the length the server announced (0
// while unknown). Written by the download loop with plain atomic stores (no
// lock, no allocation) and read by any thread at any time; after the
// download both keep their last values.
struct DownloadProgress {
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> total{0};

    void Start(uint64_t onDisk, uint64_t announced) {
        total.store(announced, std::memory_order_relaxed);
        received.store(onDisk, std::memory_order_relaxed);
    }
    void Received(uint64_t onDisk) { received.store(onDisk, std::memory_order_relaxed); }
};
