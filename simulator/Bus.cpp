#include "Bus.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

namespace sim {

namespace {

constexpr std::uint8_t kTypeRequest = 5;
constexpr std::uint8_t kTypeResponse = 6;
constexpr std::uint8_t kTypeService = 7;
constexpr std::uint8_t kCtrlRead = 0xC0;
constexpr std::uint8_t kCtrlWrite = 0xC1;
constexpr std::uint8_t kCtrlPositive = 0x41;
constexpr std::uint8_t kCtrlLater = 0x01;
constexpr std::uint8_t kCtrlDelivered = 0x0A;
constexpr std::uint8_t kCtrlReadOnly = 0x82;
constexpr std::uint8_t kCtrlUnknownObject = 0x88;
constexpr std::uint8_t kCtrlUnsupported = 0x81;
// Devices count their wait times in the driver's timer ticks.
constexpr auto kTick = std::chrono::milliseconds(100);
// A listener that was not asked for a long time gets at most this many missed periods.
constexpr int kMaxCatchUp = 1000;

std::vector<std::uint8_t> acyclicRecord(std::uint8_t type, int sub, int obj, std::uint8_t control,
                                        std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> r;
    r.reserve(6 + data.size());
    r.push_back(static_cast<std::uint8_t>(type << 5 | 2));
    r.push_back(static_cast<std::uint8_t>(4 + data.size()));
    r.push_back(static_cast<std::uint8_t>(sub));
    r.push_back(static_cast<std::uint8_t>(obj & 0xFF));
    r.push_back(static_cast<std::uint8_t>(obj >> 8));
    r.push_back(control);
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

template <class T>
void putLittleEndian(std::vector<std::uint8_t>& out, T value) {
    const auto bits = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
    if constexpr (std::endian::native == std::endian::little)
        out.insert(out.end(), bits.begin(), bits.end());
    else
        out.insert(out.end(), bits.rbegin(), bits.rend());
}

}  // namespace

Bus::Bus(const Scenario& scenario, TimePoint start)
    : start_(start),
      answerDelay_(scenario.bus.answerDelayMs),
      configuredDelay_(scenario.bus.answerDelayMs) {
    for (const auto& device : scenario.devices) {
        for (const auto& o : device.objects) {
            objects_.push_back(o);
            if (std::find(subs_.begin(), subs_.end(), o.sub) == subs_.end()) subs_.push_back(o.sub);
        }
        for (const auto& c : device.cyclic)
            cyclic_.push_back({c, c.value, start + std::chrono::milliseconds(c.periodMs)});
    }
}

void Bus::clearFaults() {
    dropCount_ = corruptCount_ = wrongSubCount_ = 0;
    answerDelay_ = configuredDelay_;
}

bool Bus::takeFault(int& count) {
    if (count == 0) return false;
    if (count > 0) --count;
    return true;
}

void Bus::transmit(std::vector<std::uint8_t> record, TimePoint now) {
    advance(now);
    if (listener_) listener_({record, false});
    answer(record, now);
}

void Bus::schedule(TimePoint when, BusTelegram telegram) {
    pending_.push({when, order_++, std::move(telegram)});
}

void Bus::answer(const std::vector<std::uint8_t>& request, TimePoint now) {
    if (request.size() < 6 || (request[0] >> 5) != kTypeRequest) return;
    const int sub = request[2];
    const int obj = request[3] | request[4] << 8;
    const std::uint8_t control = request[5];
    const std::size_t dataSize = std::min<std::size_t>(request[1], request.size() - 2);
    const std::span<const std::uint8_t> data(request.data() + 6, dataSize >= 4 ? dataSize - 4 : 0);

    // Nobody answers for a sub number no device has.
    if (std::find(subs_.begin(), subs_.end(), sub) == subs_.end()) return;

    std::uint8_t answerControl = kCtrlUnknownObject;
    std::vector<std::uint8_t> answerData;
    std::optional<int> delayTicks;
    auto it = std::find_if(objects_.begin(), objects_.end(),
                           [&](const ObjectSpec& o) { return o.obj == obj && o.sub == sub; });
    if (it != objects_.end()) {
        if (it->error) {
            answerControl = static_cast<std::uint8_t>(*it->error);
        } else if (control == kCtrlRead) {
            answerControl = kCtrlPositive;
            answerData = it->value;
        } else if (control == kCtrlWrite) {
            if (it->writable) {
                it->value.assign(data.begin(),
                                 data.begin() + std::min<std::size_t>(data.size(), 128));
                answerControl = kCtrlPositive;
            } else {
                answerControl = kCtrlReadOnly;
            }
        } else {
            answerControl = kCtrlUnsupported;
        }
        if (answerControl == kCtrlPositive && it->delayed) delayTicks = *it->delayed;
    }

    if (takeFault(dropCount_)) return;
    const int answerSub = takeFault(wrongSubCount_) ? (sub + 1) & 0xFF : sub;
    const bool corrupt = takeFault(corruptCount_);

    const TimePoint when = now + answerDelay_;
    quietUntil_ = std::max(quietUntil_, when);
    if (delayTicks) {
        const std::uint8_t wait = static_cast<std::uint8_t>(*delayTicks);
        schedule(when,
                 {acyclicRecord(kTypeResponse, answerSub, obj, kCtrlLater, {&wait, 1}), corrupt});
        if (it->deliverAsResponse) {
            schedule(
                when + *delayTicks * kTick,
                {acyclicRecord(kTypeResponse, answerSub, obj, answerControl, answerData), false});
        } else {
            std::vector<std::uint8_t> delivered{answerControl, 0};
            delivered.insert(delivered.end(), answerData.begin(), answerData.end());
            schedule(
                when + *delayTicks * kTick,
                {acyclicRecord(kTypeService, answerSub, obj, kCtrlDelivered, delivered), false});
        }
    } else {
        schedule(when, {acyclicRecord(kTypeResponse, answerSub, obj, answerControl, answerData),
                        corrupt});
    }
}

void Bus::emitCyclic(Cyclic& c, TimePoint at) {
    std::vector<std::uint8_t> r;
    r.push_back(static_cast<std::uint8_t>(c.spec.type << 5 | (c.spec.obj & 0x1F)));
    r.push_back(static_cast<std::uint8_t>(c.spec.status));
    if (c.spec.type == 2) {
        putLittleEndian(r, c.value);
    } else {
        putLittleEndian(r, static_cast<float>(c.value));
        if (c.spec.type == 0) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - start_);
            putLittleEndian(r, static_cast<std::uint32_t>(ms.count()));
        }
    }
    // A long run of steps starts over rather than sending infinity.
    const double limit =
        c.spec.type != 2 ? std::numeric_limits<float>::max() : std::numeric_limits<double>::max();
    c.value += c.spec.step;
    if (!(std::fabs(c.value) <= limit)) c.value = c.spec.value;
    if (listener_) listener_({std::move(r), false});
}

