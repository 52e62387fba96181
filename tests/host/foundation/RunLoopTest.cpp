#include "host/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/foundation/Clock.h"
#include "support/TestEnvironment.h"

namespace {

class RunLoopTest : public ::testing::Test {
  protected:
    RunLoopTest() { RunLoop::main().reset(); }
    ~RunLoopTest() override { RunLoop::main().reset(); }

    // Seconds since the test began, on the virtual clock.
    double elapsed() const { return Clock::now() - start; }

    ScratchHome home;
    const double start = Clock::now();
};

TEST_F(RunLoopTest, WorkPerformedFromManyThreadsRunsOnTheMainThreadInOrder) {
    constexpr int kThreads = 4, kTasks = 250;
    std::vector<std::pair<int, int>> ran;
    std::set<std::thread::id> runners;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kTasks; ++i)
                RunLoop::main().perform([&, t, i] {
                    ran.emplace_back(t, i);
                    runners.insert(std::this_thread::get_id());
                });
        });
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(ran.empty()) << "nothing runs before the main thread asks";

    EXPECT_EQ(RunLoop::main().runUntilIdle(), size_t(kThreads * kTasks));
    ASSERT_EQ(ran.size(), size_t(kThreads * kTasks));
    EXPECT_EQ(runners, std::set{std::this_thread::get_id()});
    std::vector<int> next(kThreads, 0);
    for (auto [t, i] : ran) EXPECT_EQ(i, next[t]++) << "thread " << t;
    EXPECT_EQ(RunLoop::main().runUntilIdle(), 0u);
}

TEST_F(RunLoopTest, TimersFireInFireDateOrderWithTheClockAtEachFireDate) {
    std::vector<std::pair<std::string, double>> fired;
    auto note = [&](std::string what) { fired.emplace_back(std::move(what), elapsed()); };
    for (double after : {30.0, 10.0, 20.0})
        NSTimer::scheduledTimerWithTimeInterval(
            after,
            [&, after](NSTimer&) {
                note("timer " + std::to_string(int(after)));
                // Work queued by a timer runs before the next timer falls due.
                RunLoop::main().perform([&] { note("task"); });
            },
            false);
    EXPECT_EQ(RunLoop::main().validTimerCount(), 3u);
    EXPECT_EQ(RunLoop::main().nextFireDate(), start + 10);

    RunLoop::main().advance(25);
    EXPECT_EQ(elapsed(), 25);
    RunLoop::main().advance(5);
    EXPECT_EQ(fired, (std::vector<std::pair<std::string, double>>{{"timer 10", 10},
                                                                  {"task", 10},
                                                                  {"timer 20", 20},
                                                                  {"task", 20},
                                                                  {"timer 30", 30},
                                                                  {"task", 30}}));
    EXPECT_EQ(RunLoop::main().validTimerCount(), 0u);
    EXPECT_EQ(RunLoop::main().nextFireDate(), std::nullopt);
}

TEST_F(RunLoopTest, RepeatingTimerKeepsItsRhythm) {
    std::vector<double> fired;
    auto schedule = [&] {
        return NSTimer::scheduledTimerWithTimeInterval(
            15, [&](NSTimer&) { fired.push_back(elapsed()); }, true);
    };
    auto timer = schedule();
    RunLoop::main().advance(14.9);
    EXPECT_TRUE(fired.empty());

    RunLoop::main().reset();
    Clock::setVirtual(start);
    timer = schedule();
    RunLoop::main().advance(60);
    EXPECT_EQ(fired, (std::vector<double>{15, 30, 45, 60}));
    EXPECT_EQ(timer->fireDate(), start + 75);

    // A loop that was held up fires once and then keeps to the old rhythm.
    Clock::advance(40);
    EXPECT_EQ(RunLoop::main().runUntilIdle(), 1u);
    EXPECT_EQ(fired.size(), 5u);
    EXPECT_EQ(timer->fireDate(), start + 105);
    EXPECT_TRUE(timer->isValid());
}

TEST_F(RunLoopTest, RepeatingTimerWithoutIntervalStillLetsTheLoopReturn) {
    for (double interval : {0.0, -5.0}) {
        int fired = 0;
        auto timer = NSTimer::scheduledTimerWithTimeInterval(
            interval, [&](NSTimer&) { ++fired; }, true);
        EXPECT_GT(timer->timeInterval(), 0);
        RunLoop::main().runUntilIdle();  // returns: the clock does not move by itself
        RunLoop::main().advance(0.01);
        EXPECT_EQ(fired, 100) << interval;
        timer->invalidate();
    }
}

