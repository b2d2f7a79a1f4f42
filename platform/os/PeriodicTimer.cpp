#include "os/PeriodicTimer.h"

#include <condition_variable>
#include <system_error>

#include "os/Clock.h"

namespace os {

// Shared with the thread, so the thread never touches the PeriodicTimer itself and outlives it
// safely when the timer is destroyed from inside its own callback.
struct PeriodicTimer::State {
    explicit State(const PeriodicTimer* o) : owner(o) {}
    const PeriodicTimer* const owner;
    std::mutex mutex;
    std::condition_variable cv;
    bool stopRequested = false;  // guarded by mutex

    void requestStop() {
        {
            std::lock_guard lock(mutex);
            stopRequested = true;
        }
        cv.notify_all();
    }
};

namespace {

// The timer whose callback this thread is running, if any.
thread_local PeriodicTimer::State* tlsRunning = nullptr;

std::uint32_t newTimerId() {
    static std::atomic<std::uint32_t> next{1};
    for (;;) {
        const auto id = next.fetch_add(1);
        if (id != 0) return id;
    }
}

void runTimer(const std::shared_ptr<PeriodicTimer::State>& state, std::uint32_t periodMs,
              const PeriodicTimer::Callback& callback) {
    tlsRunning = state.get();
    std::unique_lock lock(state->mutex);  // waits for start() to let go of the timer
    const Clock::duration period = std::chrono::milliseconds(periodMs);
    auto next = clock().now() + period;
    for (;;) {
        if (clock().waitUntil(state->cv, lock, next, [&] { return state->stopRequested; })) break;
        lock.unlock();
        callback();
        lock.lock();
        if (state->stopRequested) break;
        next += period;
        const auto now = clock().now();
        // Late: fire once now for the latest missed deadline, drop the ones before it.
        if (next < now) next += ((now - next) / period) * period;
    }
    tlsRunning = nullptr;
}

}  // namespace

PeriodicTimer::~PeriodicTimer() {
    if (onOwnThread()) {
        // Destroyed by its own callback: the thread cannot join itself; it ends on its own.
        tlsRunning->requestStop();
        if (thread_.joinable()) thread_.detach();
        return;
    }
    stop();
}

bool PeriodicTimer::onOwnThread() const {
    return tlsRunning && tlsRunning->owner == this;
}

bool PeriodicTimer::start(std::uint32_t periodMs, Callback callback) {
    if (periodMs == 0 || !callback || onOwnThread()) return false;
    std::unique_lock control(control_);
    if (running_.load()) return false;
    // A thread stopped from inside its callback may still be finishing.
    if (thread_.joinable()) thread_.join();
    auto state = std::make_shared<State>(this);
    period_.store(periodMs);
    id_.store(newTimerId());
    running_.store(true);
    // Holds the new thread back until this object is filled in and no longer touched here:
    // its callback may look at the timer, or even destroy it.
    std::unique_lock published(state->mutex);
    try {
        thread_ = std::thread(
            [state, periodMs, cb = std::move(callback)] { runTimer(state, periodMs, cb); });
    } catch (const std::system_error&) {
        running_.store(false);
        id_.store(0);
        return false;
    }
    state_ = state;
    control.unlock();
    return true;
}

void PeriodicTimer::stop() {
    if (onOwnThread()) {
        tlsRunning->requestStop();
        running_.store(false);
        id_.store(0);
        return;
    }
    std::lock_guard control(control_);
    if (state_) state_->requestStop();
    if (thread_.joinable()) thread_.join();
    state_.reset();
    running_.store(false);
    id_.store(0);
}

}  // namespace os
