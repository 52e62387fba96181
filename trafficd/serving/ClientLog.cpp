#include "trafficd/serving/ClientLog.h"

#include "trafficd/Log.h"

#include <algorithm>

namespace bytarn::trafficd {

ClientLog::ClientLog(double burst, double perSecond, Clock::duration summaryEvery, Now now)
    : burst_(std::max(burst, 1.0)),
      perSecond_(perSecond),
      summaryEvery_(summaryEvery),
      now_(std::move(now)) {}

ClientLog::~ClientLog() {
    auto now = now_();
    for (auto& [uid, share] : shares_)
        if (!share.suppressed.empty()) summarize(uid, share, now);
}

void ClientLog::write(uid_t uid, const std::string& kind, const std::string& line) {
    auto now = now_();
    auto [found, inserted] = shares_.try_emplace(uid, Share{burst_, now, now, {}});
    auto& share = found->second;
    double elapsed = std::chrono::duration<double>(now - share.refilled).count();
    share.tokens = std::min(burst_, share.tokens + elapsed * perSecond_);
    share.refilled = now;
    if (share.tokens >= 1) {
        share.tokens -= 1;
        logLine(line);
        return;
    }
    if (share.suppressed.empty()) share.firstSuppressed = now;
    ++share.suppressed[kind];
    ++suppressedTotal_;
}

void ClientLog::flush() {
    auto now = now_();
    for (auto it = shares_.begin(); it != shares_.end();) {
        auto& [uid, share] = *it;
        if (!share.suppressed.empty() && now - share.firstSuppressed >= summaryEvery_)
            summarize(uid, share, now);
        // Quiet long enough to have its whole share back: nothing to remember.
        bool full = share.suppressed.empty() &&
                    std::chrono::duration<double>(now - share.refilled).count() * perSecond_ +
                            share.tokens >=
                        burst_;
        it = full ? shares_.erase(it) : std::next(it);
    }
}

void ClientLog::summarize(uid_t uid, Share& share, Clock::time_point now) {
    uint64_t total = 0;
    std::string kinds;
    for (const auto& [kind, count] : share.suppressed) {
        total += count;
        kinds += (kinds.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
    }
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - share.firstSuppressed);
    logLine("clients of uid " + std::to_string(uid) + " caused " + std::to_string(total) +
            " more log lines in " + std::to_string(seconds.count()) + " s, not written (at most " +
            std::to_string(static_cast<long long>(burst_)) + " at once and " +
            std::to_string(static_cast<long long>(perSecond_)) + " a second per uid): " + kinds);
    share.suppressed.clear();
}

}  // namespace bytarn::trafficd
