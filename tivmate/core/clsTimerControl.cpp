#include "core/clsTimerControl.h"

namespace tivmate {

namespace {
constexpr std::uintptr_t kTimerId = 1;
}

clsTimerControl::clsTimerControl(std::function<void()> Timer)
    : timer_(std::move(Timer)), window_([this](const os::Message& m) { onMessage(m); }) {}

clsTimerControl::~clsTimerControl() {
    if (tick_) tick_->stop();
}

void clsTimerControl::SetEnabled(bool enabled) {
    enabled_ = enabled;
    if (!enabled) {
        if (tick_) tick_->stop();
        return;
    }
    if (!tick_) tick_ = std::make_unique<os::WindowTimer>(window_, kTimerId, interval_);
    tick_->start(interval_);
}

void clsTimerControl::SetInterval(std::uint32_t ms) {
    interval_ = ms;
    if (enabled_) SetEnabled(true);
}

void clsTimerControl::onMessage(const os::Message& message) {
    if (message.msg != os::WM_TIMER || !enabled_ || !timer_) return;
    timer_();
}

}  // namespace tivmate
