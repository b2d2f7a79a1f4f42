#include "tivlink/protocol/FrameAssembler.h"

#include <bit>
#include <cstring>

namespace tivlink {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101;

// Flags (bit 7) the bytes of `word` that are escape or end bytes. The two differ only in
// bit 1, so one compare per byte finds both. The lowest flagged byte is exact (a borrow
// only flags bytes above a real hit).
std::uint64_t EscapeOrEndBytes(std::uint64_t word) {
    static_assert((kFrameEscape | 0x02) == kFrameEnd);
    const std::uint64_t x = (word | (0x02 * kOnes)) ^ (kFrameEnd * kOnes);
    return (x - kOnes) & ~x & (0x80 * kOnes);
}

// The first escape or end byte in [p, end), or end; eight bytes are tested at a time. At
// least eight bytes before `end` from `begin` on may be read: a short rest is then tested
// as the last eight bytes, without the ones already passed.
const std::uint8_t* FindEscapeOrEnd(const std::uint8_t* const begin, const std::uint8_t* p,
                                    const std::uint8_t* const end) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t word;
        while (end - p >= 8) {
            std::memcpy(&word, p, sizeof word);
            if (const std::uint64_t hit = EscapeOrEndBytes(word); hit != 0)
                return p + std::countr_zero(hit) / 8;
            p += 8;
        }
        if (p == end) return end;
        if (end - begin >= 8) {
            std::memcpy(&word, end - 8, sizeof word);
            // The passed bytes shift out; the zeros shifted in are no hit.
            const auto rest = static_cast<unsigned>(end - p);
            word >>= 8 * (8 - rest);
            const std::uint64_t hit = EscapeOrEndBytes(word);
            return hit != 0 ? p + std::countr_zero(hit) / 8 : end;
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
    const std::uint8_t* const begin = packetStream.data();
    const std::uint8_t* p = begin;
    const std::uint8_t* const end = p + packetStream.size();

    // Copies the plain run [p, special) into the frame, with the end byte if `special` is
    // one; false when the length guard fired and the packet is done.
    const auto copyRun = [&](const std::uint8_t* special) {
        const bool ends = special != end && *special == kFrameEnd;
        const auto stored = static_cast<std::size_t>(special - p) + (ends ? 1 : 0);
        if (length_ + stored > kMaxFrame) {
            ++discarded_;
            Reset();
            return false;
        }
        std::memcpy(frame_.data() + length_, p, stored);
        length_ += stored;
        if (special == end) {
            p = end;
            return true;
        }
        p = special + 1;
        if (ends) {
            const std::size_t length = length_;
            Reset();
            onFrame(std::span<const std::uint8_t>(frame_.data(), length));
        } else {
            state_ = State::AfterEscape;
        }
        return true;
    };

    while (p != end) {
        switch (state_) {
            case State::OutsideFrame: {
                const void* found = std::memchr(p, kFrameStart, static_cast<std::size_t>(end - p));
                if (found == nullptr) return;
                const auto* const start = static_cast<const std::uint8_t*>(found);
                p = start + 1;
                const std::uint8_t* const special = FindEscapeOrEnd(begin, p, end);
                // A frame whole in this packet and without escapes goes out where it lies.
                if (special != end && *special == kFrameEnd) {
                    const auto length = static_cast<std::size_t>(special + 1 - start);
                    if (length > kMaxFrame) {
                        ++discarded_;
                        return;
                    }
                    p = special + 1;
                    onFrame(std::span<const std::uint8_t>(start, length));
                    break;
                }
                frame_[0] = kFrameStart;
                length_ = 1;
                state_ = State::InFrame;
                if (!copyRun(special)) return;
                break;
            }
            case State::InFrame:
                // Plain runs are copied whole; only escapes and end bytes stop the copy.
                if (!copyRun(FindEscapeOrEnd(begin, p, end))) return;
                break;
            case State::AfterEscape:
                // The escape wins over the end byte: F9 FB stores F4 and the frame goes on.
                if (length_ >= kMaxFrame) {
                    ++discarded_;
                    Reset();
                    return;
                }
                frame_[length_++] = static_cast<std::uint8_t>(*p++ + kFrameEscape);
                state_ = State::InFrame;
                break;
        }
    }
}

}  // namespace tivlink
