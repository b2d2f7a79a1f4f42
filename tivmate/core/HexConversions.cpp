#include "core/HexConversions.h"

#include <cstdio>

namespace tivmate {

namespace {

int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string padded(std::uint32_t value, int width) {
    char text[12];
    std::snprintf(text, sizeof text, "%0*X", width, value);
    return text;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> HexToBytes(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve((text.size() + 1) / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (std::size_t k = i; k < std::min(i + 2, text.size()); ++k) {
            const int d = digit(text[k]);
            if (d < 0) return std::nullopt;
            value = value * 16 + d;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

std::string BytesToHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

std::string ByteToHex(std::uint8_t value) {
    return padded(value, 2);
}

std::string ByteToHex(std::int16_t value) {
    return padded(static_cast<std::uint16_t>(value), 4);
}

std::string ByteToHex(std::int32_t value) {
    return padded(static_cast<std::uint32_t>(value), 8);
}

std::string ByteToHex(const com::Variant& value) {
    const com::Variant v = value.value();
    const auto n = v.toInt64();
    if (!n) return {};
    switch (v.vt()) {
        case com::VT_UI1:
        case com::VT_I1:
            return ByteToHex(static_cast<std::uint8_t>(*n));
        case com::VT_I2:
        case com::VT_UI2:
        case com::VT_BOOL:
            return ByteToHex(static_cast<std::int16_t>(*n));
        default:
            return ByteToHex(static_cast<std::int32_t>(*n));
    }
}

}  // namespace tivmate
