#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace os {

// A periodic callback on a thread of its own (the multimedia timer's stand-in).
//
// Ticks follow absolute deadlines on os::clock(), so they do not drift. A tick that comes due
// while the callback is still running fires as soon as it returns; further missed ticks are
// skipped, never delivered in a burst.
//
// start() and stop() may be called from any thread. stop() from inside the callback only
// requests the stop (the thread ends when the callback returns); from anywhere else it waits
// for the thread to end, so the callback must not wait for the thread calling stop().
class PeriodicTimer {
public:
    using Callback = std::function<void()>;

    PeriodicTimer() = default;
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    // False when already running, when periodMs is 0, the callback is empty, no thread can be
    // started, or when called from this timer's own callback.
    bool start(std::uint32_t periodMs, Callback callback);
    void stop();

    bool isRunning() const { return running_.load(); }
    // Nonzero while running; a new id for every start.
    std::uint32_t timerId() const { return id_.load(); }
    std::uint32_t periodMs() const { return period_.load(); }

    struct State;

private:
    bool onOwnThread() const;

    std::mutex control_;  // serialises start/stop from outside the timer thread
    std::shared_ptr<State> state_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint32_t> id_{0};
    std::atomic<std::uint32_t> period_{0};
};

}  // namespace os
