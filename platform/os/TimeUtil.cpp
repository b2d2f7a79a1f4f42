#include "os/TimeUtil.h"

#include <cstdio>
#include <ctime>
#include <limits>

#include "os/Clock.h"

namespace os {

namespace {

using FileTicks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

struct Split {
    std::time_t seconds;
    int millis;
};

// Floors, so times before 1970 keep a non-negative millisecond part.
Split split(std::chrono::system_clock::time_point tp) {
    const auto s = std::chrono::floor<std::chrono::seconds>(tp);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tp - s);
    return {static_cast<std::time_t>(s.time_since_epoch().count()), static_cast<int>(ms.count())};
}

SystemTime fromTm(const std::tm& tm, int millis) {
    SystemTime st;
    st.year = static_cast<std::uint16_t>(tm.tm_year + 1900);
    st.month = static_cast<std::uint16_t>(tm.tm_mon + 1);
    st.dayOfWeek = static_cast<std::uint16_t>(tm.tm_wday);
    st.day = static_cast<std::uint16_t>(tm.tm_mday);
    st.hour = static_cast<std::uint16_t>(tm.tm_hour);
    st.minute = static_cast<std::uint16_t>(tm.tm_min);
    st.second = static_cast<std::uint16_t>(tm.tm_sec);
    st.milliseconds = static_cast<std::uint16_t>(millis);
    return st;
}

}  // namespace

std::string logStamp(std::chrono::system_clock::time_point tp) {
    const auto st = localSystemTime(tp);
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u,%02u:%02u:%02u,%03u", unsigned{st.year},
                  unsigned{st.month}, unsigned{st.day}, unsigned{st.hour}, unsigned{st.minute},
                  unsigned{st.second}, unsigned{st.milliseconds});
    return text;
}

std::string logStampNow() {
    return logStamp(clock().systemNow());
}

std::uint64_t toFileTime(std::chrono::system_clock::time_point tp) {
    const auto ticks = std::chrono::floor<FileTicks>(tp.time_since_epoch()).count();
    // Every system_clock time lies after 1601, so the sum is never negative.
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(kFileTimeUnixEpoch) + ticks);
}

std::chrono::system_clock::time_point fromFileTime(std::uint64_t fileTime) {
    using std::chrono::system_clock;
    // Rounded inwards so that converting back cannot overflow.
    constexpr auto kMin =
        std::chrono::ceil<FileTicks>(system_clock::time_point::min().time_since_epoch()).count();
    constexpr auto kMax =
        std::chrono::floor<FileTicks>(system_clock::time_point::max().time_since_epoch()).count();
    std::int64_t ticks;
    if (fileTime >= kFileTimeUnixEpoch) {
        const auto after = fileTime - kFileTimeUnixEpoch;
        ticks = after > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int64_t>(after);
    } else {
        const auto before = kFileTimeUnixEpoch - fileTime;
        ticks =
            before > static_cast<std::uint64_t>(-kMin) ? kMin : -static_cast<std::int64_t>(before);
    }
    return system_clock::time_point(
        std::chrono::duration_cast<system_clock::duration>(FileTicks(ticks)));
}

SystemTime localSystemTime(std::chrono::system_clock::time_point tp) {
    const auto [seconds, millis] = split(tp);
    std::tm tm{};
    if (!::localtime_r(&seconds, &tm)) return {};
    return fromTm(tm, millis);
}

SystemTime utcSystemTime(std::chrono::system_clock::time_point tp) {
    const auto [seconds, millis] = split(tp);
    std::tm tm{};
    if (!::gmtime_r(&seconds, &tm)) return {};
    return fromTm(tm, millis);
}

std::optional<std::chrono::system_clock::time_point> fromUtcSystemTime(const SystemTime& st) {
    using namespace std::chrono;
    const year_month_day date{year{st.year}, month{st.month}, day{st.day}};
    if (!date.ok() || st.year < 1601 || st.year > 30827 || st.hour > 23 || st.minute > 59 ||
        st.second > 59 || st.milliseconds > 999)
        return std::nullopt;
    const auto days = sys_days(date).time_since_epoch();
    // Outside system_clock's range the sum below would overflow.
    if (days < duration_cast<std::chrono::days>(system_clock::duration::min()) +
                   std::chrono::days(1) ||
        days >
            duration_cast<std::chrono::days>(system_clock::duration::max()) - std::chrono::days(1))
        return std::nullopt;
    return system_clock::time_point(
        duration_cast<system_clock::duration>(days + hours(st.hour) + minutes(st.minute) +
                                              seconds(st.second) + milliseconds(st.milliseconds)));
}

}  // namespace os
