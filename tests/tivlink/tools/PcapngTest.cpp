// The pcapng blocks tivctl writes: lengths and padding that readers walk by, and what each
// captured frame is taken for.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Pcapng.h"

namespace {

using namespace tivctl::pcapng;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t U32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t U16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

// Checks the framing every reader relies on and walks the options from `optionsAt`: each
// padded to four bytes with zeros, the list closed by an end-of-options exactly at the
// trailing length. Returns the options found (code, value).
std::vector<std::pair<std::uint16_t, Bytes>> CheckBlock(const Bytes& block, std::size_t optionsAt) {
    std::vector<std::pair<std::uint16_t, Bytes>> options;
    EXPECT_EQ(block.size() % 4, 0u);
    EXPECT_EQ(U32(block, 4), block.size());
    EXPECT_EQ(U32(block, block.size() - 4), block.size());
    std::size_t at = optionsAt;
    const std::size_t end = block.size() - 4;
    while (at < end) {
        const std::uint16_t code = U16(block, at);
        const std::uint16_t length = U16(block, at + 2);
        if (code == 0) {
            EXPECT_EQ(length, 0);
            EXPECT_EQ(at + 4, end) << "end of options before the block's end";
            return options;
        }
        const std::size_t padded = (length + 3u) / 4 * 4;
        EXPECT_LE(at + 4 + padded, end) << "option " << code << " runs past the block";
        if (at + 4 + padded > end) return options;
        options.emplace_back(code, Bytes(block.begin() + static_cast<long>(at) + 4,
                                         block.begin() + static_cast<long>(at + 4 + length)));
        for (std::size_t i = at + 4 + length; i < at + 4 + padded; ++i)
            EXPECT_EQ(block[i], 0) << "padding of option " << code;
        at += 4 + padded;
    }
    EXPECT_EQ(at, end) << "no end of options";
    return options;
}

TEST(Pcapng, PacketBlocksPadTheirDataAndKeepBothLengths) {
    for (const std::size_t size : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 139u}) {
        for (const std::uint32_t flags : {0u, 2u}) {
            SCOPED_TRACE("data " + std::to_string(size) + " bytes, flags " + std::to_string(flags));
            Bytes data(size);
            for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
            const auto block = EnhancedPacket(3, 0x0102030405060708ull, data, flags);
            ASSERT_GE(block.size(), 32u);
            EXPECT_EQ(U32(block, 0), 6u);
            EXPECT_EQ(U32(block, 8), 3u);
            EXPECT_EQ(U32(block, 12), 0x01020304u);  // time stamp, high word first
            EXPECT_EQ(U32(block, 16), 0x05060708u);
            EXPECT_EQ(U32(block, 20), size);  // captured
            EXPECT_EQ(U32(block, 24), size);  // original
            ASSERT_GE(block.size(), 28 + size);
            EXPECT_EQ(Bytes(block.begin() + 28, block.begin() + 28 + static_cast<long>(size)),
                      data);
            const std::size_t padded = (size + 3) / 4 * 4;
            for (std::size_t i = 28 + size; i < 28 + padded; ++i) EXPECT_EQ(block[i], 0);
            const auto options = CheckBlock(block, 28 + padded);
            if (flags == 0) {
                EXPECT_TRUE(options.empty());
                EXPECT_EQ(block.size(), 32 + padded);
            } else {
                ASSERT_EQ(options.size(), 1u);
                EXPECT_EQ(options[0].first, 2);  // epb_flags
                EXPECT_EQ(options[0].second, (Bytes{2, 0, 0, 0}));
            }
        }
    }
}

