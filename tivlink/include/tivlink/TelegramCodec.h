#pragma once

// The telegram codec a client needs to read what the driver hands out (ReadData's bytes, the
// recorded files): record and frame layout, and the checksums. Pure functions over bytes; the
// driver's engine uses the same.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// Telegram record layout: type byte, DataSize, SubNo, ObjNo low, ObjNo high, Control, data,
// and in received records the checksum (low, high) behind the last data byte.
inline constexpr std::size_t kMinDataSize = 4;
inline constexpr std::size_t kMaxDataSize = 132;
inline constexpr std::size_t kMaxRecord = kMaxDataSize + 2;
inline constexpr std::size_t kMaxRecordWithChecksum = kMaxRecord + 2;
inline constexpr std::size_t kRecordHeaderSize = 6;
// The transmitter builds a request in a zeroed area of this size, so bytes behind the
// telegram go out as zeros.
inline constexpr std::size_t kWorkAreaSize = 151;
inline constexpr std::size_t kRecordBufferSize = 256;

using WorkArea = std::array<std::uint8_t, kWorkAreaSize>;

// `TelType`, bits 7..5 of the type byte. 0..4 are cyclic.
inline constexpr int kTelTypeLastCyclic = 4;
inline constexpr int kTelTypeRequest = 5;
inline constexpr int kTelTypeResponse = 6;
inline constexpr int kTelTypeService = 7;
// Bits 4..0 of the type byte of every telegram we send.
inline constexpr std::uint8_t kTransmitTypeLowBits = 2;

// `Control` codes in responses; any other value is an error response of the device.
inline constexpr std::uint8_t kControlPositive = 0x41;
inline constexpr std::uint8_t kControlDelayed = 0x01;
inline constexpr std::uint8_t kControlDelivered = 0x0A;

// Receive stream framing.
inline constexpr std::uint8_t kFrameStart = 0xFA;
inline constexpr std::uint8_t kFrameEnd = 0xFB;
inline constexpr std::uint8_t kFrameEscape = 0xF9;
inline constexpr std::size_t kMaxFrame = 1023;
// Offset of the telegram record inside an unescaped frame (after start, length and flags).
inline constexpr std::size_t kFrameRecordOffset = 3;
inline constexpr std::uint8_t kFrameFlagCrc = 0x80;

constexpr bool IsValidDataSize(std::size_t dataSize) {
    return dataSize >= kMinDataSize && dataSize <= kMaxDataSize;
}

// One telegram record in a fixed buffer. The size byte comes from outside and may hold any
// value, so every accessor clamps to the buffer: bytes beyond it read as zero, spans end at it.
struct TelegramRecord {
    std::array<std::uint8_t, kRecordBufferSize> bytes{};

    std::uint8_t At(std::size_t index) const { return index < bytes.size() ? bytes[index] : 0; }

    std::uint8_t TypeByte() const { return bytes[0]; }
    int TelType() const { return bytes[0] >> 5; }
    int DataSize() const { return bytes[1]; }
    int SubNo() const { return bytes[2]; }
    int ObjNo() const { return bytes[3] | (bytes[4] << 8); }
    int Control() const { return bytes[5]; }
    bool HasValidSize() const { return IsValidDataSize(bytes[1]); }

    // The stored checksum, low byte at DataSize+2.
    std::uint16_t Checksum() const {
        const std::size_t at = std::size_t{bytes[1]} + 2;
        return static_cast<std::uint16_t>(At(at) | (At(at + 1) << 8));
    }

    // Type byte to last data byte: what the checksum covers.
    std::span<const std::uint8_t> Record() const { return Clamped(0, std::size_t{bytes[1]} + 2); }

    // The DataSize-4 bytes behind the header.
    std::span<const std::uint8_t> Data() const {
        const std::size_t size = bytes[1];
        return size < kMinDataSize ? std::span<const std::uint8_t>{}
                                   : Clamped(kRecordHeaderSize, size - kMinDataSize);
    }

    void Clear() { bytes.fill(0); }

private:
    std::span<const std::uint8_t> Clamped(std::size_t offset, std::size_t count) const {
        offset = std::min(offset, bytes.size());
        return std::span<const std::uint8_t>(bytes).subspan(offset,
                                                            std::min(count, bytes.size() - offset));
    }
};

// Writes the six header bytes as sent: (TelType * 32) | 2, DataSize, SubNo, ObjNo, Control.
// `dest` must hold kRecordHeaderSize bytes; values are truncated to their byte fields.
inline void WriteTelegramHeader(std::span<std::uint8_t, kRecordHeaderSize> dest, int telType,
                                int dataSize, int subNo, int objNo, int control) {
    dest[0] = static_cast<std::uint8_t>(((telType & 0x07) << 5) | kTransmitTypeLowBits);
    dest[1] = static_cast<std::uint8_t>(dataSize);
    dest[2] = static_cast<std::uint8_t>(subNo);
    dest[3] = static_cast<std::uint8_t>(objNo);
    dest[4] = static_cast<std::uint8_t>(objNo >> 8);
    dest[5] = static_cast<std::uint8_t>(control);
}

// The frames in bytes ReadData handed out in telegram mode: each stored frame runs from its
// length byte (the record's size + 2) to its checksum; the start and end bytes are put back.
// Bytes that do not form a frame (a length byte the bus cannot carry, a frame cut short, a
// bad frame followed by no plausible one) come out as malformed runs, and the split picks up
// again at the next frame.
std::vector<std::vector<std::uint8_t>> SplitStoredFrames(std::span<const std::uint8_t> bytes);

}  // namespace tivlink
