#include "os/Clock.h"

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

namespace os {

void Clock::sleepFor(duration nominal) const {
    if (nominal > duration::zero()) std::this_thread::sleep_for(toReal(nominal));
}

void Clock::sleepUntil(time_point nominalDeadline) const {
    for (;;) {
        const auto left = nominalDeadline - now();
        if (left <= duration::zero()) return;
        std::this_thread::sleep_for(toReal(left));
    }
}

ScaledClock::ScaledClock(double factor)
    : factor_(factor),
      steadyOrigin_(std::chrono::steady_clock::now()),
      systemOrigin_(std::chrono::system_clock::now()) {
    if (!(factor > 0.0) || !std::isfinite(factor))
        throw std::invalid_argument("clock scale must be a finite positive number");
}

Clock::time_point ScaledClock::now() const {
    const auto real = std::chrono::steady_clock::now() - steadyOrigin_;
    return steadyOrigin_ + std::chrono::duration_cast<duration>(real * factor_);
}

std::chrono::system_clock::time_point ScaledClock::systemNow() const {
    const auto real = std::chrono::steady_clock::now() - steadyOrigin_;
    return systemOrigin_ +
           std::chrono::duration_cast<std::chrono::system_clock::duration>(real * factor_);
}

std::chrono::nanoseconds ScaledClock::toReal(duration nominal) const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(nominal / factor_);
}

namespace {
// Clocks are never destroyed, not even at exit: a thread may still be inside a call on an
// old one, and timer threads of objects that outlive main keep asking for the time.
std::shared_ptr<Clock>& holder() {
    static auto* c = new std::shared_ptr<Clock>(std::make_shared<RealClock>());
    return *c;
}
std::atomic<Clock*> current{nullptr};
std::mutex& installMutex = *new std::mutex;
}  // namespace

Clock& clock() {
    Clock* c = current.load(std::memory_order_acquire);
    if (c) return *c;
    std::lock_guard lock(installMutex);
    c = holder().get();
    current.store(c, std::memory_order_release);
    return *c;
}

void setClock(std::shared_ptr<Clock> c) {
    if (!c) c = std::make_shared<RealClock>();
    std::lock_guard lock(installMutex);
    static auto* retired = new std::vector<std::shared_ptr<Clock>>;
    retired->push_back(holder());
    holder() = std::move(c);
    current.store(holder().get(), std::memory_order_release);
}

std::uint32_t tickCount() {
    // Like the platform's tick count: milliseconds since boot, wrapping at 32 bits.
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock().now().time_since_epoch())
            .count());
}

ScopedClock::ScopedClock(std::shared_ptr<Clock> c) {
    {
        std::lock_guard lock(installMutex);
        previous_ = holder();
    }
    setClock(std::move(c));
}

ScopedClock::~ScopedClock() {
    setClock(std::move(previous_));
}

}  // namespace os