// Far from 1970 the clock tells instants apart only every so many seconds (128 at 1e18, 2048 at
// 1e19), so a 15-second interval added to a fire date changes nothing. The timer must still move
// on, or the loop would fire it forever without the clock moving.
TEST_F(RunLoopTest, RepeatingTimerBelowTheClocksPrecisionStillLetsTheLoopReturn) {
    for (double far : {1e18, 1e19}) {
        Clock::setVirtual(far);
        int fired = 0;
        auto timer = NSTimer::scheduledTimerWithTimeInterval(
            15, [&](NSTimer&) { ++fired; }, true);
        RunLoop::main().runUntilIdle();  // due at once: now + 15 is now
        EXPECT_EQ(fired, 1) << far;
        EXPECT_GT(timer->fireDate(), Clock::now()) << far;
        RunLoop::main().advance(10000);
        EXPECT_GE(fired, 2) << far;
        EXPECT_LE(fired, 10000 / 15 + 2) << far;
        EXPECT_GT(timer->fireDate(), Clock::now()) << far;
        timer->invalidate();
    }
}

TEST_F(RunLoopTest, InvalidatedTimersStopAndLetGoOfWhatTheyHeld) {
    int repeats = 0, selfEnding = 0, once = 0;
    auto held = std::make_shared<int>();
    std::weak_ptr<int> heldByRepeating = held, heldBySelfEnding, heldByOnce;
    auto repeating = NSTimer::scheduledTimerWithTimeInterval(
        1, [&repeats, held](NSTimer&) { ++repeats; }, true);
    held = std::make_shared<int>();
    heldBySelfEnding = held;
    // Ends itself from its own block on the third firing; the block must survive that call.
    NSTimer::scheduledTimerWithTimeInterval(
        1,
        [&selfEnding, held](NSTimer& timer) {
            if (++selfEnding < 3) return;
            timer.invalidate();
            ++*held;
        },
        true);
    held = std::make_shared<int>();
    heldByOnce = held;
    auto oneShot = NSTimer::scheduledTimerWithTimeInterval(
        1, [&once, held](NSTimer&) { ++once; }, false);
    held.reset();

    RunLoop::main().advance(2.5);
    EXPECT_EQ(repeats, 2);
    EXPECT_FALSE(oneShot->isValid());
    EXPECT_TRUE(heldByOnce.expired()) << "a fired one-shot timer keeps nothing";
    EXPECT_FALSE(heldByRepeating.expired());

    repeating->invalidate();
    EXPECT_FALSE(repeating->isValid());
    EXPECT_TRUE(heldByRepeating.expired()) << "invalidate() drops the block at once";
    RunLoop::main().advance(10);
    EXPECT_EQ(repeats, 2);
    EXPECT_EQ(selfEnding, 3);
    EXPECT_EQ(once, 1);
    EXPECT_TRUE(heldBySelfEnding.expired());
    EXPECT_EQ(RunLoop::main().validTimerCount(), 0u);
}

TEST_F(RunLoopTest, WaitForWorkReturnsWhenAnotherThreadPerforms) {
    using namespace std::chrono;
    constexpr double kWatchdogSeconds = 10;
    auto began = steady_clock::now();
    std::thread poster([] {
        std::this_thread::sleep_for(milliseconds(100));
        RunLoop::main().perform([] {});
    });
    RunLoop::main().waitForWork(kWatchdogSeconds);
    auto waited = duration<double>(steady_clock::now() - began).count();
    poster.join();
    EXPECT_LT(waited, kWatchdogSeconds / 2);
    EXPECT_EQ(RunLoop::main().runUntilIdle(), 1u);

    // Queued work or a due timer: no wait at all.
    began = steady_clock::now();
    RunLoop::main().perform([] {});
    RunLoop::main().waitForWork(kWatchdogSeconds);
    EXPECT_EQ(RunLoop::main().runUntilIdle(), 1u);
    NSTimer::scheduledTimerWithTimeInterval(
        1, [](NSTimer&) {}, false);
    Clock::advance(1);
    RunLoop::main().waitForWork(kWatchdogSeconds);
    EXPECT_EQ(RunLoop::main().runUntilIdle(), 1u);
    EXPECT_LT(duration<double>(steady_clock::now() - began).count(), kWatchdogSeconds / 2);
}

}  // namespace
