#include "rpc/call_slots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Long enough that only a lost wake-up could make a waiter wait it out: the
// test's own time limit then reports the hang.
constexpr DWORD kUntilGivenBack = 24 * 60 * 60 * 1000;

TEST(CallSlots, AdmitsUpToItsCapacityAndRefusesTheNextWhenNoneIsGivenBack) {
    CallSlots slots(3);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(slots.Acquire(0)) << "slot " << i;
    }
    EXPECT_FALSE(slots.Acquire(0));
    EXPECT_FALSE(slots.Acquire(50));
    EXPECT_EQ(3u, slots.InUse()) << "a refused call holds nothing";
    slots.Release();
    EXPECT_TRUE(slots.Acquire(0));
    EXPECT_EQ(3u, slots.InUse());
}

TEST(CallSlots, AWaitingCallTakesTheSlotThatIsGivenBack) {
    CallSlots slots(1);
    ASSERT_TRUE(slots.Acquire(0));
    std::atomic<bool> admitted{false};
    std::thread waiter([&] { admitted = slots.Acquire(kUntilGivenBack); });
    slots.Release();
    waiter.join();
    EXPECT_TRUE(admitted);
    EXPECT_EQ(1u, slots.InUse());
}

TEST(CallSlots, ManyThreadsNeverHoldMoreThanTheCapacity) {
    constexpr unsigned int kCapacity = 3;
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    CallSlots slots(kCapacity);
    std::atomic<unsigned int> inside{0};
    std::atomic<unsigned int> most{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                if (!slots.Acquire(kUntilGivenBack)) {
                    ++refused;
                    continue;
                }
                const unsigned int now = ++inside;
                unsigned int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                --inside;
                slots.Release();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, refused.load());
    EXPECT_LE(most.load(), kCapacity);
    EXPECT_GE(most.load(), 1u);
    EXPECT_EQ(0u, slots.InUse());
}

}  // namespace
