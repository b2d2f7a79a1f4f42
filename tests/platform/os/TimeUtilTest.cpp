#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <regex>
#include <string>

#include "os/Clock.h"
#include "os/TimeUtil.h"

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// Switches the process's time zone for a scope.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (saved_)
            ::setenv("TZ", saved_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

const system_clock::time_point kSample = sys_days{2026y / 12 / 8} + 15h + 4min + 5s + 7ms + 999us;

TEST(LogStamp, WritesLocalTimeWithTruncatedMilliseconds) {
    {
        ScopedTimeZone utc("UTC0");
        EXPECT_EQ(os::logStamp(kSample), "2026-12-08,15:04:05,007");
        EXPECT_EQ(os::logStamp(sys_days{1969y / 12 / 31} + 23h + 59min + 59s + 999ms),
                  "1969-12-31,23:59:59,999");
    }
    ScopedTimeZone tokyo("JST-9");
    EXPECT_EQ(os::logStamp(kSample), "2026-12-09,00:04:05,007");
}

TEST(LogStamp, NowFollowsTheProcessClock) {
    const std::regex format(R"(\d{4}-\d{2}-\d{2},\d{2}:\d{2}:\d{2},\d{3})");
    EXPECT_TRUE(std::regex_match(os::logStampNow(), format)) << os::logStampNow();
    ScopedTimeZone utc("UTC0");
    // A scaled clock starts at the real wall time and runs faster: a nominal day is 10 ms.
    os::ScopedClock scaled(std::make_shared<os::ScaledClock>(8'640'000.0));
    const auto before = os::logStampNow();
    os::clock().sleepFor(48h);
    EXPECT_GT(os::logStampNow().substr(0, 10), before.substr(0, 10));
}

TEST(FileTime, CountsHundredNanosecondsSince1601) {
    EXPECT_EQ(os::toFileTime(system_clock::time_point{}), 116444736000000000ull);
    EXPECT_EQ(os::toFileTime(sys_days{2000y / 1 / 1}), 125911584000000000ull);
    EXPECT_EQ(os::toFileTime(system_clock::time_point{} - 1ns), 116444735999999999ull);

    EXPECT_EQ(os::fromFileTime(116444736000000000ull), system_clock::time_point{});
    EXPECT_EQ(os::fromFileTime(os::toFileTime(kSample)), floor<microseconds>(kSample));
    const auto fine = kSample + 123ns;
    EXPECT_EQ(os::toFileTime(os::fromFileTime(os::toFileTime(fine))), os::toFileTime(fine));
}

TEST(FileTime, ClampsWhatATimePointCannotHold) {
    const auto earliest = os::fromFileTime(0);
    const auto latest = os::fromFileTime(~0ull);
    EXPECT_LT(earliest, sys_days{1700y / 1 / 1});
    EXPECT_GT(latest, sys_days{2200y / 1 / 1});
    EXPECT_LE(os::toFileTime(earliest), os::toFileTime(sys_days{1700y / 1 / 1}));
}

TEST(SystemTime, SplitsUtcAndLocalTime) {
    const os::SystemTime expected{2026, 12, 2, 8, 15, 4, 5, 7};
    EXPECT_EQ(os::utcSystemTime(kSample), expected);
    {
        ScopedTimeZone utc("UTC0");
        EXPECT_EQ(os::localSystemTime(kSample), expected);
    }
    ScopedTimeZone westward("XST5");
    const auto local = os::localSystemTime(kSample);
    EXPECT_EQ(local.hour, 10);
    EXPECT_EQ(local.day, 8);
}

TEST(SystemTime, ConvertsBackFromUtcAndRejectsImpossibleDates) {
    EXPECT_EQ(os::fromUtcSystemTime(os::utcSystemTime(kSample)), floor<milliseconds>(kSample));
    EXPECT_TRUE(os::fromUtcSystemTime({2028, 2, 0, 29, 0, 0, 0, 0}).has_value());
    for (const os::SystemTime bad :
         {os::SystemTime{2027, 2, 0, 29, 0, 0, 0, 0}, os::SystemTime{2026, 13, 0, 1, 0, 0, 0, 0},
          os::SystemTime{2026, 1, 0, 1, 24, 0, 0, 0}, os::SystemTime{2026, 1, 0, 1, 0, 0, 0, 1000},
          os::SystemTime{1600, 1, 0, 1, 0, 0, 0, 0}, os::SystemTime{30000, 1, 0, 1, 0, 0, 0, 0}})
        EXPECT_FALSE(os::fromUtcSystemTime(bad).has_value()) << bad.year << "-" << bad.month;
}

}  // namespace
