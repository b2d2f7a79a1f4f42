#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

// Layout of the adapter firmware image.
constexpr std::size_t kImageSize = 31744;
constexpr std::size_t kStageOneSize = 6976;    // bytes 0..6975, to internal memory at 0
constexpr std::size_t kStageTwoOffset = 8192;  // bytes 8192..31551, 365 packets on pipe 4
constexpr std::size_t kStageTwoSize = 23360;
constexpr std::size_t kStageTwoPackets = kStageTwoSize / 64;
constexpr std::array<char, 8> kStageOneMagic = {'T', 'I', 'V', 'B', 'O', 'O', 'T', '1'};

// The version record the built image carries: 6 characters of version text, 2 build
// bytes, "S", "W".
std::array<std::uint8_t, 10> defaultVersionRecord();

// The deterministic image the build ships (same bytes on every run).
std::vector<std::uint8_t> makeFirmwareImage();

// CRC-16 with polynomial 0x1021, initial 0, no reflection (the adapter's own, bitwise).
std::uint16_t firmwareCrc(std::span<const std::uint8_t> bytes);

// Checks a stage as the adapter does: stage one needs the magic and its trailing CRC over
// bytes 0..6973; stage two its trailing CRC over the rest of the stage.
bool stageOneIntact(std::span<const std::uint8_t> stage);
bool stageTwoIntact(std::span<const std::uint8_t> stage);

}  // namespace sim
