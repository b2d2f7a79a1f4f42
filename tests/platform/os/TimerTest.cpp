#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "os/Clock.h"
#include "os/MessageQueue.h"
#include "os/PeriodicTimer.h"
#include "os/WindowTimer.h"

namespace {

using namespace std::chrono_literals;
using Nominal = os::Clock::duration;

// Nominal times of a timer's callbacks; lets the test wait for the n-th one.
class Ticks {
public:
    void record() {
        std::lock_guard lock(mutex_);
        times_.push_back(os::clock().now());
        cv_.notify_all();
    }
    bool waitFor(std::size_t n, std::chrono::seconds realTimeout = 30s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, realTimeout, [&] { return times_.size() >= n; });
    }
    std::vector<os::Clock::time_point> times() {
        std::lock_guard lock(mutex_);
        return times_;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return times_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<os::Clock::time_point> times_;
};

// A one-shot flag to wait on.
class Flag {
public:
    void set() {
        std::lock_guard lock(mutex_);
        set_ = true;
        cv_.notify_all();
    }
    bool wait(std::chrono::seconds realTimeout = 30s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, realTimeout, [&] { return set_; });
    }
    bool isSet() {
        std::lock_guard lock(mutex_);
        return set_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

TEST(PeriodicTimer, KeepsToAbsoluteDeadlinesWhenTheCallbackTakesTime) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(2.0));
    Ticks ticks;
    os::PeriodicTimer timer;
    const auto start = os::clock().now();
    ASSERT_TRUE(timer.start(100, [&] {
        ticks.record();
        os::clock().sleepFor(50ms);  // half a period of work
    }));
    ASSERT_TRUE(ticks.waitFor(20));
    timer.stop();

    const auto times = ticks.times();
    std::vector<Nominal> lateness;
    for (std::size_t k = 0; k < times.size(); ++k) {
        const auto due = start + Nominal(100ms) * static_cast<long>(k + 1);
        ASSERT_GE(times[k], due) << "tick " << k << " came early";
        lateness.push_back(times[k] - due);
    }
    // Deadlines measured from each callback's end would put tick k 50 ms * k behind, every
    // tick from the twelfth on 600 ms or more. A stall of the machine delays some ticks but
    // not the deadlines after it, so one of eight on time is enough (500 ms is 250 ms real).
    EXPECT_LT(*std::min_element(lateness.begin() + 12, lateness.begin() + 20), 500ms);
}

TEST(PeriodicTimer, LateTickFiresOnceInsteadOfCatchingUpInABurst) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(5.0));
    Ticks ticks;
    os::PeriodicTimer timer;
    const auto start = os::clock().now();
    ASSERT_TRUE(timer.start(100, [&] {
        ticks.record();
        if (ticks.count() == 1) os::clock().sleepFor(550ms);  // misses five deadlines
    }));
    ASSERT_TRUE(ticks.waitFor(4));
    timer.stop();

    const auto t = ticks.times();
    EXPECT_GE(t[1] - t[0], 550ms);
    // A burst would have run the ticks due at 200..600 ms back to back around 650 ms.
    EXPECT_GE(t[2], start + 700ms) << "missed ticks were delivered back to back";
    EXPECT_GE(t[3], start + 800ms);
}

TEST(PeriodicTimer, StopWaitsForARunningCallbackAndEndsTheTicks) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(10.0));
    Flag entered;
    std::atomic<bool> finished{false};
    std::atomic<int> count{0};
    os::PeriodicTimer timer;
    ASSERT_TRUE(timer.start(20, [&] {
        ++count;
        entered.set();
        os::clock().sleepFor(200ms);
        finished = true;
    }));
    EXPECT_TRUE(timer.isRunning());
    EXPECT_NE(timer.timerId(), 0u);
    ASSERT_TRUE(entered.wait());
    timer.stop();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(timer.isRunning());
    EXPECT_EQ(timer.timerId(), 0u);
    const int afterStop = count;

    // Time enough for several more periods, measured by another timer.
    Ticks witness;
    os::PeriodicTimer other;
    ASSERT_TRUE(other.start(20, [&] { witness.record(); }));
    ASSERT_TRUE(witness.waitFor(10));
    other.stop();
    EXPECT_EQ(count, afterStop);
    timer.stop();  // a second stop does nothing
}

