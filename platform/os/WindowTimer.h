#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "os/MessageQueue.h"
#include "os/PeriodicTimer.h"

namespace os {

// A window timer: WM_TIMER (wParam = the timer's id, lParam = 0) posted to a window every
// interval and handled on the window's thread. While one WM_TIMER of this timer is still
// queued no other is added, so a busy thread sees one late tick rather than a backlog.
// After stop() returns, no WM_TIMER of the stopped run is delivered, even one already queued.
// Any thread may start, stop or destroy it; the timer may outlive the window.
class WindowTimer {
public:
    // The shortest interval; shorter ones (0 included) are raised to it.
    static constexpr std::uint32_t kMinimumIntervalMs = 10;

    WindowTimer(const Window& window, std::uintptr_t timerId, std::uint32_t intervalMs);
    ~WindowTimer();
    WindowTimer(const WindowTimer&) = delete;
    WindowTimer& operator=(const WindowTimer&) = delete;

    // Restarts with a new interval, counting from now. False if no timer thread can be
    // started or the window is gone.
    bool start(std::uint32_t intervalMs);
    void stop();

    bool isActive() const { return timer_.isRunning(); }
    std::uintptr_t id() const { return id_; }
    std::uint32_t intervalMs() const { return timer_.periodMs(); }

private:
    void stopLocked();

    WindowHandle window_;
    const std::uintptr_t id_;
    std::mutex mutex_;
    std::shared_ptr<detail::PostToken> token_;  // guarded by mutex_
    PeriodicTimer timer_;
};

}  // namespace os
