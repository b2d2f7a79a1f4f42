#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace tivlink {

// Worker-thread commands.
enum ThreadCommandValue : std::int32_t {
    kThreadIdle = 0,
    kThreadDownload = 2,
    kThreadReceive = 3,
    kThreadShutdown = 10,
};

// For fields the worker sets on every packet or frame: a store of the value already there
// is left out, which costs a load instead of a locked write. It reads as if the store had
// happened at the load.
template <class T, class V>
inline void StoreIfChanged(std::atomic<T>& field, V value) {
    if (field.load(std::memory_order_relaxed) != static_cast<T>(value)) field.store(value);
}

// Test-and-set for the same fields: the locked exchange only when the value changes.
template <class T, class V>
inline T ExchangeIfChanged(std::atomic<T>& field, V value) {
    const T seen = field.load(std::memory_order_relaxed);
    return seen == static_cast<T>(value) ? seen : field.exchange(value);
}

// The fields the client's thread, the worker thread and the timer share. Each has one
// writer per transition; they are atomics so that the sharing is defined behaviour.
struct DriverState {
    // connection
    std::atomic<bool> adapterPresent{false};
    std::atomic<bool> adapterReady{false};
    std::atomic<bool> noConnection{true};
    std::atomic<std::int32_t> loginCounter{0};
    std::atomic<bool> loggedIn{false};
    std::atomic<bool> loggedInReported{false};
    std::atomic<bool> busy{false};
    std::atomic<bool> stopRequest{false};
    std::atomic<std::int32_t> lastError{0};
    std::atomic<std::int32_t> usbTelCntr{0};
    std::atomic<std::uint32_t> tickCounter{0};
    std::atomic<std::int32_t> statusPollDivider{3};
    std::atomic<std::int32_t> timerIntervall{3};
    std::atomic<bool> downloadFlag{false};
    std::atomic<bool> controlReadRunning{false};
    std::atomic<std::int32_t> threadCommand{kThreadIdle};
    std::atomic<bool> filterOn{false};
    std::atomic<bool> recordingActive{false};
    std::atomic<std::int32_t> recState{0};
    // A new recording asks the worker to forget a partial frame before its next packet.
    std::atomic<bool> assemblerReset{false};

    // acyclic transaction
    std::atomic<std::int32_t> requestedSub{0};
    std::atomic<std::int32_t> requestedObj{0};
    std::atomic<bool> requestSent{false};
    std::atomic<bool> requestSeen{false};
    std::atomic<bool> acyclicSeen{false};
    std::atomic<std::int32_t> responseState{0};
    std::atomic<bool> delayedPending{false};
    std::atomic<std::int32_t> delayedSub{-1};
    std::atomic<std::int32_t> delayedObj{-1};
    std::atomic<std::int32_t> delayedResponseState{0};
    std::atomic<std::int32_t> delayedWaitCounter{0};
    std::atomic<bool> delayedExpired{false};
    std::atomic<std::int32_t> traDelay{10};
    std::atomic<std::int32_t> transactionWaitCounter{0};
    std::atomic<bool> transactionExpired{false};
    std::atomic<bool> checkMethod{false};  // true: CRC
    std::atomic<bool> checkMode{false};

    // the two marker wait counters and the general one count down with the others
    std::atomic<std::int32_t> markerWaitCounter{0};
    std::atomic<std::int32_t> markerStopWaitCounter{0};
    std::atomic<std::int32_t> generalWaitCounter{0};
};

}  // namespace tivlink
