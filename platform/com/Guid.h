#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace com {

// A 128-bit identifier (CLSID, IID, LIBID) with the usual field layout.
struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    // Reads "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", with or without surrounding braces, in
    // any case. Nothing for anything else (no blanks, no other lengths). Usable at compile time.
    static constexpr std::optional<Guid> parse(std::string_view text);

    // A random (version 4) identifier. Never fails; falls back to a seeded generator if the
    // system's random source cannot be read.
    static Guid create();

    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
    std::string toString() const;

    constexpr bool isNull() const { return *this == Guid{}; }

    friend constexpr bool operator==(const Guid&, const Guid&) = default;
    friend constexpr auto operator<=>(const Guid&, const Guid&) = default;
};

inline constexpr Guid GUID_NULL{};

namespace detail {

constexpr int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at `pos`; false if any is not a hex digit.
constexpr bool readHex(std::string_view s, std::size_t pos, std::size_t digits,
                       std::uint64_t& out) {
    out = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int v = hexValue(s[pos + i]);
        if (v < 0) return false;
        out = out * 16 + static_cast<std::uint64_t>(v);
    }
    return true;
}

}  // namespace detail

constexpr std::optional<Guid> Guid::parse(std::string_view text) {
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}') return std::nullopt;
        text = text.substr(1, 36);
    }
    if (text.size() != 36) return std::nullopt;
    if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return std::nullopt;
    Guid g;
    std::uint64_t v = 0;
    if (!detail::readHex(text, 0, 8, v)) return std::nullopt;
    g.data1 = static_cast<std::uint32_t>(v);
    if (!detail::readHex(text, 9, 4, v)) return std::nullopt;
    g.data2 = static_cast<std::uint16_t>(v);
    if (!detail::readHex(text, 14, 4, v)) return std::nullopt;
    g.data3 = static_cast<std::uint16_t>(v);
    constexpr std::size_t kBytePos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (std::size_t i = 0; i < 8; ++i) {
        if (!detail::readHex(text, kBytePos[i], 2, v)) return std::nullopt;
        g.data4[i] = static_cast<std::uint8_t>(v);
    }
    return g;
}

// A Guid from a literal, checked while compiling: a bad literal does not compile.
consteval Guid makeGuid(std::string_view text) {
    const auto g = Guid::parse(text);
    if (!g) throw "not a GUID literal";
    return *g;
}

}  // namespace com

template <>
struct std::hash<com::Guid> {
    std::size_t operator()(const com::Guid& g) const noexcept {
        std::uint64_t h = (std::uint64_t{g.data1} << 32) ^ (std::uint64_t{g.data2} << 16) ^ g.data3;
        for (const auto b : g.data4) h = h * 1099511628211ull ^ b;
        return static_cast<std::size_t>(h);
    }
};
