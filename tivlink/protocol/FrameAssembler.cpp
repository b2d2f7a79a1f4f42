#include "tivlink/protocol/FrameAssembler.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tivlink {

namespace {

// Bit i of `starts` is set where chunk byte i is a start byte, of `specials` where it is an
// escape or end byte (the two differ only in bit 1). A chunk has at most 64 bytes.
struct ChunkMasks {
    std::uint64_t starts = 0;
    std::uint64_t specials = 0;
};

ChunkMasks Classify(const std::uint8_t* chunk, std::size_t n) {
    static_assert((kFrameEscape | 0x02) == kFrameEnd);
    ChunkMasks m;
#if defined(__SSE2__)
    if (n >= 16) {
        const __m128i start = _mm_set1_epi8(static_cast<char>(kFrameStart));
        const __m128i end = _mm_set1_epi8(static_cast<char>(kFrameEnd));
        const __m128i bit1 = _mm_set1_epi8(0x02);
        // Sixteen bytes at a time; the last load ends at the chunk's end and may overlap.
        for (std::size_t at = 0; at < n; at += 16) {
            const std::size_t from = std::min(at, n - 16);
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + from));
            const auto s = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, start)));
            const auto e = static_cast<std::uint32_t>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(v, bit1), end)));
            m.starts |= std::uint64_t{s} << from;
            m.specials |= std::uint64_t{e} << from;
        }
        return m;
    }
#endif
    for (std::size_t i = 0; i < n; ++i) {
        m.starts |= std::uint64_t{chunk[i] == kFrameStart} << i;
        m.specials |= std::uint64_t{(chunk[i] | 0x02) == kFrameEnd} << i;
    }
    return m;
}

// The first set bit at or above `from` (< 64), or `none`.
std::size_t NextSet(std::uint64_t mask, std::size_t from, std::size_t none) {
    const std::uint64_t rest = mask >> from;
    return rest == 0 ? none : from + static_cast<std::size_t>(std::countr_zero(rest));
}

}  // namespace

void FrameAssembler::Reset() {
    state_ = State::OutsideFrame;
    length_ = 0;
}

void FrameAssembler::Feed(std::span<const std::uint8_t> packetStream, FrameSink onFrame) {
    const std::uint8_t* const begin = packetStream.data();
    const std::uint8_t* const end = begin + packetStream.size();

    // The stream is classified 64 bytes at a time: escape, end and start bytes are then found
    // by their bits, not by a scan.
    for (const std::uint8_t* chunk = begin; chunk != end;) {
        const auto n = static_cast<std::size_t>(std::min<std::ptrdiff_t>(end - chunk, 64));
        const ChunkMasks masks = Classify(chunk, n);
        std::size_t i = 0;

        // Copies the plain run [i, special) into the frame, with the end byte if `special`
        // is one; false when the length guard fired and the packet is done.
        const auto copyRun = [&](std::size_t special) {
            const bool ends = special != n && chunk[special] == kFrameEnd;
            const std::size_t stored = special - i + (ends ? 1 : 0);
            if (length_ + stored > kMaxFrame) {
                ++discarded_;
                Reset();
                return false;
            }
            std::memcpy(frame_.data() + length_, chunk + i, stored);
            length_ += stored;
            if (special == n) {
                i = n;
                return true;
            }
            i = special + 1;
            if (ends) {
                const std::size_t length = length_;
                Reset();
                onFrame(std::span<const std::uint8_t>(frame_.data(), length));
            } else {
                state_ = State::AfterEscape;
            }
            return true;
        };

        while (i != n) {
            switch (state_) {
                case State::OutsideFrame: {
                    const std::size_t start = NextSet(masks.starts, i, n);
                    if (start == n) {
                        i = n;
                        break;
                    }
                    i = start + 1;
                    const std::size_t special = i == n ? n : NextSet(masks.specials, i, n);
                    // A frame whole in this chunk and without escapes goes out where it lies
                    // (a chunk is never longer than a frame may be).
                    static_assert(kMaxFrame >= 64);
                    if (special != n && chunk[special] == kFrameEnd) {
                        i = special + 1;
                        onFrame(std::span<const std::uint8_t>(chunk + start, i - start));
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
                    if (!copyRun(NextSet(masks.specials, i, n))) return;
                    break;
                case State::AfterEscape:
                    // The escape wins over the end byte: F9 FB stores F4 and the frame goes on.
                    if (length_ >= kMaxFrame) {
                        ++discarded_;
                        Reset();
                        return;
                    }
                    frame_[length_++] = static_cast<std::uint8_t>(chunk[i++] + kFrameEscape);
                    state_ = State::InFrame;
                    break;
            }
        }
        chunk += n;
    }
}

}  // namespace tivlink
