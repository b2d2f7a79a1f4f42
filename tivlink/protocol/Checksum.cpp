#include "tivlink/protocol/Checksum.h"

#include <array>
#include <cstddef>

namespace tivlink {

namespace {

constexpr std::uint16_t kPolynomial = 0x1021;

// Slicing by 8: kCrcTables[k][b] is the CRC of byte b followed by k zero bytes, so eight
// input bytes cost eight independent lookups instead of eight dependent ones.
constexpr std::array<std::array<std::uint16_t, 256>, 8> MakeCrcTables() {
    std::array<std::array<std::uint16_t, 256>, 8> tables{};
    for (std::size_t i = 0; i < 256; ++i) {
        auto crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ kPolynomial
                                                                 : crc << 1);
        }
        tables[0][i] = crc;
    }
    for (std::size_t k = 1; k < tables.size(); ++k)
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint16_t prev = tables[k - 1][i];
            tables[k][i] = static_cast<std::uint16_t>((prev << 8) ^ tables[0][prev >> 8]);
        }
    return tables;
}

constexpr auto kCrcTables = MakeCrcTables();
static_assert(kCrcTables[0][1] == kPolynomial && kCrcTables[0][255] == 0x1EF0);

}  // namespace

std::uint16_t Crc16(std::span<const std::uint8_t> bytes) {
    const auto& t = kCrcTables;
    std::uint32_t crc = 0;
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; n -= 8, p += 8) {
        // The running CRC folds into the first two bytes of the block.
        const std::uint32_t b0 = p[0] ^ (crc >> 8);
        const std::uint32_t b1 = p[1] ^ (crc & 0xFF);
        crc = t[7][b0] ^ t[6][b1] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^
              t[0][p[7]];
    }
    for (; n > 0; --n, ++p) crc = ((crc << 8) ^ t[0][((crc >> 8) ^ *p) & 0xFF]) & 0xFFFF;
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

}  // namespace tivlink
