#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "tivlink/protocol/FrameAssembler.h"

namespace {

using tivlink::FrameAssembler;
using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<Bytes>;

constexpr std::size_t kPacketStream = 62;  // bytes 2..63 of a pipe-1 packet

// Wire image of a frame: start byte, content with F9/FA/FB escaped, end byte.
Bytes Wire(const Bytes& content) {
    Bytes out{0xFA};
    for (const std::uint8_t b : content) {
        if (b >= 0xF9 && b <= 0xFB) {
            out.push_back(0xF9);
            out.push_back(static_cast<std::uint8_t>(b - 0xF9));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(0xFB);
    return out;
}

// The frame the assembler should deliver for `content`.
Bytes Decoded(const Bytes& content) {
    Bytes out{0xFA};
    out.insert(out.end(), content.begin(), content.end());
    out.push_back(0xFB);
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

void FeedPacket(FrameAssembler& assembler, const Bytes& packet, Frames& frames) {
    assembler.Feed(packet, [&](std::span<const std::uint8_t> frame) {
        frames.emplace_back(frame.begin(), frame.end());
    });
}

Frames FeedPackets(FrameAssembler& assembler, const Bytes& stream, std::size_t packetSize) {
    Frames frames;
    for (std::size_t at = 0; at < stream.size(); at += packetSize) {
        const auto end = std::min(stream.size(), at + packetSize);
        FeedPacket(assembler,
                   Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                         stream.begin() + static_cast<std::ptrdiff_t>(end)),
                   frames);
    }
    return frames;
}

TEST(FrameAssembler, DecodesOnePacket) {
    struct Case {
        const char* name;
        Bytes packet;
        Frames frames;
    };
    const Case cases[] = {
        {"escape pairs give F9, FA, FB",
         {0xFA, 0x06, 0xF9, 0x00, 0xF9, 0x01, 0xF9, 0x02, 0xFB},
         {{0xFA, 0x06, 0xF9, 0xFA, 0xFB, 0xFB}}},
        {"escape wins over the end byte",
         {0xFA, 0x10, 0xF9, 0xFB, 0x20, 0xFB},
         {{0xFA, 0x10, 0xF4, 0x20, 0xFB}}},
        {"escaped start and escape bytes wrap modulo 256",
         {0xFA, 0xF9, 0xFA, 0xF9, 0xF9, 0xF9, 0xFF, 0xFB},
         {{0xFA, 0xF3, 0xF2, 0xF8, 0xFB}}},
        {"start byte inside a frame is data",
         {0xFA, 0x10, 0xFA, 0x20, 0xFA, 0xFB},
         {{0xFA, 0x10, 0xFA, 0x20, 0xFA, 0xFB}}},
        {"junk, zeros and a stray escape between frames are dropped",
         {0x00, 0x00, 0x11, 0xFB, 0xF9, 0xFA, 0x01, 0xFB, 0x00, 0xFB, 0xF9, 0xFA, 0x02, 0xFB, 0x00},
         {{0xFA, 0x01, 0xFB}, {0xFA, 0x02, 0xFB}}},
        {"several frames back to back",
         Concat({Wire({0x0C, 0x80, 0xA2, 0x04}), Wire({}), Wire({0xFB, 0xFA})}),
         {Decoded({0x0C, 0x80, 0xA2, 0x04}), Decoded({}), Decoded({0xFB, 0xFA})}},
        {"nothing but junk", {0x00, 0xFB, 0xF9, 0x41, 0xFF}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FrameAssembler assembler;
        Frames frames;
        FeedPacket(assembler, c.packet, frames);
        EXPECT_EQ(frames, c.frames);
        EXPECT_FALSE(assembler.InFrame());
    }
}

TEST(FrameAssembler, FramesAndEscapesContinueAcrossPackets) {
    const Bytes content{0x0C, 0x80, 0xC2, 0x05, 0x01, 0xF9, 0xFA, 0xFB, 0x41, 0x99, 0xF9, 0x12};
    const Bytes stream = Concat({{0x00, 0x33}, Wire(content), {0x00}, Wire({0xFB}), Wire(content)});
    const Frames expected{Decoded(content), Decoded({0xFB}), Decoded(content)};

    // Every cut into two packets, so each escape and each start and end byte lands on a
    // packet boundary once.
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        FrameAssembler assembler;
        Frames frames;
        FeedPacket(assembler,
                   Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)),
                   frames);
        FeedPacket(assembler,
                   Bytes(stream.begin() + static_cast<std::ptrdiff_t>(cut), stream.end()), frames);
        ASSERT_EQ(frames, expected) << "cut at " << cut;
    }

    FrameAssembler assembler;
    Frames frames;
    FeedPacket(assembler, {0xFA, 0x01, 0xF9}, frames);
    EXPECT_TRUE(assembler.InFrame());
    FeedPacket(assembler, {}, frames);
    FeedPacket(assembler, {0x01, 0xFB}, frames);
    EXPECT_EQ(frames, Frames{Bytes({0xFA, 0x01, 0xFA, 0xFB})});
}

TEST(FrameAssembler, LengthGuardDropsTheRestOfThePacketAndResynchronises) {
    // 1023 decoded bytes is the longest frame; escapes count once, as the byte they stand for.
    const Bytes longest(1021, 0xFA);
    FrameAssembler assembler;
    const Frames delivered = FeedPackets(assembler, Wire(longest), kPacketStream);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].size(), 1023u);
    EXPECT_EQ(delivered[0], Decoded(longest));
    EXPECT_EQ(assembler.DiscardedFrames(), 0u);

    // One byte more: the end byte overflows. A whole frame behind it in the same packet is
    // lost; the next packet starts over at its first FA.
    const Bytes tooLong(1022, 0x55);
    const Bytes wire = Wire(tooLong);
    const std::size_t lastPacket = (wire.size() - 1) / kPacketStream * kPacketStream;
    Bytes stream = wire;
    stream.resize(lastPacket + kPacketStream, 0x00);
    const Bytes lostFrame = Wire({0x05});
    std::copy(lostFrame.begin(), lostFrame.end(), stream.end() - 10);
    stream.insert(stream.end(), {0x07, 0xFB, 0xFA, 0x06, 0xFB});

    Frames frames = FeedPackets(assembler, stream, kPacketStream);
    EXPECT_EQ(frames, Frames{Decoded({0x06})});
    EXPECT_EQ(assembler.DiscardedFrames(), 1u);

    // Overflow in the middle of a packet: a start byte later in that packet does not open a
    // frame, or the runaway's tail in the next packet would come out as one.
    Bytes runaway = Concat({Bytes(40, 0x00), Bytes{0xFA}, Bytes(1100, 0x33)});
    runaway.resize((runaway.size() / kPacketStream + 1) * kPacketStream, 0x33);
    const std::size_t overflowPacket = (40 + 1023) / kPacketStream;
    runaway[overflowPacket * kPacketStream + kPacketStream - 2] = 0xFA;
    runaway.insert(runaway.end(), {0xFB, 0xFA, 0x08, 0xFB});
    frames = FeedPackets(assembler, runaway, kPacketStream);
    EXPECT_EQ(frames, Frames{Decoded({0x08})});
    EXPECT_EQ(assembler.DiscardedFrames(), 2u);

    // The same limit for a frame that lies whole in one packet, with a frame behind it.
    for (const std::size_t content : {std::size_t{1021}, std::size_t{1022}}) {
        FrameAssembler whole;
        Frames got;
        FeedPacket(whole, Concat({Wire(Bytes(content, 0x55)), Wire({0x06})}), got);
        const Frames want =
            content == 1021 ? Frames{Decoded(Bytes(content, 0x55)), Decoded({0x06})} : Frames{};
        EXPECT_EQ(got, want) << content;
        EXPECT_EQ(whole.DiscardedFrames(), content == 1021 ? 0u : 1u) << content;
        EXPECT_FALSE(whole.InFrame()) << content;
    }
}

