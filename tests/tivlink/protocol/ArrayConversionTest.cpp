#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "tivlink/core/ArrayConversion.h"

namespace {

using namespace tivlink;

// Copies into a buffer prefilled with a sentinel, so bytes not written stay visible.
std::vector<std::uint8_t> Copy(const ByteArrayArg& array, std::size_t n, std::size_t* copied) {
    std::vector<std::uint8_t> dest(n + 4, 0xCC);
    *copied = CopyLowBytes(array, n, dest.data());
    return dest;
}

TEST(ArrayConversion, OnlyIntegerElementsAreReadWide) {
    struct Case {
        std::uint16_t elementType;
        std::size_t width;
    };
    const Case cases[] = {
        {kVtUi1, 1},
        {kVtI1, 1},
        {kVtI2, 2},
        {kVtUi2, 2},
        {kVtBool, 1},
        {kVtI4, 4},
        {kVtUi4, 4},
        {kVtInt, 4},
        {kVtUint, 4},
        {kVtR4, 1},
        {kVtError, 1},
        {5 /* double */, 1},
        {8 /* string */, 1},
        {12 /* variant */, 1},
        {0, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ElementWidth(kVtArray | c.elementType), c.width) << "type " << c.elementType;
        EXPECT_EQ(ElementWidth(kVtArray | kVtByRef | c.elementType), c.width)
            << "by-ref type " << c.elementType;
    }
}

TEST(ArrayConversion, TakesTheLowByteOfEachElement) {
    const std::array<std::uint8_t, 4> bytes{0x01, 0x80, 0xFF, 0x7F};
    const std::array<std::int16_t, 4> shorts{0x1201, -1, 0x00FE, -32768};
    const std::array<std::int32_t, 4> longs{0x12345601, -2, 0x7FFFFF00, 0x00AB00CD};

    std::size_t copied = 0;
    auto out = Copy(ByteArrayArg::Bytes(bytes), 4, &copied);
    EXPECT_EQ(copied, 4u);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x01, 0x80, 0xFF, 0x7F, 0xCC, 0xCC, 0xCC, 0xCC}));

    out = Copy(ByteArrayArg::Int16s(shorts), 4, &copied);
    EXPECT_EQ(copied, 4u);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x01, 0xFF, 0xFE, 0x00, 0xCC, 0xCC, 0xCC, 0xCC}));

    out = Copy(ByteArrayArg::Int32s(longs), 3, &copied);
    EXPECT_EQ(copied, 3u);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x01, 0xFE, 0x00, 0xCC, 0xCC, 0xCC, 0xCC}));

    // A 32-bit element type the factories do not make, through the raw descriptor.
    const std::array<std::uint32_t, 2> unsignedLongs{0xAABBCC11, 0x22};
    out = Copy({kVtArray | kVtUi4, unsignedLongs.data(), unsignedLongs.size()}, 2, &copied);
    EXPECT_EQ(copied, 2u);
    EXPECT_EQ(out[0], 0x11);
    EXPECT_EQ(out[1], 0x22);
}

TEST(ArrayConversion, NeverCopiesMoreElementsThanTheArrayHolds) {
    // The array is followed in memory by elements it does not own; none may be read.
    const std::array<std::int32_t, 6> storage{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    const ByteArrayArg firstThree{kVtArray | kVtI4, storage.data(), 3};

    std::size_t copied = 0;
    const auto out = Copy(firstThree, 136, &copied);
    EXPECT_EQ(copied, 3u);
    EXPECT_EQ(out[0], 0x11);
    EXPECT_EQ(out[2], 0x33);
    EXPECT_EQ(out[3], 0xCC);

    const std::array<std::int16_t, 2> two{0x0102, 0x0304};
    EXPECT_EQ(Copy(ByteArrayArg::Int16s(two), 0, &copied)[0], 0xCC);
    EXPECT_EQ(copied, 0u);
}

TEST(ArrayConversion, EmptyAndNullArraysCopyNothing) {
    std::size_t copied = 1;
    EXPECT_EQ(Copy(ByteArrayArg{}, 8, &copied)[0], 0xCC);
    EXPECT_EQ(copied, 0u);
    // A null pointer with a nonzero count is a broken descriptor, not a crash.
    Copy({kVtArray | kVtI2, nullptr, 10}, 8, &copied);
    EXPECT_EQ(copied, 0u);
    Copy(ByteArrayArg::Bytes({}), 8, &copied);
    EXPECT_EQ(copied, 0u);
}

}  // namespace
