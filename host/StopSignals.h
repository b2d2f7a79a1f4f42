#pragma once

// How a host program waits: on its thread's message queue (where the events of the objects it
// created arrive), until a condition holds, time runs out or the user stops it.

#include <functional>
#include <memory>

#include "os/Clock.h"

namespace host {

// Catches SIGINT and SIGTERM for its lifetime; Interrupted() tells whether one came.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};
bool Interrupted();

// Runs this thread's messages until `done` holds, a stop signal came or the nominal `timeout`
// passed; true when `done` held. With a `slice`, `everySlice` runs at least that often.
bool PumpUntil(const std::function<bool()>& done, os::Clock::duration timeout,
               os::Clock::duration slice = {}, const std::function<void()>& everySlice = {});

// Seconds as a nominal clock duration.
os::Clock::duration Nominal(double seconds);

}  // namespace host
