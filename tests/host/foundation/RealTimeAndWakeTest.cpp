#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

#include "host/foundation/Clock.h"
#include "host/foundation/RunLoop.h"

namespace {

double systemSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

TEST(ClockRealTimeFrom, StartsAtTheInstantAndRunsOn) {
    const double start = 1'796'000'000;  // late 2026
    Clock::useRealTimeFrom(start);
    EXPECT_FALSE(Clock::isVirtual());
    double first = Clock::now();
    EXPECT_NEAR(first, start, 1.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double later = Clock::now();
    EXPECT_GE(later - first, 0.019);
    EXPECT_LT(later - first, 5.0);

    Clock::advance(3600);  // only virtual time is advanced
    EXPECT_LT(Clock::now() - first, 5.0);

    Clock::useRealTime();
    EXPECT_NEAR(Clock::now(), systemSeconds(), 1.0) << "the offset ends with it";
    Clock::setVirtual(start);
    Clock::useRealTimeFrom(std::numeric_limits<double>::infinity());
    EXPECT_TRUE(Clock::isVirtual()) << "an instant that is no number changes nothing";
    Clock::useRealTime();
}

TEST(RunLoopWakeHandler, HearsOfWorkFromAnyThread) {
    RunLoop& loop = RunLoop::main();
    loop.reset();
    std::atomic<int> calls{0};
    loop.setWakeHandler([&calls] { ++calls; });
    std::thread worker([&loop] { loop.perform([] {}); });
    worker.join();
    EXPECT_EQ(calls.load(), 1) << "perform() from another thread";
    loop.wake();
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(loop.runUntilIdle(), 1u) << "the task itself still waits for the main thread";

    loop.setWakeHandler(nullptr);
    loop.perform([] {});
    loop.wake();
    EXPECT_EQ(calls.load(), 2);
    loop.reset();
}

}  // namespace
