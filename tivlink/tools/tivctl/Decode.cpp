#include "Decode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "tivlink/TelegramCodec.h"
#include "tivlink/TivResults.h"

namespace tivctl {

namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::uint32_t Le32(std::span<const std::uint8_t> b) {
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::uint64_t Le64(std::span<const std::uint8_t> b) {
    return static_cast<std::uint64_t>(Le32(b.first(4))) |
           static_cast<std::uint64_t>(Le32(b.subspan(4, 4))) << 32;
}

const char* AcyclicName(int type) {
    switch (type) {
        case tivlink::kTelTypeRequest:
            return "request";
        case tivlink::kTelTypeResponse:
            return "answer";
        default:
            return "service";
    }
}

std::string Format(const char* format, auto... args) {
    char buf[160];
    const int n = std::snprintf(buf, sizeof buf, format, args...);
    return n < 0 ? std::string{} : std::string(buf, std::min<std::size_t>(n, sizeof buf - 1));
}

}  // namespace

void PrintJson(const nlohmann::json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

std::string Printable(std::span<const std::uint8_t> bytes) {
    std::string s;
    for (const auto b : bytes) s += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '?';
    return s;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (const auto b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text, std::string& error) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == ':' || c == '-') {
            if (high >= 0) {
                error = "a byte needs two hex digits (at character " + std::to_string(i + 1) + ")";
                return std::nullopt;
            }
            continue;
        }
        const int v = DigitValue(c);
        if (v < 0) {
            error = "not a hex digit at character " + std::to_string(i + 1);
            return std::nullopt;
        }
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        error = "odd number of hex digits";
        return std::nullopt;
    }
    return bytes;
}

BusTelegram DecodeFrame(std::span<const std::uint8_t> frame) {
    BusTelegram t;
    const auto malformed = [&](std::string why) {
        t.kind = BusTelegram::Kind::malformed;
        t.problem = std::move(why);
        t.frame.assign(frame.begin(), frame.end());
        return t;
    };
    // start, length, flags, one record byte, checksum, end
    if (frame.size() < 7) return malformed("frame too short");
    if (frame.front() != tivlink::kFrameStart || frame.back() != tivlink::kFrameEnd)
        return malformed("no frame start or end");
    if (frame[1] < 3) return malformed("length byte too small");
    const std::size_t recordSize = frame[1] - 2u;
    if (frame.size() != recordSize + 6)
        return malformed("length byte says " + std::to_string(recordSize) +
                         " record bytes, frame holds " + std::to_string(frame.size() - 6));

    const auto record = frame.subspan(tivlink::kFrameRecordOffset, recordSize);
    t.crc = (frame[2] & tivlink::kFrameFlagCrc) != 0;
    t.checksum = static_cast<std::uint16_t>(frame[3 + recordSize] | frame[4 + recordSize] << 8);
    t.checksumOk = tivlink::TelegramChecksum(record, t.crc) == t.checksum;
    t.typeByte = record[0];
    t.type = record[0] >> 5;

    if (t.type > tivlink::kTelTypeLastCyclic) {
        if (recordSize < tivlink::kRecordHeaderSize)
            return malformed("acyclic record of " + std::to_string(recordSize) + " bytes");
        t.kind = BusTelegram::Kind::acyclic;
        t.dataSize = record[1];
        t.subNo = record[2];
        t.objNo = record[3] | record[4] << 8;
        t.control = record[5];
        // The size byte comes from the bus: take no more data than the record holds.
        const std::size_t announced =
            t.dataSize >= 4 ? static_cast<std::size_t>(t.dataSize) - 4 : 0;
        const auto data = record.subspan(tivlink::kRecordHeaderSize);
        t.data.assign(data.begin(),
                      data.begin() + static_cast<std::ptrdiff_t>(std::min(announced, data.size())));
        return t;
    }

    if (recordSize < 2) return malformed("cyclic record of 1 byte");
    t.kind = BusTelegram::Kind::cyclic;
    t.objNo = record[0] & 0x1F;
    t.status = record[1];
    const auto payload = record.subspan(2);
    if (t.type == 0 && payload.size() >= 8) {
        t.value = std::bit_cast<float>(Le32(payload.first(4)));
        t.timeStamp = Le32(payload.subspan(4, 4));
    } else if (t.type == 1 && payload.size() >= 4) {
        t.value = std::bit_cast<float>(Le32(payload.first(4)));
    } else if (t.type == 2 && payload.size() >= 8) {
        t.value = std::bit_cast<double>(Le64(payload.first(8)));
    } else {
        t.raw.assign(payload.begin(), payload.end());
    }
    return t;
}

