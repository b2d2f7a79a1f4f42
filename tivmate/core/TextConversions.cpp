#include "core/TextConversions.h"

#include <cctype>
#include <cstdio>

#include "core/Trace.h"

namespace tivmate {

namespace {

bool isDecimalPair(const char* s) {
    return std::isdigit(static_cast<unsigned char>(s[0])) &&
           std::isdigit(static_cast<unsigned char>(s[1]));
}

std::string trim(std::string_view s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    const auto e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

// CP-1252's 0x80..0x9F as Unicode code points (0 where the code page has no character).
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::optional<std::string> DllVersionText(std::int64_t version) {
    if (version < 0 || version > 0xFFFF) return std::nullopt;
    char hi[3], lo[3];
    std::snprintf(hi, sizeof hi, "%02X", static_cast<unsigned>(version >> 8));
    std::snprintf(lo, sizeof lo, "%02X", static_cast<unsigned>(version & 0xFF));
    std::string text;
    text += isDecimalPair(hi) ? std::to_string(std::stoi(hi)) : std::string(hi);
    text += '.';
    if (isDecimalPair(lo)) {
        const int n = std::stoi(lo);
        text += (n < 10 ? "0" : "") + std::to_string(n);
    } else {
        text += lo;
    }
    return text;
}

std::optional<std::int16_t> ParseInt16(std::string_view text) {
    const std::string t = trim(text);
    if (t.empty()) return std::nullopt;
    const auto value = ParseIniLong(t);
    if (!value || *value < INT16_MIN || *value > INT16_MAX) return std::nullopt;
    return static_cast<std::int16_t>(*value);
}

std::optional<bool> ParseBoolText(std::string_view text) {
    const std::string t = trim(text);
    if (EqualsNoCase(t, "True")) return true;
    if (EqualsNoCase(t, "False")) return false;
    if (t.empty()) return std::nullopt;
    const auto value = ParseIniLong(t);
    if (!value) return std::nullopt;
    return *value != 0;
}

std::string MonitorLine(std::string_view FunctionName, std::string_view Message) {
    std::string line(FunctionName.substr(0, 50));
    line.resize(50, ' ');
    line += "- ";
    line += Message;
    return line;
}

std::string VersionRecordText(const std::vector<std::uint8_t>& record) {
    std::string text;
    if (record.size() <= 4) return text;
    for (std::size_t i = 0; i < record.size() - 4; ++i) {
        const std::uint8_t b = record[i];
        if (b < 0x20 || b == 0x7F) continue;
        if (b >= 0x80 && b < 0xA0) {
            if (const char16_t c = kCp1252High[b - 0x80]) appendUtf8(text, c);
        } else {
            appendUtf8(text, b);
        }
    }
    return text;
}

}  // namespace tivmate