void Bus::advance(TimePoint now) {
    // Cyclic telegrams and answers interleave in time order; answers win ties.
    for (;;) {
        Cyclic* nextCyclic = nullptr;
        for (auto& c : cyclic_)
            if (EffectiveDue(c) <= now &&
                (!nextCyclic || EffectiveDue(c) < EffectiveDue(*nextCyclic)))
                nextCyclic = &c;
        const bool answerDue = !pending_.empty() && pending_.top().when <= now;
        if (!nextCyclic && !answerDue) return;
        if (answerDue && (!nextCyclic || pending_.top().when <= EffectiveDue(*nextCyclic))) {
            BusTelegram t = pending_.top().telegram;
            pending_.pop();
            if (listener_) listener_(t);
            continue;
        }
        const auto period = std::chrono::milliseconds(nextCyclic->spec.periodMs);
        if (now - nextCyclic->due > period * kMaxCatchUp)
            nextCyclic->due += period * ((now - nextCyclic->due) / period - kMaxCatchUp);
        emitCyclic(*nextCyclic, nextCyclic->due);
        nextCyclic->due += period;
    }
}

Bus::TimePoint Bus::nextEventTime() const {
    TimePoint next = TimePoint::max();
    if (!pending_.empty()) next = pending_.top().when;
    for (const auto& c : cyclic_) next = std::min(next, EffectiveDue(c));
    return next;
}

}  // namespace sim
