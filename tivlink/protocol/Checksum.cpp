#include "tivlink/protocol/Checksum.h"

#include <array>
#include <cstddef>

namespace tivlink {

namespace {

constexpr std::uint16_t kPolynomial = 0x1021;

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        auto crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ kPolynomial
                                                                 : crc << 1);
        }
        table[i] = crc;
    }
    return table;
}

constexpr auto kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == kPolynomial && kCrcTable[255] == 0x1EF0);

}  // namespace

std::uint16_t Crc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (const std::uint8_t b : bytes) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[(crc >> 8) ^ b]);
    }
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
