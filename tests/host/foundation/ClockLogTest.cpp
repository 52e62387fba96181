#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <thread>

#include "host/foundation/Clock.h"
#include "host/foundation/SystemLog.h"

namespace {

// Keeps each test's log lines to itself and off the terminal.
class ClockAndLog : public ::testing::Test {
  protected:
    ClockAndLog() {
        SystemLog::setEchoToStandardError(false);
        SystemLog::takeCaptured();
    }
    ~ClockAndLog() override { SystemLog::setEchoToStandardError(true); }
};

TEST_F(ClockAndLog, VirtualClockStandsStillUntilAdvancedAndOnlyMovesForward) {
    Clock::setVirtual(1000.25);
    EXPECT_TRUE(Clock::isVirtual());
    Clock::advance(59.75);
    Clock::advance(-10);
    Clock::advance(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(Clock::now(), 1060.0);
    EXPECT_EQ(SystemLog::takeCaptured().size(), 2u) << "each refused step is logged";

    Clock::useRealTime();
    EXPECT_FALSE(Clock::isVirtual());
    Clock::advance(1e6);
    EXPECT_NEAR(Clock::now(), static_cast<double>(std::time(nullptr)), 2.0);
}

TEST_F(ClockAndLog, LogCapturesWholeLinesInOrderAndEmptiesOnTake) {
    SystemLog::write("first");
    SystemLog::writef("Usage: %s has %d bytes", "Wi-Fi", 42);
    SystemLog::writef("%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(
        SystemLog::takeCaptured(),
        (std::vector<std::string>{"first", "Usage: Wi-Fi has 42 bytes", std::string(5000, 'x')}));
    EXPECT_TRUE(SystemLog::takeCaptured().empty());

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) SystemLog::writef("thread %d line %d", t, i);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(SystemLog::takeCaptured().size(), 800u);
}

}  // namespace
