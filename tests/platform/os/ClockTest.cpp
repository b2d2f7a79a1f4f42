#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <stdexcept>

#include "os/Clock.h"

namespace {

using namespace std::chrono_literals;

TEST(ScaledClock, ShortensRealTimeByItsFactor) {
    const os::ScaledClock clock(10.0);
    EXPECT_EQ(clock.toReal(1s), 100ms);
    const auto nominal = clock.now();
    const auto real = std::chrono::steady_clock::now();
    clock.sleepFor(500ms);
    EXPECT_GE(clock.now() - nominal, 500ms);
    EXPECT_GE(std::chrono::steady_clock::now() - real, 50ms);
    EXPECT_THROW(os::ScaledClock(0.0), std::invalid_argument);
    EXPECT_THROW(os::ScaledClock(-1.0), std::invalid_argument);
}

// An infinite factor makes every wait zero; zero, negative or NaN ones stop time or run it
// backwards.
TEST(ScaledClock, RefusesFactorsThatAreNotFinitePositiveNumbers) {
    for (const double factor : {std::numeric_limits<double>::quiet_NaN(),
                                std::numeric_limits<double>::infinity(), 0.0, -1.0}) {
        SCOPED_TRACE(factor);
        EXPECT_THROW(os::ScaledClock{factor}, std::invalid_argument);
    }
}

TEST(ScopedClock, InstallsAndRestoresTheProcessClock) {
    auto& before = os::clock();
    {
        auto scaled = std::make_shared<os::ScaledClock>(1000.0);
        os::ScopedClock scope(scaled);
        EXPECT_EQ(&os::clock(), scaled.get());
        const auto ticks = os::tickCount();
        os::clock().sleepFor(5s);
        EXPECT_GE(os::tickCount() - ticks, 5000u);
    }
    EXPECT_EQ(&os::clock(), &before);
}

}  // namespace
