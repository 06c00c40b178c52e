#include "rpc/call_slots.h"

#include <chrono>

bool CallSlots::TryTake() {
    unsigned int taken = inUse_.load();
    while (taken < capacity_) {
        if (inUse_.compare_exchange_weak(taken, taken + 1)) {
            return true;
        }
    }
    return false;
}

bool CallSlots::Acquire(DWORD waitMs) {
    if (TryTake()) {
        return true;
    }
    std::unique_lock<std::mutex> hold(lock_);
    // Counted before the slots are looked at again: a Release that does not
    // see this waiter gave its slot back before that look (both sequentially
    // consistent), so the look finds it.
    ++waiters_;
    const bool taken = released_.wait_for(hold, std::chrono::milliseconds(waitMs),
                                          [this] { return TryTake(); });
    --waiters_;
    return taken;
}

void CallSlots::Release() {
    --inUse_;
    if (waiters_.load() != 0) {
        // Under the lock: a waiter between its look and its wait is not missed.
        const std::lock_guard<std::mutex> hold(lock_);
        released_.notify_one();
    }
}
