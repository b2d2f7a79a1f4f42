#include "tivlink/TelegramCodec.h"

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

namespace tivlink {

namespace {

constexpr std::uint16_t kPolynomial = 0x1021;

// Slicing by 16: kCrcTables[k][b] is the CRC of byte b followed by k zero bytes, so sixteen
// input bytes cost sixteen independent lookups instead of sixteen dependent ones.
constexpr std::size_t kSlice = 16;
using CrcTables = std::array<std::array<std::uint16_t, 256>, kSlice>;

constexpr CrcTables MakeCrcTables() {
    CrcTables tables{};
    for (std::size_t i = 0; i < 256; ++i) {
        auto crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ kPolynomial
                                                                 : crc << 1);
        }
        tables[0][i] = crc;
    }
    for (std::size_t k = 1; k < kSlice; ++k)
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint16_t prev = tables[k - 1][i];
            tables[k][i] = static_cast<std::uint16_t>((prev << 8) ^ tables[0][prev >> 8]);
        }
    return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();
static_assert(kCrcTables[0][1] == kPolynomial && kCrcTables[0][255] == 0x1EF0);

template <std::size_t... K>
std::uint32_t Block(const std::uint8_t* p, std::uint32_t crc, std::index_sequence<K...>) {
    // The running CRC folds into the block's first two bytes.
    const std::uint32_t b0 = p[0] ^ (crc >> 8);
    const std::uint32_t b1 = p[1] ^ (crc & 0xFF);
    return kCrcTables[kSlice - 1][b0] ^ kCrcTables[kSlice - 2][b1] ^
           (kCrcTables[kSlice - 3 - K][p[K + 2]] ^ ...);
}

}  // namespace

std::uint16_t Crc16(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0;
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= kSlice; n -= kSlice, p += kSlice)
        crc = Block(p, crc, std::make_index_sequence<kSlice - 2>{});
    for (; n > 0; --n, ++p) crc = ((crc << 8) ^ kCrcTables[0][((crc >> 8) ^ *p) & 0xFF]) & 0xFFFF;
    return static_cast<std::uint16_t>(crc);
}

std::uint16_t Crc16Bytewise(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (const std::uint8_t b : bytes)
        crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTables[0][(crc >> 8) ^ b]);
    return crc;
}

std::uint16_t Sum16(std::span<const std::uint8_t> bytes) {
    // Unsigned wrap-around keeps the low 16 bits exact however long the input is.
    std::uint32_t sum = 0;
    for (const std::uint8_t b : bytes) sum += b;
    return static_cast<std::uint16_t>(sum);
}

std::uint16_t TelegramChecksum(std::span<const std::uint8_t> bytes, bool crc) {
    return crc ? Crc16(bytes) : Sum16(bytes);
}

bool TelegramChecksumMatches(std::span<const std::uint8_t> recordWithChecksum, bool crc) {
    if (recordWithChecksum.size() < 2) return false;
    const std::size_t covered = std::size_t{recordWithChecksum[1]} + 2;
    if (recordWithChecksum.size() < covered + 2) return false;
    const auto stored = static_cast<std::uint16_t>(recordWithChecksum[covered] |
                                                   (recordWithChecksum[covered + 1] << 8));
    return TelegramChecksum(recordWithChecksum.first(covered), crc) == stored;
}

std::vector<std::vector<std::uint8_t>> SplitStoredFrames(std::span<const std::uint8_t> bytes) {
    // A stored frame is its length byte L (record + 2), the flags, the record and the
    // checksum: L + 2 bytes. The length byte comes from the wire, so a frame is taken only
    // where L is one the bus can carry and the frame either checks out or is followed by
    // another plausible frame (or the end); anything else is skipped a byte at a time and
    // shown as one malformed run, so one bad byte cannot swallow the frames behind it.
    constexpr std::size_t kMinLength = 3;
    constexpr std::size_t kMaxLength = kMaxRecord + 2;
    const auto sizeAt = [&](std::size_t at) -> std::size_t {
        if (at >= bytes.size()) return 0;
        const std::size_t length = bytes[at];
        if (length < kMinLength || length > kMaxLength || length + 2 > bytes.size() - at) return 0;
        return length + 2;
    };
    const auto checksumOk = [&](std::size_t at, std::size_t size) {
        const auto record = bytes.subspan(at + 2, size - 4);
        const bool crc = (bytes[at + 1] & kFrameFlagCrc) != 0;
        const auto sum =
            static_cast<std::uint16_t>(bytes[at + size - 2] | bytes[at + size - 1] << 8);
        return TelegramChecksum(record, crc) == sum;
    };
    const auto framed = [](std::span<const std::uint8_t> inner) {
        std::vector<std::uint8_t> frame;
        frame.reserve(inner.size() + 2);
        frame.push_back(kFrameStart);
        frame.insert(frame.end(), inner.begin(), inner.end());
        frame.push_back(kFrameEnd);
        return frame;
    };

    std::vector<std::vector<std::uint8_t>> frames;
    std::size_t junkStart = 0;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t size = sizeAt(at);
        const bool take = size != 0 && (checksumOk(at, size) || at + size == bytes.size() ||
                                        sizeAt(at + size) != 0);
        if (!take) {
            ++at;
            continue;
        }
        if (junkStart < at) frames.push_back(framed(bytes.subspan(junkStart, at - junkStart)));
        frames.push_back(framed(bytes.subspan(at, size)));
        at += size;
        junkStart = at;
    }
    if (junkStart < at) frames.push_back(framed(bytes.subspan(junkStart, at - junkStart)));
    return frames;
}

}  // namespace tivlink
