#include "Frames.h"

#include "FirmwareImage.h"

namespace sim {

std::uint16_t telegramChecksum(std::span<const std::uint8_t> record, bool crc) {
    if (crc) return firmwareCrc(record);
    std::uint16_t sum = 0;
    for (const auto b : record) sum = static_cast<std::uint16_t>(sum + b);
    return sum;
}

std::vector<std::uint8_t> encodeFrame(std::span<const std::uint8_t> record, bool crc,
                                      bool corrupt) {
    std::uint16_t checksum = telegramChecksum(record, crc);
    if (corrupt) checksum ^= 0x5A5A;

    std::vector<std::uint8_t> frame;
    frame.reserve(record.size() * 2 + 8);
    const auto put = [&frame](std::uint8_t b) {
        if (b >= kFrameEscape && b <= kFrameEnd) {
            frame.push_back(kFrameEscape);
            frame.push_back(static_cast<std::uint8_t>(b - kFrameEscape));
        } else {
            frame.push_back(b);
        }
    };
    frame.push_back(kFrameStart);
    put(static_cast<std::uint8_t>(record.size() + 2));
    put(crc ? kFlagCrc : 0);
    for (const auto b : record) put(b);
    put(static_cast<std::uint8_t>(checksum & 0xFF));
    put(static_cast<std::uint8_t>(checksum >> 8));
    frame.push_back(kFrameEnd);
    return frame;
}

}  // namespace sim
