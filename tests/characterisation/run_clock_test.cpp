// The station's clock: the elapsed time of a run and the pauses between device steps.
#include <gtest/gtest.h>

#include <chrono>

#include "characterisation/run_clock.h"

namespace corvid {
namespace {

TEST(ElapsedSeconds, CountsAcrossMidnight) {
    EXPECT_EQ(elapsedSeconds({23, 59, 50}, {0, 0, 40}), 50);
    EXPECT_EQ(elapsedSeconds({10, 0, 0}, {10, 1, 5}), 65);
    EXPECT_EQ(elapsedSeconds({10, 0, 0}, {10, 0, 0}), 0);
}

TEST(SystemRunClock, AScaleOfZeroMeansNoPause) {
    const SystemRunClock clock(0.0);
    const auto start = std::chrono::steady_clock::now();
    clock.pause(std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(SystemRunClock(-3.0).pauseScale(), 0.0);
    // Each station has its own scale.
    EXPECT_EQ(SystemRunClock(0.5).pauseScale(), 0.5);
    EXPECT_EQ(clock.pauseScale(), 0.0);
}

}  // namespace
}  // namespace corvid
