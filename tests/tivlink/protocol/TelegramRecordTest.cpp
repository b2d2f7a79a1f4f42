#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>

#include "tivlink/TelegramCodec.h"

namespace {

using namespace tivlink;

TEST(ChecksumRecord, HeaderFieldsAndChecksumFollowTheSizeByte) {
    TelegramRecord r;
    const std::uint8_t image[] = {0xC0, 0x07, 0x09, 0x34, 0x12, 0x41, 0x11, 0x22, 0x33, 0xCD, 0xAB};
    std::copy(std::begin(image), std::end(image), r.bytes.begin());

    EXPECT_EQ(r.TelType(), kTelTypeResponse);
    EXPECT_EQ(r.DataSize(), 7);
    EXPECT_EQ(r.SubNo(), 9);
    EXPECT_EQ(r.ObjNo(), 0x1234);
    EXPECT_EQ(r.Control(), kControlPositive);
    EXPECT_EQ(r.Checksum(), 0xABCD);
    EXPECT_TRUE(r.HasValidSize());
    ASSERT_EQ(r.Data().size(), 3u);
    EXPECT_EQ(r.Data()[0], 0x11);
    EXPECT_EQ(r.Data()[2], 0x33);
    EXPECT_EQ(r.Record().size(), 9u);
    EXPECT_EQ(r.Record().data(), r.bytes.data());
}

TEST(ChecksumRecord, HostileSizeBytesStayInsideTheBuffer) {
    TelegramRecord r;
    r.bytes.fill(0x5A);

    r.bytes[1] = 0xFF;  // checksum would sit at 257..258
    EXPECT_FALSE(r.HasValidSize());
    EXPECT_EQ(r.Checksum(), 0);
    EXPECT_EQ(r.Record().size(), kRecordBufferSize);
    EXPECT_EQ(r.Data().size(), kRecordBufferSize - kRecordHeaderSize);

    r.bytes[1] = 0xFD;  // low byte is the last buffer byte, high byte beyond
    EXPECT_EQ(r.Checksum(), 0x005A);

    for (const std::uint8_t size : {0, 3}) {
        r.bytes[1] = size;
        EXPECT_FALSE(r.HasValidSize());
        EXPECT_TRUE(r.Data().empty()) << int{size};
    }
    EXPECT_EQ(r.At(kRecordBufferSize), 0);
}

TEST(ChecksumRecord, WrittenHeaderMatchesTheKnownRequestAndItsChecksums) {
    WorkArea area{};
    WriteTelegramHeader(std::span(area).first<kRecordHeaderSize>(), kTelTypeRequest, 4, 1, 0x0102,
                        0);
    const std::uint8_t expected[] = {0xA2, 0x04, 0x01, 0x02, 0x01, 0x00};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), area.begin()));
    EXPECT_EQ(TelegramChecksum(std::span(area).first(6), false), 0x00AA);
    EXPECT_EQ(TelegramChecksum(std::span(area).first(6), true), 0xC88B);

    WriteTelegramHeader(std::span(area).first<kRecordHeaderSize>(), kTelTypeService, 132, 255,
                        0xFFFF, 0x0A);
    EXPECT_EQ(area[0], 0xE2);
    EXPECT_EQ(area[1], 132);
    EXPECT_EQ(area[3], 0xFF);
    EXPECT_EQ(area[4], 0xFF);
}

}  // namespace
