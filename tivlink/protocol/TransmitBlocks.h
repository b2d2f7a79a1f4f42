#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tivlink {

// A request goes to the adapter as three 64-byte packets on bulk OUT pipe 2, always all
// three whatever the telegram's size.
inline constexpr std::size_t kTransmitBlockSize = 64;
inline constexpr std::size_t kTransmitBlockCount = 3;

using TransmitBlock = std::array<std::uint8_t, kTransmitBlockSize>;
using TransmitBlocks = std::array<TransmitBlock, kTransmitBlockCount>;

inline constexpr std::array<std::uint8_t, kTransmitBlockCount> kTransmitBlockCommand{0xA1, 0xA2,
                                                                                     0xA3};
// Record bytes [first, first + count) carried by each block from packet byte 1 on.
inline constexpr std::array<std::size_t, kTransmitBlockCount> kTransmitBlockFirst{0, 54, 102};
inline constexpr std::array<std::size_t, kTransmitBlockCount> kTransmitBlockLength{54, 48, 32};
// Where block 3 carries the checksum (low, high).
inline constexpr std::size_t kTransmitChecksumOffset = 33;

// Cuts the work area (record at byte 0) into the three blocks and places the checksum in the
// third. Work-area bytes the span does not hold are sent as zeros.
TransmitBlocks BuildTransmitBlocks(std::span<const std::uint8_t> workArea, std::uint16_t checksum);

}  // namespace tivlink
