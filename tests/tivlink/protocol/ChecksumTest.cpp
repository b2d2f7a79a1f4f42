#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "tivlink/TelegramCodec.h"

namespace {

using tivlink::Crc16;
using tivlink::Sum16;
using tivlink::TelegramChecksum;
using tivlink::TelegramChecksumMatches;

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// Bit-at-a-time CRC, independent of the table the code under test builds.
std::uint16_t ReferenceCrc(const std::vector<std::uint8_t>& bytes) {
    std::uint16_t crc = 0;
    for (const std::uint8_t b : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 15) ^ (b >> bit)) & 1;
            crc = static_cast<std::uint16_t>(crc << 1);
            if (top) crc ^= 0x1021;
        }
    }
    return crc;
}

std::vector<std::uint8_t> Noise(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 0x12345678;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 11);
    }
    return bytes;
}

const std::vector<std::uint8_t> kRequest{0xA2, 0x04, 0x01, 0x02, 0x01, 0x00};

TEST(Checksum, KnownValues) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint16_t crc;
        std::uint16_t sum;
    };
    const Case cases[] = {
        {"empty", {}, 0x0000, 0x0000},
        {"request type 5, sub 1, object 0x0102", kRequest, 0xC88B, 0x00AA},
        {"check string", Bytes("123456789"), 0x31C3, 0x01DD},
        {"one 0xFF", {0xFF}, 0x1EF0, 0x00FF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Crc16(c.bytes), c.crc);
        EXPECT_EQ(Sum16(c.bytes), c.sum);
        EXPECT_EQ(TelegramChecksum(c.bytes, true), c.crc);
        EXPECT_EQ(TelegramChecksum(c.bytes, false), c.sum);
    }
}

TEST(Checksum, CrcMatchesBitwiseReferenceOnLongAndShortInputs) {
    const auto noise = Noise(64 * 1024);
    EXPECT_EQ(Crc16(noise), ReferenceCrc(noise));
    // Every table entry is reached by some single byte.
    for (int b = 0; b < 256; ++b) {
        const std::vector<std::uint8_t> one{static_cast<std::uint8_t>(b)};
        ASSERT_EQ(Crc16(one), ReferenceCrc(one)) << "byte " << b;
    }
}

// The eight-byte blocks must agree with the byte-wise loop whatever the length (tail of 0..7
// bytes) and wherever the input starts in memory.
TEST(Checksum, SlicedCrcMatchesByteWiseOnEveryLengthAndAlignment) {
    const auto noise = Noise(1024);
    std::uint32_t x = 0x9E3779B9;
    for (int round = 0; round < 2000; ++round) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const std::size_t offset = x % 8;
        const std::size_t length = round < 64 ? static_cast<std::size_t>(round) : (x >> 8) % 600;
        const std::span<const std::uint8_t> part(noise.data() + offset, length);
        ASSERT_EQ(Crc16(part), tivlink::Crc16Bytewise(part))
            << "offset " << offset << ", length " << length;
    }
    const std::vector<std::uint8_t> all(noise.begin(), noise.begin() + 134);
    EXPECT_EQ(tivlink::Crc16Bytewise(all), ReferenceCrc(all));
}

TEST(Checksum, SumDropsCarriesBeyondSixteenBits) {
    // 64 KiB of 0xFF sum to 0xFF0000 before truncation.
    const std::vector<std::uint8_t> ones(64 * 1024, 0xFF);
    EXPECT_EQ(Sum16(ones), 0x0000);
    const std::vector<std::uint8_t> wrap(258, 0xFF);  // 258 * 255 = 0x100FE
    EXPECT_EQ(Sum16(wrap), 0x00FE);
}

TEST(Checksum, TelegramMatchReadsChecksumBehindDataSize) {
    for (const bool crc : {false, true}) {
        SCOPED_TRACE(crc ? "crc" : "sum");
        auto record = kRequest;
        const std::uint16_t value = TelegramChecksum(record, crc);
        record.push_back(static_cast<std::uint8_t>(value));
        record.push_back(static_cast<std::uint8_t>(value >> 8));
        EXPECT_TRUE(TelegramChecksumMatches(record, crc));

        auto swapped = record;
        std::swap(swapped[6], swapped[7]);
        EXPECT_FALSE(TelegramChecksumMatches(swapped, crc));

        auto corrupted = record;
        corrupted[2] ^= 0x10;
        EXPECT_FALSE(TelegramChecksumMatches(corrupted, crc));

        // Trailing bytes behind the checksum are not part of the record.
        auto padded = record;
        padded.insert(padded.end(), 20, 0xEE);
        EXPECT_TRUE(TelegramChecksumMatches(padded, crc));
    }
}

TEST(Checksum, TelegramMatchRefusesRecordsShorterThanTheirSizeByte) {
    const std::vector<std::vector<std::uint8_t>> shortOnes = {
        {},
        {0xA2},
        {0xA2, 0x04, 0x01, 0x02, 0x01, 0x00, 0xAA},  // one checksum byte missing
        {0xA2, 0xFF, 0x00, 0x00},                    // size byte far beyond the data
    };
    for (const auto& record : shortOnes) {
        EXPECT_FALSE(TelegramChecksumMatches(record, false)) << "size " << record.size();
        EXPECT_FALSE(TelegramChecksumMatches(record, true)) << "size " << record.size();
    }
}

}  // namespace
