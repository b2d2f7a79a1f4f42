#include "os/WindowTimer.h"

#include <algorithm>

namespace os {

WindowTimer::WindowTimer(const Window& window, std::uintptr_t timerId, std::uint32_t intervalMs)
    : window_(window.handle()), id_(timerId) {
    start(intervalMs);
}

WindowTimer::~WindowTimer() {
    stop();
}

bool WindowTimer::start(std::uint32_t intervalMs) {
    std::lock_guard lock(mutex_);
    stopLocked();
    if (!window_.isAlive()) return false;
    token_ = std::make_shared<detail::PostToken>();
    const Message tick{WM_TIMER, id_, 0};
    return timer_.start(std::max(intervalMs, kMinimumIntervalMs),
                        [this, window = window_, token = token_, tick] {
                            // Nobody left to tick for.
                            if (!window.post(tick, token) && !token->cancelled.load())
                                timer_.stop();
                        });
}

void WindowTimer::stop() {
    std::lock_guard lock(mutex_);
    stopLocked();
}

void WindowTimer::stopLocked() {
    if (token_) token_->cancelled.store(true);
    timer_.stop();
}

}  // namespace os
