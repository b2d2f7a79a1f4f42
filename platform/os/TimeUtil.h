#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace os {

// Local time as the logs write it: "yyyy-mm-dd,hh:nn:ss,zzz".
std::string logStamp(std::chrono::system_clock::time_point tp);
// The same for os::clock()'s wall time.
std::string logStampNow();

// 100 ns intervals since 1601-01-01 UTC.
inline constexpr std::uint64_t kFileTimeUnixEpoch = 116444736000000000ull;
std::uint64_t toFileTime(std::chrono::system_clock::time_point tp);
// Clamped to the range a system_clock time point can hold (about 1678 to 2262).
std::chrono::system_clock::time_point fromFileTime(std::uint64_t fileTime);

// Calendar fields as the platform's date structure holds them; dayOfWeek 0 is Sunday.
struct SystemTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;  // 1..12
    std::uint16_t dayOfWeek = 0;
    std::uint16_t day = 0;  // 1..31
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;

    friend bool operator==(const SystemTime&, const SystemTime&) = default;
};

SystemTime localSystemTime(std::chrono::system_clock::time_point tp);
SystemTime utcSystemTime(std::chrono::system_clock::time_point tp);
// The inverse of utcSystemTime (dayOfWeek is ignored); nullopt for fields out of range.
std::optional<std::chrono::system_clock::time_point> fromUtcSystemTime(const SystemTime& st);

}  // namespace os
