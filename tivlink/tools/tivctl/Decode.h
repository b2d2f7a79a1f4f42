#pragma once

// Pure helpers of tivctl: hex text, decoding of the frames the bus monitor sees, and the
// text and JSON forms of what it prints.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tivlink/TelegramCodec.h"

namespace tivctl {

// One JSON object on a line of stdout. Strings from the adapter go into JSON, which must stay
// valid UTF-8 whatever arrives, so bad bytes are replaced.
void PrintJson(const nlohmann::json& j);

// The bytes as text, '?' for anything but printable ASCII.
std::string Printable(std::span<const std::uint8_t> bytes);

// Upper-case hex digits, two per byte, no separators.
std::string HexBytes(std::span<const std::uint8_t> bytes);

// Reads hex digit pairs; spaces, ':' and '-' between bytes and a leading "0x" are allowed.
// Returns nullopt and sets `error` for anything else, an odd digit count included.
std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text, std::string& error);

// One frame as the monitor sees it: 0xFA, length (record + 2), flags, record, checksum
// low/high, 0xFB. The frame comes from the bus, so every field is checked against its length.
struct BusTelegram {
    enum class Kind { cyclic, acyclic, malformed };
    Kind kind = Kind::malformed;
    std::string problem;  // why a frame is malformed

    std::uint8_t typeByte = 0;
    int type = 0;  // bits 7..5 of the type byte
    bool crc = false;
    std::uint16_t checksum = 0;
    bool checksumOk = false;

    // acyclic telegrams (types 5..7)
    int dataSize = 0;
    int subNo = 0;
    int objNo = 0;
    int control = 0;
    std::vector<std::uint8_t> data;

    // cyclic telegrams (types 0..4); `objNo` holds bits 4..0 of the type byte
    int status = 0;
    std::optional<double> value;
    std::optional<std::uint32_t> timeStamp;
    std::vector<std::uint8_t> raw;  // record bytes behind the status of unknown layouts

    std::vector<std::uint8_t> frame;  // kept for malformed ones
};

BusTelegram DecodeFrame(std::span<const std::uint8_t> frame);

using tivlink::SplitStoredFrames;

// One line of monitor output; `ms` is the offset from the start of the monitor.
std::string TelegramText(const BusTelegram& t, double ms);
nlohmann::json TelegramJson(const BusTelegram& t, double ms);

// Meaning of an acyclic transaction result and of a delayed-answer result.
std::string ResultText(int result);
std::string DelayedResultText(int result);

}  // namespace tivctl
