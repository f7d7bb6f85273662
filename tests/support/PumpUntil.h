// Waiting on the main thread in the serial layer's tests: the serial threads
// may be waiting for the main thread at that moment, so the wait serves the
// message queue instead of sleeping.
#pragma once

#include "base/BaseComponent.h"

#include <chrono>
#include <functional>

namespace sio::test {

// Serves queue until pred holds or the deadline has passed; returns pred's
// last answer.
inline bool PumpUntil(TLocalMessageQueue& queue, const std::function<bool()>& pred,
                      std::chrono::milliseconds deadline)
{
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return pred();
        queue.WaitAndProcess(5);
    }
    return true;
}

}  // namespace sio::test
