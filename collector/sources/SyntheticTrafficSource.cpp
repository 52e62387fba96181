#include "collector/sources/SyntheticTrafficSource.h"

#include "collector/UsageCollector.h"
#include "host/foundation/RunLoop.h"

SyntheticTrafficSource::SyntheticTrafficSource(UsageCollector& collector, std::uint64_t seed,
                                               double interval)
    : collector_(collector), stream_(seed), interval_(interval > 0 ? interval : kDefaultInterval) {}

SyntheticTrafficSource::~SyntheticTrafficSource() {
    stop();
}

void SyntheticTrafficSource::start() {
    if (isRunning()) return;
    timer_ = NSTimer::scheduledTimerWithTimeInterval(
        interval_, [this](NSTimer&) { tick(); }, true);
}

void SyntheticTrafficSource::stop() {
    if (timer_) timer_->invalidate();
    timer_.reset();
}

bool SyntheticTrafficSource::isRunning() const {
    return timer_ && timer_->isValid();
}

void SyntheticTrafficSource::tick() {
    for (const TrafficIncrement& increment : stream_.next(interval_))
        collector_.record(increment.app, increment.kind, increment.bytes);
}
