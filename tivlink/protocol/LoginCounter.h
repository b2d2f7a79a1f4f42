#pragma once

#include "tivlink/core/DriverEvents.h"
#include "tivlink/core/DriverState.h"

namespace tivlink {

// The adapter's logged-on bit, seen by the worker on every packet and by the timer's status
// poll, counted up and down so that one odd packet does not report a login change.
class LoginCounter {
public:
    LoginCounter(DriverState& state, EventPoster& events) : state_(state), events_(events) {}

    // `origin` leads the event's log text ("Thread", "Timer").
    void Count(bool loggedOnBit, const char* origin);

private:
    DriverState& state_;
    EventPoster& events_;
};

}  // namespace tivlink
