#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace os {

// Source of all time in the system. Durations handed to a clock are nominal: a scaled
// clock runs them faster in real time while keeping their ratios, so timing-heavy tests
// stay short without changing the code under test.
class Clock {
public:
    using duration = std::chrono::steady_clock::duration;
    using time_point = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;

    // Nominal steady time.
    virtual time_point now() const = 0;
    // Nominal wall-clock time (for time stamps).
    virtual std::chrono::system_clock::time_point systemNow() const = 0;
    // Real time a nominal duration takes on this clock.
    virtual std::chrono::nanoseconds toReal(duration nominal) const = 0;

    void sleepFor(duration nominal) const;
    void sleepUntil(time_point nominalDeadline) const;

    // Waits on cv for at most the nominal duration; returns pred() at the end.
    template <class Pred>
    bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 duration nominal, Pred pred) const {
        return cv.wait_for(lock, toReal(nominal), pred);
    }
    // Waits on cv until the nominal deadline; returns pred() at the end.
    template <class Pred>
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   time_point nominalDeadline, Pred pred) const {
        while (!pred()) {
            const auto left = nominalDeadline - now();
            if (left <= duration::zero()) return pred();
            cv.wait_for(lock, toReal(left));
        }
        return true;
    }
};

// The production clock: steady and system clocks as they are.
class RealClock final : public Clock {
public:
    time_point now() const override { return std::chrono::steady_clock::now(); }
    std::chrono::system_clock::time_point systemNow() const override {
        return std::chrono::system_clock::now();
    }
    std::chrono::nanoseconds toReal(duration nominal) const override { return nominal; }
};

// Runs `factor` times faster than real time, counted from its creation.
class ScaledClock final : public Clock {
public:
    explicit ScaledClock(double factor);
    time_point now() const override;
    std::chrono::system_clock::time_point systemNow() const override;
    std::chrono::nanoseconds toReal(duration nominal) const override;
    double factor() const { return factor_; }

private:
    double factor_;
    std::chrono::steady_clock::time_point steadyOrigin_;
    std::chrono::system_clock::time_point systemOrigin_;
};

// The process-wide clock. Install a clock before starting anything that uses it.
Clock& clock();
void setClock(std::shared_ptr<Clock> c);

// Milliseconds of the process clock since an arbitrary origin (tick count).
std::uint32_t tickCount();

// Installs a clock for a scope and restores the previous one afterwards.
class ScopedClock {
public:
    explicit ScopedClock(std::shared_ptr<Clock> c);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    std::shared_ptr<Clock> previous_;
};

}  // namespace os
