#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <utility>

#include "tivlink/TelegramCodec.h"
#include "tivlink/protocol/TransmitBlocks.h"

namespace {

using namespace tivlink;

// Block index and packet byte that carry record byte r.
std::pair<std::size_t, std::size_t> Slot(std::size_t r) {
    if (r < 54) return {0, 1 + r};
    if (r < 102) return {1, 1 + r - 54};
    return {2, 1 + r - 102};
}

TEST(TransmitBlocks, LongestTelegramFillsAllThreeBlocksExactly) {
    WorkArea area{};
    for (std::size_t i = 0; i < kMaxRecord; ++i) area[i] = static_cast<std::uint8_t>(i + 1);
    WriteTelegramHeader(std::span(area).first<kRecordHeaderSize>(), kTelTypeRequest, kMaxDataSize,
                        3, 0x0405, 0x06);
    const std::uint16_t checksum =
        TelegramChecksum(std::span<const std::uint8_t>(area).first(kMaxRecord), true);

    const auto blocks = BuildTransmitBlocks(area, checksum);

    EXPECT_EQ(blocks[0][0], 0xA1);
    EXPECT_EQ(blocks[1][0], 0xA2);
    EXPECT_EQ(blocks[2][0], 0xA3);
    for (std::size_t r = 0; r < kMaxRecord; ++r) {
        const auto [block, offset] = Slot(r);
        ASSERT_EQ(blocks[block][offset], area[r]) << "record byte " << r;
    }
    EXPECT_EQ(blocks[0][54], area[53]);
    EXPECT_EQ(blocks[1][48], area[101]);
    EXPECT_EQ(blocks[2][32], area[133]);
    EXPECT_EQ(blocks[2][33], static_cast<std::uint8_t>(checksum));
    EXPECT_EQ(blocks[2][34], checksum >> 8);
    for (std::size_t i = 55; i < 64; ++i) EXPECT_EQ(blocks[0][i], 0) << "block 1 byte " << i;
    for (std::size_t i = 49; i < 64; ++i) EXPECT_EQ(blocks[1][i], 0) << "block 2 byte " << i;
    for (std::size_t i = 35; i < 64; ++i) EXPECT_EQ(blocks[2][i], 0) << "block 3 byte " << i;
}

TEST(TransmitBlocks, ShortTelegramStillSendsThreeBlocksWithChecksumInTheThird) {
    WorkArea area{};
    WriteTelegramHeader(std::span(area).first<kRecordHeaderSize>(), kTelTypeRequest, 4, 1, 0x0102,
                        0);
    const auto blocks = BuildTransmitBlocks(area, 0xC88B);

    const TransmitBlock first{0xA1, 0xA2, 0x04, 0x01, 0x02, 0x01, 0x00};
    TransmitBlock second{};
    second[0] = 0xA2;
    TransmitBlock third{};
    third[0] = 0xA3;
    third[33] = 0x8B;
    third[34] = 0xC8;
    EXPECT_EQ(blocks[0], first);
    EXPECT_EQ(blocks[1], second);
    EXPECT_EQ(blocks[2], third);
}

TEST(TransmitBlocks, MissingWorkAreaBytesGoOutAsZeros) {
    WorkArea full{};
    full.fill(0x77);
    const auto reference = BuildTransmitBlocks(full, 0x1234);

    for (const std::size_t size :
         {std::size_t{0}, std::size_t{20}, std::size_t{54}, std::size_t{101}, std::size_t{133}}) {
        SCOPED_TRACE(size);
        const auto blocks = BuildTransmitBlocks(std::span(full).first(size), 0x1234);
        for (std::size_t r = 0; r < kMaxRecord; ++r) {
            const auto [block, offset] = Slot(r);
            ASSERT_EQ(blocks[block][offset], r < size ? 0x77 : 0) << "record byte " << r;
        }
        EXPECT_EQ(blocks[2][33], 0x34);
        EXPECT_EQ(blocks[2][34], 0x12);
    }
    // Work-area bytes behind the longest record are never sent.
    for (std::size_t i = 55; i < 64; ++i) EXPECT_EQ(reference[0][i], 0) << "block 1 byte " << i;
    for (std::size_t i = 49; i < 64; ++i) EXPECT_EQ(reference[1][i], 0) << "block 2 byte " << i;
    for (std::size_t i = 35; i < 64; ++i) EXPECT_EQ(reference[2][i], 0) << "block 3 byte " << i;
}

}  // namespace
