#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

// A counting limit on calls handled at once. Taking a free slot and giving it
// back touch one atomic counter only: no kernel object, so a poll pays no
// system call for its admission. Only a call that finds every slot taken
// waits, on a condition variable, for at most the time it is given.
class CallSlots {
  public:
    explicit CallSlots(unsigned int capacity) : capacity_(capacity) {}

    CallSlots(const CallSlots&) = delete;
    CallSlots& operator=(const CallSlots&) = delete;

    // Takes a slot, waiting at most `waitMs` for one to be given back.
    // Returns false, holding nothing, if none was free in that time.
    [[nodiscard]] bool Acquire(DWORD waitMs);

    // Gives back a slot taken by Acquire.
    void Release();

    [[nodiscard]] unsigned int InUse() const { return inUse_.load(); }

  private:
    bool TryTake();

    const unsigned int capacity_;
    std::atomic<unsigned int> inUse_{0};
    std::atomic<unsigned int> waiters_{0};
    std::mutex lock_;
    std::condition_variable released_;
};
