#pragma once

#include <cstdint>
#include <memory>

#include "collector/SyntheticTraffic.h"

class NSTimer;
class UsageCollector;

// Feeds a collector with synthetic traffic from a repeating timer on the main run loop, for
// demos and for trying the collector without a real traffic source.
class SyntheticTrafficSource {
  public:
    static constexpr double kDefaultInterval = 2.0;

    // The collector must outlive the source.
    SyntheticTrafficSource(UsageCollector& collector, std::uint64_t seed,
                           double interval = kDefaultInterval);
    ~SyntheticTrafficSource();
    SyntheticTrafficSource(const SyntheticTrafficSource&) = delete;
    SyntheticTrafficSource& operator=(const SyntheticTrafficSource&) = delete;

    // Schedules the timer; every tick records what the applications moved since the last one.
    void start();
    void stop();
    bool isRunning() const;

  private:
    void tick();

    UsageCollector& collector_;
    SyntheticTrafficStream stream_;
    double interval_;
    std::shared_ptr<NSTimer> timer_;
};
