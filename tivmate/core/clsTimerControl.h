#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "os/MessageQueue.h"
#include "os/WindowTimer.h"

namespace tivmate {

// A window timer on the thread that creates it: Timer runs there at every tick while Enabled.
// Disabling (or destroying) it guarantees that no further tick runs, even one already queued.
// An interval is armed as max(1, ceil(ms)) and at most 64767 ms, so an interval of 0 or a
// remaining time below a millisecond still ticks instead of stalling whoever waits for it.
class clsTimerControl {
public:
    explicit clsTimerControl(std::function<void()> Timer);
    ~clsTimerControl();
    clsTimerControl(const clsTimerControl&) = delete;
    clsTimerControl& operator=(const clsTimerControl&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    std::uint32_t Interval() const { return interval_; }
    // Restarts a running timer with the new interval.
    void SetInterval(double ms);
    static std::uint32_t ArmedInterval(double ms);

private:
    void onMessage(const os::Message& message);

    std::function<void()> timer_;
    os::Window window_;
    std::unique_ptr<os::WindowTimer> tick_;
    std::uint32_t interval_ = 1000;
    bool enabled_ = false;
};

}  // namespace tivmate
