#include "core/clsTimerControl.h"

#include <cmath>

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

std::uint32_t clsTimerControl::ArmedInterval(double ms) {
    if (!(ms > 1)) return 1;  // NaN included
    if (ms >= 64767) return 64767;
    return static_cast<std::uint32_t>(std::ceil(ms));
}

void clsTimerControl::SetInterval(double ms) {
    interval_ = ArmedInterval(ms);
    if (enabled_) SetEnabled(true);
}

void clsTimerControl::onMessage(const os::Message& message) {
    if (message.msg != os::WM_TIMER || !enabled_ || !timer_) return;
    timer_();
}

}  // namespace tivmate
