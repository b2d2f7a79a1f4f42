#pragma once

// Waiting on the test's thread for something other threads bring about, while its messages
// run. Include as "support/Pump.h".

#include <algorithm>
#include <chrono>
#include <functional>

#include "os/Clock.h"
#include "os/MessageQueue.h"

namespace testsupport {

// A fast test clock shrinks a nominal time-out to a few milliseconds of real time, which a
// loaded machine (two cores under the sanitizers) can spend on a single stall. A wait for
// something that has to happen therefore always gets at least this much real time.
inline constexpr std::chrono::seconds kMinRealWait{10};

// Pumps this thread's messages until `done` holds: at least the nominal `timeout` and at
// least kMinRealWait. `done` may read any state, so it is polled as well. Only for what must
// happen; a check that something does not happen waits its nominal time with runUntil().
inline bool PumpUntil(const std::function<bool()>& done,
                      os::Clock::duration timeout = std::chrono::seconds(3)) {
    using namespace std::chrono_literals;
    const auto queue = os::MessageQueue::forCurrentThread();
    const auto realEnd =
        std::chrono::steady_clock::now() +
        std::max<std::chrono::nanoseconds>(os::clock().toReal(timeout), kMinRealWait);
    while (!queue->runUntil(done, timeout, 2ms))
        if (std::chrono::steady_clock::now() >= realEnd) return false;
    return true;
}

}  // namespace testsupport
