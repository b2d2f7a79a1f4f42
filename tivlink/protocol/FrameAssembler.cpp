#include "tivlink/protocol/FrameAssembler.h"

#include <cstring>

namespace tivlink {

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
                // The length stays in a register: a byte store may alias any member.
                std::size_t length = length_;
                std::uint8_t* const frame = frame_.data();
                while (p != end) {
                    const std::uint8_t b = *p++;
                    if (b == kFrameEscape) {
                        state_ = State::AfterEscape;
                        break;
                    }
                    if (length >= kMaxFrame) {
                        ++discarded_;
                        Reset();
                        return;
                    }
                    frame[length++] = b;
                    if (b == kFrameEnd) {
                        Reset();
                        onFrame(std::span<const std::uint8_t>(frame, length));
                        break;
                    }
                }
                if (state_ != State::OutsideFrame) length_ = length;
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
