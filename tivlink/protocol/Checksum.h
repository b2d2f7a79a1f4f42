#pragma once

#include <cstdint>
#include <span>

namespace tivlink {

// CRC-16 with polynomial 0x1021, initial value 0, MSB first, no reflection, no final XOR.
std::uint16_t Crc16(std::span<const std::uint8_t> bytes);
// The same, one table lookup per byte: the reference Crc16 is checked against.
std::uint16_t Crc16Bytewise(std::span<const std::uint8_t> bytes);

// Byte sum; carries beyond 16 bits are dropped.
std::uint16_t Sum16(std::span<const std::uint8_t> bytes);

// The telegram checksum with the method of the driver's check-method flag (true: CRC).
std::uint16_t TelegramChecksum(std::span<const std::uint8_t> bytes, bool crc);

// Checks a telegram record that carries its checksum: byte 1 is `DataSize`, the checksum
// covers bytes 0..DataSize+1 and is stored low byte first at DataSize+2. False when the
// record is too short to hold what its size byte announces.
bool TelegramChecksumMatches(std::span<const std::uint8_t> recordWithChecksum, bool crc);

}  // namespace tivlink
