#include "host/foundation/RunLoop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "host/foundation/Clock.h"

std::shared_ptr<NSTimer> NSTimer::scheduledTimerWithTimeInterval(double interval, Block block,
                                                                 bool repeats) {
    // An interval of zero or less (or none at all) would make a repeating timer fire forever
    // without the clock moving: it takes the smallest interval instead.
    if (!(interval > kMinimumInterval)) interval = kMinimumInterval;
    auto timer =
        std::make_shared<NSTimer>(interval, std::move(block), repeats, Clock::now() + interval);
    RunLoop::main().addTimer(timer);
    return timer;
}

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();
}  // namespace

void NSTimer::invalidate() {
    valid_ = false;
    // Whatever the block holds (a timer's target) is let go with it.
    block_ = nullptr;
}

RunLoop& RunLoop::main() {
    static RunLoop loop;
    return loop;
}

void RunLoop::perform(std::function<void()> task) {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        handler = wakeHandler_;
    }
    wakeup_.notify_all();
    if (handler) handler();
}

void RunLoop::wake() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        handler = wakeHandler_;
    }
    wakeup_.notify_all();
    if (handler) handler();
}

void RunLoop::setWakeHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    wakeHandler_ = std::move(handler);
}

void RunLoop::addTimer(const std::shared_ptr<NSTimer>& timer) {
    timers_.push_back(timer);
}

bool RunLoop::runOneTask() {
    std::function<void()> task;
    {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) return false;
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
    return true;
}

bool RunLoop::fireOneDueTimer() {
    std::erase_if(timers_, [](const auto& t) { return !t->isValid(); });
    double now = Clock::now();
    std::shared_ptr<NSTimer> due;
    for (const auto& t : timers_)
        if (t->fireDate_ <= now && (!due || t->fireDate_ < due->fireDate_)) due = t;
    if (!due) return false;
    if (due->repeats_) {
        // A repeating timer keeps its rhythm: the next fire date follows the last one, skipping
        // any that the clock has already passed.
        double missed = std::floor((now - due->fireDate_) / due->interval_);
        double next = due->fireDate_ + (missed + 1) * due->interval_;
        // Far enough from 1970 the interval is below the clock's precision and the sum does not
        // move; the timer would then be due again at once, forever. It waits for the next instant
        // the clock can tell apart instead.
        due->fireDate_ = next > now ? next : std::nextafter(now, kInfinity);
    }
    auto block = due->block_;
    if (!due->repeats_) due->invalidate();
    if (block) block(*due);
    return true;
}

size_t RunLoop::runUntilIdle() {
    size_t ran = 0;
    while (true) {
        if (runOneTask() || fireOneDueTimer())
            ++ran;
        else
            return ran;
    }
}

void RunLoop::advance(double seconds) {
    double end = Clock::now() + seconds;
    runUntilIdle();
    while (true) {
        auto next = nextFireDate();
        if (!next || *next > end) break;
        if (*next > Clock::now()) Clock::advance(*next - Clock::now());
        runUntilIdle();
    }
    if (end > Clock::now()) Clock::advance(end - Clock::now());
    runUntilIdle();
}

void RunLoop::waitForWork(double maxSeconds) {
    double wait = maxSeconds;
    if (auto next = nextFireDate()) wait = std::min(wait, std::max(0.0, *next - Clock::now()));
    std::unique_lock lock(mutex_);
    if (!tasks_.empty() || wait <= 0) return;
    wakeup_.wait_for(lock, std::chrono::duration<double>(wait));
}

size_t RunLoop::validTimerCount() const {
    return static_cast<size_t>(
        std::count_if(timers_.begin(), timers_.end(), [](auto& t) { return t->isValid(); }));
}

std::optional<double> RunLoop::nextFireDate() const {
    std::optional<double> next;
    for (const auto& t : timers_)
        if (t->isValid() && (!next || t->fireDate_ < *next)) next = t->fireDate_;
    return next;
}

void RunLoop::reset() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(tasks_);
    }
    for (auto& t : timers_) t->invalidate();
    timers_.clear();
}
