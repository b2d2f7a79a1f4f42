#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace sim {

constexpr std::uint8_t kFrameStart = 0xFA;
constexpr std::uint8_t kFrameEnd = 0xFB;
constexpr std::uint8_t kFrameEscape = 0xF9;
constexpr std::uint8_t kFlagCrc = 0x80;

// The adapter's checksum over a telegram record: CRC-16 (0x1021, initial 0) or the 16-bit
// byte sum.
std::uint16_t telegramChecksum(std::span<const std::uint8_t> record, bool crc);

// One frame as the adapter reports it on pipe 1: 0xFA, length (record + 2), flags, record,
// checksum low/high, 0xFB; bytes 0xF9..0xFB between start and end are escaped as 0xF9 and
// (byte - 0xF9). `corrupt` spoils the checksum, as a disturbed bus would.
std::vector<std::uint8_t> encodeFrame(std::span<const std::uint8_t> record, bool crc,
                                      bool corrupt = false);

}  // namespace sim
