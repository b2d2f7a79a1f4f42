#include "tivlink/protocol/MeasuredValues.h"

#include <bit>
#include <cstring>

namespace tivlink {

namespace {
std::uint32_t U32(std::span<const std::uint8_t> f, std::size_t at) {
    return static_cast<std::uint32_t>(f[at]) | static_cast<std::uint32_t>(f[at + 1]) << 8 |
           static_cast<std::uint32_t>(f[at + 2]) << 16 |
           static_cast<std::uint32_t>(f[at + 3]) << 24;
}
}  // namespace

int MeasuredValues::Assign(int val, int msg, int obj) {
    if (val < 1 || val > kSlots) val = 1;
    if (msg < 0 || msg > 2) msg = 2;
    std::lock_guard lock(mutex_);
    auto& slot = slots_[static_cast<std::size_t>(val - 1)];
    if (obj == 255) {
        // Freed, the slot keeps its last status, value and time stamp for the client.
        slot.msgType = 255;
        slot.obj = 255;
        Rewatch();
        return 0;
    }
    if (obj < 1 || obj > 30) obj = 3;
    slot.msgType = msg;
    slot.obj = obj;
    Rewatch();
    return 0;
}

void MeasuredValues::Rewatch() {
    std::array<std::uint32_t, 3> bits{};
    for (const auto& slot : slots_)
        if (slot.msgType >= 0 && slot.msgType <= 2 && slot.obj >= 0 && slot.obj <= 31)
            bits[static_cast<std::size_t>(slot.msgType)] |= 1u << slot.obj;
    for (std::size_t i = 0; i < bits.size(); ++i) watched_[i] = bits[i];
}

void MeasuredValues::FreeAll() {
    std::lock_guard lock(mutex_);
    slots_.fill(MvSlot{});
    valueNr_ = 0;
    Rewatch();
}

MvSlot MeasuredValues::Slot(int n) const {
    if (n < 1 || n > kSlots) return {};
    std::lock_guard lock(mutex_);
    return slots_[static_cast<std::size_t>(n - 1)];
}

int MeasuredValues::ValueNr() const {
    std::lock_guard lock(mutex_);
    return valueNr_;
}

std::optional<std::pair<int, MvSlot>> MeasuredValues::Posted(std::uint32_t sequence) const {
    std::lock_guard lock(mutex_);
    const Kept& k = kept_[sequence % kept_.size()];
    if (sequence == 0 || k.sequence != sequence) return std::nullopt;
    return std::pair{k.slot, k.values};
}

int MeasuredValues::Update(std::span<const std::uint8_t> frame, std::uint32_t* sequence) {
    if (frame.size() < 5) return 0;
    const int type = frame[3] >> 5;
    if (type > 2) return 0;
    const int obj = frame[3] & 0x1F;
    // Status at 4, the value from 5: eight bytes for type 2, four plus a time stamp for
    // type 0, four for type 1.
    const std::size_t needed = type == 1 ? 9 : 13;
    if ((watched_[static_cast<std::size_t>(type)].load(std::memory_order_relaxed) >> obj & 1u) == 0)
        return 0;
    std::lock_guard lock(mutex_);
    for (int i = 0; i < kSlots; ++i) {
        auto& slot = slots_[static_cast<std::size_t>(i)];
        if (slot.msgType != type || slot.obj != obj) continue;
        if (frame.size() < needed) return 0;
        slot.status = frame[4];
        if (type == 2) {
            const std::uint64_t bits = static_cast<std::uint64_t>(U32(frame, 5)) |
                                       static_cast<std::uint64_t>(U32(frame, 9)) << 32;
            slot.value = std::bit_cast<double>(bits);
        } else {
            slot.value = std::bit_cast<float>(U32(frame, 5));
            if (type == 0) slot.timeStamp = static_cast<std::int32_t>(U32(frame, 9));
        }
        valueNr_ = i + 1;
        if (nextSequence_ == 0) ++nextSequence_;
        kept_[nextSequence_ % kept_.size()] = {nextSequence_, i + 1, slot};
        if (sequence) *sequence = nextSequence_;
        ++nextSequence_;
        return i + 1;
    }
    return 0;
}

}  // namespace tivlink
