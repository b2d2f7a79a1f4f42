#include "host/StopSignals.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <csignal>

#include "os/MessageQueue.h"

namespace host {

namespace {

using namespace std::chrono_literals;

// The flag comes from a signal handler, which cannot wake the queue; waits look at it this often.
constexpr auto kInterruptPoll = 20ms;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnStopSignal(int) {
    interrupted = 1;
}

}  // namespace

struct StopSignals::Saved {
    struct sigaction oldInt {};
    struct sigaction oldTerm {};
};

StopSignals::StopSignals() : saved_(std::make_unique<Saved>()) {
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &saved_->oldInt);
    sigaction(SIGTERM, &action, &saved_->oldTerm);
}

StopSignals::~StopSignals() {
    sigaction(SIGINT, &saved_->oldInt, nullptr);
    sigaction(SIGTERM, &saved_->oldTerm, nullptr);
}

bool Interrupted() {
    return interrupted != 0;
}

bool PumpUntil(const std::function<bool()>& done, os::Clock::duration timeout,
               os::Clock::duration slice, const std::function<void()>& everySlice) {
    auto queue = os::MessageQueue::forCurrentThread();
    const auto deadline = os::clock().now() + timeout;
    for (;;) {
        if (done()) return true;
        const auto left = deadline - os::clock().now();
        if (Interrupted() || left <= os::Clock::duration::zero()) return false;
        const auto wait = slice > os::Clock::duration::zero() ? std::min(left, slice) : left;
        queue->runUntil([&] { return Interrupted() || done(); }, wait, kInterruptPoll);
        if (everySlice) everySlice();
    }
}

os::Clock::duration Nominal(double seconds) {
    return std::chrono::duration_cast<os::Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace host