TEST(PeriodicTimer, StopFromInsideTheCallbackEndsTheTimer) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(10.0));
    os::PeriodicTimer timer;
    std::atomic<int> count{0};
    std::atomic<bool> runningAfterStop{true};
    Flag stopped;
    ASSERT_TRUE(timer.start(10, [&] {
        if (++count == 3) {
            timer.stop();
            runningAfterStop = timer.isRunning();
            stopped.set();
        }
    }));
    ASSERT_TRUE(stopped.wait());
    EXPECT_FALSE(runningAfterStop);
    timer.stop();
    EXPECT_EQ(count, 3);
    EXPECT_FALSE(timer.isRunning());
}

TEST(PeriodicTimer, RestartsWithANewIdAndRefusesBadStarts) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(10.0));
    os::PeriodicTimer timer;
    EXPECT_FALSE(timer.start(0, [] {}));
    EXPECT_FALSE(timer.start(10, {}));
    EXPECT_EQ(timer.timerId(), 0u);

    Ticks first;
    std::atomic<bool> restartInside{true};
    ASSERT_TRUE(timer.start(10, [&] {
        if (first.count() == 0) restartInside = timer.start(10, [] {});
        first.record();
    }));
    const auto firstId = timer.timerId();
    EXPECT_NE(firstId, 0u);
    EXPECT_FALSE(timer.start(10, [] {}));
    ASSERT_TRUE(first.waitFor(2));
    EXPECT_FALSE(restartInside);
    timer.stop();

    Ticks second;
    ASSERT_TRUE(timer.start(10, [&] { second.record(); }));
    EXPECT_NE(timer.timerId(), 0u);
    EXPECT_NE(timer.timerId(), firstId);
    EXPECT_EQ(timer.periodMs(), 10u);
    const auto firstCount = first.count();
    ASSERT_TRUE(second.waitFor(2));
    EXPECT_EQ(first.count(), firstCount);
}

TEST(PeriodicTimer, MayBeDestroyedByItsOwnCallback) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(10.0));
    auto timer = std::make_unique<os::PeriodicTimer>();
    Flag destroyed;
    ASSERT_TRUE(timer->start(10, [&] {
        timer.reset();
        destroyed.set();
    }));
    ASSERT_TRUE(destroyed.wait());
    EXPECT_EQ(timer, nullptr);
}

TEST(WindowTimer, PostsTimerMessagesWithItsIdToTheWindowThread) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(10.0));
    std::vector<os::Message> seen;
    std::vector<std::thread::id> threads;
    os::Window window([&](const os::Message& m) {
        seen.push_back(m);
        threads.push_back(std::this_thread::get_id());
    });
    os::WindowTimer timer(window, 42, 50);
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.id(), 42u);
    ASSERT_TRUE(window.queue().runUntil([&] { return seen.size() >= 3; }, 1min));
    timer.stop();
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].msg, os::WM_TIMER);
        EXPECT_EQ(seen[i].wParam, 42u);
        EXPECT_EQ(threads[i], std::this_thread::get_id());
    }
}

TEST(WindowTimer, KeepsAtMostOneTickQueued) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(10.0));
    int seen = 0;
    os::Window window([&](const os::Message&) { ++seen; });
    os::WindowTimer timer(window, 1, 10);
    // Many periods pass while nobody processes the window's queue.
    Ticks witness;
    os::PeriodicTimer clockWatcher;
    ASSERT_TRUE(clockWatcher.start(10, [&] { witness.record(); }));
    ASSERT_TRUE(witness.waitFor(20));
    clockWatcher.stop();
    EXPECT_EQ(window.queue().pendingCount(), 1u);
    EXPECT_EQ(window.queue().processMessages(), 1u);
    EXPECT_EQ(seen, 1);
}

TEST(WindowTimer, StopWithdrawsAQueuedTick) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(10.0));
    int seen = 0;
    os::Window window([&](const os::Message&) { ++seen; });
    auto& queue = window.queue();
    queue.processMessages();
    os::WindowTimer timer(window, 7, 10);
    pollfd p{queue.eventFd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 30'000), 1) << "no tick came";
    timer.stop();
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(queue.processMessages(), 0u);
    EXPECT_EQ(seen, 0);

    ASSERT_TRUE(timer.start(10));
    EXPECT_TRUE(queue.runUntil([&] { return seen == 1; }, 1min));
}

TEST(WindowTimer, OutlivesItsWindow) {
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(10.0));
    auto window = std::make_unique<os::Window>([](const os::Message&) {});
    os::WindowTimer timer(*window, 3, 10);
    window.reset();
    // With nobody left to tick for, the timer stops itself.
    EXPECT_TRUE(os::MessageQueue::current().runUntil([&] { return !timer.isActive(); }, 1min));
    EXPECT_FALSE(timer.start(10));
}

}  // namespace
