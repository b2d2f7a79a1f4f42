#include "tivlink/protocol/FrameAssembler.h"

#include <bit>
#include <cstring>

namespace tivlink {

namespace {

// The first escape or end byte in [p, end), or end. The two differ only in bit 1, so one
// compare per byte finds both; eight bytes are tested at a time.
const std::uint8_t* FindEscapeOrEnd(const std::uint8_t* p, const std::uint8_t* const end) {
    static_assert((kFrameEscape | 0x02) == kFrameEnd);
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101;
        constexpr std::uint64_t kBit1 = 0x02 * kOnes;
        constexpr std::uint64_t kEnds = kFrameEnd * kOnes;
        constexpr std::uint64_t kHigh = 0x80 * kOnes;
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            // A byte of x is zero where the stream holds F9 or FB; the lowest flagged byte is
            // exact (a borrow only flags bytes above a real hit).
            const std::uint64_t x = (word | kBit1) ^ kEnds;
            const std::uint64_t hit = (x - kOnes) & ~x & kHigh;
            if (hit != 0) return p + std::countr_zero(hit) / 8;
            p += 8;
        }
    }
    while (p != end && (*p | 0x02) != kFrameEnd) ++p;
    return p;
}

}  // namespace

void FrameAssembler::Reset() {
    state_ = State::OutsideFrame;
    length_ = 0;
}

void FrameAssembler::Feed(std::span<const std::uint8_t> packetStream, FrameSink onFrame) {
    const std::uint8_t* p = packetStream.data();
    const std::uint8_t* const end = p + packetStream.size();

    // Stores one decoded byte; false when the length guard fired and the packet is done.
    const auto store = [this](std::uint8_t b) {
        if (length_ >= kMaxFrame) {
            ++discarded_;
            Reset();
            return false;
        }
        frame_[length_++] = b;
        return true;
    };

    while (p != end) {
        switch (state_) {
            case State::OutsideFrame: {
                const void* start = std::memchr(p, kFrameStart, static_cast<std::size_t>(end - p));
                if (start == nullptr) return;
                p = static_cast<const std::uint8_t*>(start) + 1;
                frame_[0] = kFrameStart;
                length_ = 1;
                state_ = State::InFrame;
                break;
            }
            case State::InFrame: {
                // Plain runs are copied whole; only escapes and end bytes stop the copy.
                const std::uint8_t* const special = FindEscapeOrEnd(p, end);
                const bool ends = special != end && *special == kFrameEnd;
                const auto stored = static_cast<std::size_t>(special - p) + (ends ? 1 : 0);
                if (length_ + stored > kMaxFrame) {
                    ++discarded_;
                    Reset();
                    return;
                }
                std::memcpy(frame_.data() + length_, p, stored);
                length_ += stored;
                if (special == end) return;
                p = special + 1;
                if (ends) {
                    const std::size_t length = length_;
                    Reset();
                    onFrame(std::span<const std::uint8_t>(frame_.data(), length));
                } else {
                    state_ = State::AfterEscape;
                }
                break;
            }
            case State::AfterEscape:
                // The escape wins over the end byte: F9 FB stores F4 and the frame goes on.
                state_ = State::InFrame;
                if (!store(static_cast<std::uint8_t>(*p++ + kFrameEscape))) return;
                break;
        }
    }
}

}  // namespace tivlink
