#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// A timer on the main run loop. The run loop holds a valid timer; invalidate() ends it for good,
// and an invalid timer never fires again. The block holds whatever the timer targets.
class NSTimer {
  public:
    using Block = std::function<void(NSTimer&)>;
    static constexpr double kMinimumInterval = 0.0001;

    // A timer on the main run loop, first due `interval` seconds from now.
    static std::shared_ptr<NSTimer> scheduledTimerWithTimeInterval(double interval, Block block,
                                                                   bool repeats);

    void invalidate();
    bool isValid() const { return valid_; }
    double timeInterval() const { return interval_; }
    double fireDate() const { return fireDate_; }

    NSTimer(double interval, Block block, bool repeats, double fireDate)
        : interval_(interval > kMinimumInterval ? interval : kMinimumInterval),
          block_(std::move(block)),
          repeats_(repeats),
          fireDate_(fireDate) {}

  private:
    friend class RunLoop;
    double interval_;
    Block block_;
    bool repeats_;
    double fireDate_;
    bool valid_ = true;
};

// The main thread's queue and timers. Work is handed to it from any thread with perform(); the
// main thread runs it with runUntilIdle() or, while waiting for input, with waitForWork().
class RunLoop {
  public:
    static RunLoop& main();

    // Queues a task for the main thread. Safe from any thread; never waits.
    void perform(std::function<void()> task);

    void addTimer(const std::shared_ptr<NSTimer>& timer);

    // Runs queued tasks and the timers due by the clock's current time, until none is left.
    // Returns how many tasks and timer firings ran.
    size_t runUntilIdle();

    // Moves the virtual clock forward by `seconds`, firing due timers in the order of their fire
    // dates with the clock set to each fire date, and running queued work in between.
    void advance(double seconds);

    // Blocks until a task is queued, a timer falls due, or `maxSeconds` pass (real clock).
    void waitForWork(double maxSeconds);

    // Wakes a waitForWork() from any thread.
    void wake();

    // Called, on the calling thread, whenever perform() queues a task or wake() is called: for a
    // main loop that waits on more than the run loop (a terminal, say) and must hear of new work.
    // It may run on any thread, so it must be quick and thread-safe (writing to a pipe, say).
    // An empty handler removes it.
    void setWakeHandler(std::function<void()> handler);

    size_t validTimerCount() const;
    // The earliest fire date of a valid timer, or nothing.
    std::optional<double> nextFireDate() const;

    // Drops every queued task and timer (between tests).
    void reset();

  private:
    bool runOneTask();
    bool fireOneDueTimer();

    mutable std::mutex mutex_;
    std::condition_variable wakeup_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::shared_ptr<NSTimer>> timers_;  // main thread only
    std::function<void()> wakeHandler_;             // under mutex_
};