TEST(Pcapng, HeaderBlocksCarryTheirOptionsPadded) {
    const auto section = SectionHeader("tivctl");
    EXPECT_EQ(U32(section, 0), 0x0A0D0D0Au);
    EXPECT_EQ(U32(section, 8), 0x1A2B3C4Du);
    EXPECT_EQ(U16(section, 12), 1);
    EXPECT_EQ(U16(section, 14), 0);
    EXPECT_EQ(U32(section, 16), 0xFFFFFFFFu);  // length unknown: the file grows while read
    EXPECT_EQ(U32(section, 20), 0xFFFFFFFFu);
    const auto application = CheckBlock(section, 24);
    ASSERT_EQ(application.size(), 1u);
    EXPECT_EQ(std::string(application[0].second.begin(), application[0].second.end()), "tivctl");

    // Names of every length modulo four.
    for (const std::string name : {"t", "ti", "tiv", "tiv1", "tiv12"}) {
        SCOPED_TRACE(name);
        const auto block = InterfaceDescription(kLinkTypeTiv, name, "bus address 5");
        EXPECT_EQ(U32(block, 0), 1u);
        EXPECT_EQ(U16(block, 8), 150);
        const auto options = CheckBlock(block, 16);
        ASSERT_EQ(options.size(), 3u);
        EXPECT_EQ(options[0],
                  (std::pair<std::uint16_t, Bytes>{2, Bytes(name.begin(), name.end())}));
        EXPECT_EQ(options[1].first, 3);
        EXPECT_EQ(options[2], (std::pair<std::uint16_t, Bytes>{9, Bytes{6}}));  // microseconds
    }
}

// A frame as SplitStoredFrames hands it out: start, length, flags, record, checksum, end.
Bytes Frame(Bytes record) {
    Bytes f{0xFA, static_cast<std::uint8_t>(record.size() + 2), 0x80};
    f.insert(f.end(), record.begin(), record.end());
    f.insert(f.end(), {0x12, 0x34, 0xFB});
    return f;
}

TEST(Pcapng, FramesAreTakenForWhatTheBusSays) {
    const struct {
        const char* what;
        Bytes frame;
        Direction direction;
        std::uint32_t flags;
    } cases[] = {
        {"cyclic", Frame({0x03, 0, 1, 2, 3, 4}), Direction::cyclic, 1},
        {"request", Frame({0xA2, 4, 29, 0xC1, 0x04, 0xC0}), Direction::echo, 2},
        {"response", Frame({0xC2, 4, 29, 0xC1, 0x04, 0x41}), Direction::answer, 1},
        {"delivered delayed answer", Frame({0xE2, 7, 2, 0x15, 0x05, 0x0A, 0x41, 0, 0x2A}),
         Direction::answer, 1},
        {"marker", Frame({0xE2, 9, 29, 0xF5, 0x7D, 0, 'D', 'L', 'L', '_', '1'}), Direction::marker,
         2},
        {"recording start", Frame({0xE2, 4, 255, 0x00, 0x7E, 0}), Direction::marker, 2},
        {"marker whatever its control", Frame({0xE2, 4, 29, 0xF5, 0x7D, 0x0A}), Direction::marker,
         2},
        {"other service telegram", Frame({0xE2, 4, 3, 0x10, 0x00, 0x00}), Direction::echo, 2},
        {"acyclic record without header", Frame({0xA2, 4, 29}), Direction::unknown, 0},
        {"length byte disagrees", Bytes{0xFA, 9, 0x80, 0x03, 0, 0x12, 0x34, 0xFB},
         Direction::unknown, 0},
        {"malformed run", Bytes{0xFA, 0xFF, 0xFB}, Direction::unknown, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Classify(c.frame), c.direction);
        EXPECT_EQ(DirectionFlags(c.direction), c.flags);
        // The direction, then the frame between its start and end byte.
        Bytes expected{static_cast<std::uint8_t>(c.direction)};
        expected.insert(expected.end(), c.frame.begin() + 1, c.frame.end() - 1);
        EXPECT_EQ(Packet(c.frame), expected);
    }
}

// A full disk must not pass for a written capture.
TEST(Pcapng, WriterReportsAFailedOutput) {
    Writer writer;
    std::string error;
    ASSERT_TRUE(writer.Open("/dev/full", error)) << error;
    EXPECT_FALSE(writer.Begin("tiv1", "bus address 0"));
    EXPECT_FALSE(writer.Write(std::vector<Bytes>{Frame({0x03, 0})}, 1));
    EXPECT_FALSE(writer.Close());

    EXPECT_FALSE(writer.Open("/nonexistent/dir/x.pcapng", error));
    EXPECT_NE(error.find("/nonexistent/dir/x.pcapng"), std::string::npos) << error;
}

}  // namespace
