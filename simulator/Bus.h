#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

#include "Scenario.h"
#include "os/Clock.h"

namespace sim {

// A telegram record travelling on the bus, with the disturbance it suffers on the way.
struct BusTelegram {
    std::vector<std::uint8_t> record;
    bool corrupt = false;
};

// The simulated Tiv bus with the scenario's field devices. Not thread-safe: the simulator
// calls it under its own lock.
class Bus {
public:
    using Listener = std::function<void(const BusTelegram&)>;
    using TimePoint = os::Clock::time_point;

    Bus(const Scenario& scenario, TimePoint start);

    // Everything that appears on the bus goes to the listener (the simulator hands it to
    // every adapter that hears the bus).
    void setListener(Listener listener) { listener_ = std::move(listener); }

    // An adapter puts a telegram on the bus: it appears at once; the addressed device
    // answers after the answer delay.
    void transmit(std::vector<std::uint8_t> record, TimePoint now);

    // Delivers everything due up to `now`: device answers, delayed deliveries, cyclic
    // telegrams.
    void advance(TimePoint now);
    TimePoint nextEventTime() const;

    // Answer faults for the next `count` answers; -1 for every answer until clearFaults().
    void dropAnswers(int count) { dropCount_ = count; }
    void corruptChecksums(int count) { corruptCount_ = count; }
    void wrongSubAnswers(int count) { wrongSubCount_ = count; }
    void dropNextAnswer() { dropAnswers(1); }
    void corruptNextChecksum() { corruptChecksums(1); }
    void wrongSubNextAnswer() { wrongSubAnswers(1); }
    void setAnswerDelay(std::chrono::milliseconds d) { answerDelay_ = d; }
    void clearFaults();

private:
    struct Cyclic {
        CyclicSpec spec;
        double value;
        TimePoint due;
    };
    struct Scheduled {
        TimePoint when;
        std::uint64_t order;
        BusTelegram telegram;
        bool operator>(const Scheduled& o) const {
            return when != o.when ? when > o.when : order > o.order;
        }
    };

    void answer(const std::vector<std::uint8_t>& request, TimePoint now);
    void schedule(TimePoint when, BusTelegram telegram);
    void emitCyclic(Cyclic& c, TimePoint at);

    Listener listener_;
    TimePoint start_;
    std::vector<ObjectSpec> objects_;  // all devices' objects; first match answers
    std::vector<int> subs_;            // sub numbers some device answers to
    std::vector<Cyclic> cyclic_;
    std::priority_queue<Scheduled, std::vector<Scheduled>, std::greater<>> pending_;
    std::uint64_t order_ = 0;
    // A device answers in the same bus cycle as the request; cyclic telegrams wait.
    TimePoint quietUntil_{};
    TimePoint EffectiveDue(const Cyclic& c) const { return std::max(c.due, quietUntil_); }
    std::chrono::milliseconds answerDelay_;
    std::chrono::milliseconds configuredDelay_;
    // Takes one from a fault count; true when the fault applies to this answer.
    static bool takeFault(int& count);
    int dropCount_ = 0;
    int corruptCount_ = 0;
    int wrongSubCount_ = 0;
};

}  // namespace sim
