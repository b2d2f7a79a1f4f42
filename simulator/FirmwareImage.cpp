#include "FirmwareImage.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::array<std::uint8_t, 10> kVersionRecord = {'V', '2',  '.',  '2', '1',
                                                         ' ', 0x07, 0x1A, 'S', 'W'};

// Filler that looks like code but is the same on every build.
void fill(std::span<std::uint8_t> bytes, std::uint32_t seed) {
    std::uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
}

void putCrc(std::span<std::uint8_t> stage) {
    const auto crc = firmwareCrc(stage.first(stage.size() - 2));
    stage[stage.size() - 2] = static_cast<std::uint8_t>(crc & 0xFF);
    stage[stage.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
}

bool crcMatches(std::span<const std::uint8_t> stage) {
    if (stage.size() < 2) return false;
    const auto crc = firmwareCrc(stage.first(stage.size() - 2));
    return stage[stage.size() - 2] == (crc & 0xFF) && stage[stage.size() - 1] == (crc >> 8);
}

}  // namespace

std::array<std::uint8_t, 10> defaultVersionRecord() {
    return kVersionRecord;
}

std::uint16_t firmwareCrc(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (const auto b : bytes) {
        crc ^= static_cast<std::uint16_t>(b << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
    }
    return crc;
}

std::vector<std::uint8_t> makeFirmwareImage() {
    std::vector<std::uint8_t> image(kImageSize, 0xFF);
    std::span<std::uint8_t> one(image.data(), kStageOneSize);
    fill(one, 0x51A6E001u);
    std::copy(kStageOneMagic.begin(), kStageOneMagic.end(), one.begin());
    putCrc(one);

    std::span<std::uint8_t> two(image.data() + kStageTwoOffset, kStageTwoSize);
    fill(two, 0x51A6E002u);
    std::copy(kVersionRecord.begin(), kVersionRecord.end(), two.begin());
    putCrc(two);
    return image;
}

bool stageOneIntact(std::span<const std::uint8_t> stage) {
    return stage.size() == kStageOneSize &&
           std::equal(kStageOneMagic.begin(), kStageOneMagic.end(), stage.begin()) &&
           crcMatches(stage);
}

bool stageTwoIntact(std::span<const std::uint8_t> stage) {
    return stage.size() == kStageTwoSize && crcMatches(stage);
}

}  // namespace sim
