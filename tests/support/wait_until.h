#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Polls `done` until it holds or `limit` has passed; true when it held. The
// way unit tests wait for an event that has no handle to wait on.
template <typename Condition>
bool WaitUntil(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace testsupport