TEST(FrameAssembler, ResetForgetsPartialFrameAndPendingEscape) {
    FrameAssembler assembler;
    Frames frames;
    FeedPacket(assembler, {0xFA, 0x01, 0xF9}, frames);
    assembler.Reset();
    EXPECT_FALSE(assembler.InFrame());
    FeedPacket(assembler, {0x01, 0xFB, 0xFA, 0x03, 0xFB}, frames);
    EXPECT_EQ(frames, Frames{Decoded({0x03})});
}

// The byte-at-a-time rules the assembler must keep, however it scans.
struct ReferenceAssembler {
    bool inFrame = false;
    bool escape = false;
    Bytes frame;
    std::size_t discarded = 0;

    void Feed(const Bytes& packet, Frames& frames) {
        for (const std::uint8_t raw : packet) {
            if (!inFrame) {
                if (raw == 0xFA) {
                    inFrame = true;
                    frame = {0xFA};
                }
                continue;
            }
            if (!escape && raw == 0xF9) {
                escape = true;
                continue;
            }
            const bool wasEscape = std::exchange(escape, false);
            if (frame.size() >= tivlink::kMaxFrame) {
                ++discarded;
                inFrame = false;
                return;
            }
            frame.push_back(wasEscape ? static_cast<std::uint8_t>(raw + 0xF9) : raw);
            if (!wasEscape && raw == 0xFB) {
                inFrame = false;
                frames.push_back(frame);
            }
        }
    }
};

// Streams dense in F9/FA/FB, long plain runs and oversized frames, cut at every packet size
// the word-wise scan could get wrong (runs shorter than, equal to and longer than a word).
TEST(FrameAssembler, AgreesWithTheByteWiseRulesOnRandomStreams) {
    std::uint32_t seed = 12345;
    const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 300; ++round) {
        Bytes stream(static_cast<std::size_t>(next() % 2000));
        const unsigned specials = next() % 4;  // 0: rare ... 3: every other byte
        for (auto& b : stream) {
            const auto r = next();
            b = (r >> 8) % (64 >> (2 * specials)) == 0 ? static_cast<std::uint8_t>(0xF9 + r % 3)
                                                       : static_cast<std::uint8_t>(r >> 16);
        }
        const std::size_t packetSize = 1 + next() % 70;
        FrameAssembler assembler;
        ReferenceAssembler reference;
        Frames got;
        Frames want;
        for (std::size_t at = 0; at < stream.size(); at += packetSize) {
            const Bytes packet(stream.begin() + static_cast<std::ptrdiff_t>(at),
                               stream.begin() + static_cast<std::ptrdiff_t>(
                                                    std::min(stream.size(), at + packetSize)));
            FeedPacket(assembler, packet, got);
            reference.Feed(packet, want);
            ASSERT_EQ(assembler.InFrame(), reference.inFrame) << "round " << round;
        }
        ASSERT_EQ(got, want) << "round " << round;
        ASSERT_EQ(assembler.DiscardedFrames(), reference.discarded) << "round " << round;
    }
}

}  // namespace