std::string TelegramText(const BusTelegram& t, double ms) {
    std::string line = Format("%10.1f ms  ", ms);
    switch (t.kind) {
        case BusTelegram::Kind::malformed:
            return line + "malformed: " + t.problem + " [" + HexBytes(t.frame) + "]";
        case BusTelegram::Kind::acyclic:
            line += Format("%-7s  type %d  sub %3d  obj %5d  control 0x%02X  data [%s]",
                           AcyclicName(t.type), t.type, t.subNo, t.objNo, t.control,
                           HexBytes(t.data).c_str());
            break;
        case BusTelegram::Kind::cyclic:
            line += Format("cyclic   type %d  obj %2d  status %3d", t.type, t.objNo, t.status);
            if (t.value) line += Format("  value %.6g", *t.value);
            if (t.timeStamp) line += Format("  time stamp %u", *t.timeStamp);
            if (!t.raw.empty()) line += "  bytes [" + HexBytes(t.raw) + "]";
            break;
    }
    if (!t.checksumOk) line += Format("  CHECKSUM ERROR (0x%04X)", t.checksum);
    return line;
}

nlohmann::json TelegramJson(const BusTelegram& t, double ms) {
    nlohmann::json j;
    j["timeMs"] = std::round(ms * 10.0) / 10.0;
    switch (t.kind) {
        case BusTelegram::Kind::malformed:
            j["kind"] = "malformed";
            j["problem"] = t.problem;
            j["frame"] = HexBytes(t.frame);
            return j;
        case BusTelegram::Kind::acyclic:
            j["kind"] = AcyclicName(t.type);
            j["telType"] = t.type;
            j["dataSize"] = t.dataSize;
            j["subNo"] = t.subNo;
            j["objNo"] = t.objNo;
            j["control"] = t.control;
            j["data"] = HexBytes(t.data);
            break;
        case BusTelegram::Kind::cyclic:
            j["kind"] = "cyclic";
            j["telType"] = t.type;
            j["objNo"] = t.objNo;
            j["status"] = t.status;
            // JSON has no NaN or infinity; such values stay out.
            if (t.value && std::isfinite(*t.value)) j["value"] = *t.value;
            if (t.timeStamp) j["timeStamp"] = *t.timeStamp;
            if (!t.raw.empty()) j["bytes"] = HexBytes(t.raw);
            break;
    }
    j["checksum"] = HexBytes(std::array{static_cast<std::uint8_t>(t.checksum & 0xFF),
                                        static_cast<std::uint8_t>(t.checksum >> 8)});
    j["checksumOk"] = t.checksumOk;
    return j;
}

namespace rx = tivlink::result::ReceiveAcyclic;
namespace tx = tivlink::result::SendAcyclic;
namespace dx = tivlink::result::ReceiveAcyclicDelayed;

std::string ResultText(int result) {
    switch (result) {
        case rx::kResponseOk:
            return "answer ok";
        case rx::kWaiting:
            return "no answer in time";
        case rx::kOtherAcyclic:
            return "another acyclic telegram came first";
        case rx::kChecksumError:
            return "checksum error in the answer";
        case rx::kOtherObject:
            return "answer for another object";
        case rx::kCyclic:
            return "a cyclic telegram came first";
        case rx::kDelayed:
            return "delayed answer announced";
        case rx::kDeviceError:
            return "the device answered with an error";
        case tx::kBadTelType:
            return "telegram type must be 5 or 7";
        case tx::kBadDataSize:
            return "data size out of range";
        default:
            break;
    }
    if (result > tx::kBlock1Failed && result < tx::kBlock2Failed) return "transmit block 1 failed";
    if (result > tx::kBlock2Failed && result < tx::kBlock3Failed) return "transmit block 2 failed";
    if (result > tx::kBlock3Failed && result < tx::kBadDataSize) return "transmit block 3 failed";
    return "unknown result";
}

std::string DelayedResultText(int result) {
    switch (result) {
        case dx::kResponseOk:
            return "answer ok";
        case dx::kWaiting:
            return "no delayed answer in time";
        case dx::kChecksumError:
            return "checksum error in the delayed answer";
        case dx::kExpired:
            return "the announced wait time passed";
        case dx::kDeviceError:
            return "the device answered with an error";
        default:
            return "unknown result";
    }
}

}  // namespace tivctl
